#pragma once

// What the tests add to the harness: the programs under test and their line ends, waits that fail
// the test, the state of the connections to a service, and the report lines.

#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "harness/child.h"
#include "harness/io.h"
#include "harness/loopback.h"
#include "harness/proc.h"
#include "harness/reports.h"

// The programs under test, as commands: the native build's, or those of the Windows build that
// CHANLOG_WINDOWS_BUILD in the environment names, under Wine.
std::vector<std::string> ChanlogCommand();
std::vector<std::string> SampleFeedCommand();
// What differs when they are the Windows build: error codes, Windows' words for reasons, and the
// text line end, CR LF, which ReadUntil, ReadAll and ReadFile turn into a line feed (failing the
// test where one lacks its carriage return).
bool WindowsPrograms();
int RefusedCode();
int ResetCode();           // of a receive on a connection that the service reset
std::string RefusedLine(); // the console's line for a refused connect
// The console's line for a receive on a connection that the service reset. Wine tells of a reset
// now so, now as a close, whatever chanlog does meanwhile: under it, "" where `console` lacks it.
std::string ResetLine(const std::string &console);
// How chanlog is asked to end from outside, and the status it ends with then: SIGTERM; for the
// Windows programs Ctrl-C, which Wine makes of SIGINT, and Windows' status for it.
int EndSignal();
int EndedStatus();
// A full path of this machine as the programs under test say it: under Wine, on its drive Z:.
std::string ProgramsPath(const std::string &path);
std::string DirectoryReason(); // why a folder cannot be opened as a file for writing
std::string DiskFullReason();  // why a write to a full device failed
// Copies the Windows program `from` to `to` with a stack reservation of `bytes` for each of its
// threads; false where it is no 32-bit program, whose address space such a reservation can fill.
bool CopyWithStackReserve(const std::string &from, const std::string &to, std::uint32_t bytes);
// Ends the wineserver the Windows programs leave running in the test's network namespace, so that
// the next test's start in their own.
void EndProgramsSession();

// The harness's readers, for what the programs under test wrote.
std::string ReadUntil(int fd, const std::string &text, int timeoutMs,
                      const std::string &sofar = {});
std::string ReadAll(int fd, int timeoutMs);
std::string ReadFile(const std::string &path);

// The bound on every wait of the tests: long enough for a loaded sanitizer run.
inline constexpr int kWaitMs = 10000;

// Polls `done` every 2 ms until it holds or `timeoutMs` has passed; returns its last answer.
template <typename Condition> bool WaitFor(Condition done, int timeoutMs = kWaitMs) {
    for (int waited = 0; !done(); waited += 2) {
        if (waited >= timeoutMs) {
            return false;
        }
        usleep(2000);
    }
    return true;
}
// Waits for the child to end and returns its exit status, or 128 + the signal that ended it; one
// that does not end within the wait fails the test, is killed, and gives -1.
int ExitCode(Child &child);

// The client end of a connection to `servicePort`, as /proc/net/tcp shows it, is in `state`.
bool ClientIn(std::uint16_t servicePort, int state);
// Bytes waiting unread at the client end of the established connection; -1 when there is none.
long ClientUnread(std::uint16_t servicePort);
// Waits until the client has taken every byte the service sent, so that what is sent next arrives
// as a receive of its own; false on timeout.
bool WaitDrained(std::uint16_t servicePort, int timeoutMs);

// The text of each report "<ms>: <text>\n" in `text`. A line without a time stamp continues the
// text before it (a text may hold line feeds of its own); before any report it comes back whole,
// prefixed with "BAD: ".
std::vector<std::string> ReportTexts(const std::string &text);
// The text with the time stamp "<digits>: " taken off every line that begins with one.
std::string Unstamped(const std::string &text);
// The texts of the reports in `text`, one after the other: the stream, where every receive was
// reported.
std::string Joined(const std::string &text);
// The first line of each report: its stamp and the start of its text.
std::vector<std::string> StampedLines(const std::string &text);
