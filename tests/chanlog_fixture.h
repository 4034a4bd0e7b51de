#pragma once

// The real chanlog in a temporary folder against listeners of the test's own on the service ports,
// in a network namespace of the test's own where the machine allows it.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support.h"

// The ports the services listen on, written out here: they are the contract with those services,
// which the program's own constants must meet.
inline constexpr std::uint16_t kHoldService = 31285;
inline constexpr std::uint16_t kFeedService = 31286;

inline constexpr const char *kFeedClosed =
    "The feed service closed the connection: nothing more will be logged\n";

std::vector<std::string> ReconnectCommand(); // chanlog with --reconnect

class ChanlogTest : public testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override; // kills chanlog, closes every socket, removes the folder

    void ListenOn(bool hold, bool feed);
    // chanlog (or `command`, which starts it) in the test's folder, its start lines taken
    // (TakeStartLines); with Output::kFd its standard output is `stdoutFd`.
    void StartChanlog(Output output = Output::kPipe,
                      const std::vector<std::string> &command = ChanlogCommand(),
                      int stdoutFd = -1);
    void AcceptBoth(); // takes chanlog's connections to both listeners
    // Both services listening, chanlog started and connected to both.
    void StartConnected(const std::vector<std::string> &command = ChanlogCommand(),
                        Output output = Output::kPipe, int stdoutFd = -1);
    // Ends chanlog, closes the services and their connections, for another start in the folder.
    void EndChanlogAndServices();
    // Sends one message and waits until chanlog has taken it, so that each is a receive of its own.
    void Send(const std::string &message) const;
    // Standard output (Console) or error (Said) so far, read until it holds `text` or the wait is
    // over.
    std::string Console(const std::string &text);
    std::string Said(const std::string &text);
    // The lines of standard error so far, read until there are `count` (or the wait is over).
    std::vector<std::string> SaidLines(std::size_t count);
    std::string Log() const;
    static bool FeedClosedByClient(); // channel 2 closed its end of the feed connection
    // Channel 1's connection is open at chanlog's end, and nothing was sent on it.
    bool HoldConnectionHeld() const;
    // chanlog has its log open (log.txt, or /dev/full where a test made log.txt stand for it).
    bool HoldsTheLog() const;
    bool NoneConnected() const; // neither listener has a connection waiting
    // Ends chanlog with SIGTERM, as it is meant to end once channel 1 holds; true when that signal
    // ended it.
    bool Terminate();
    // Closes the feed, waits until standard error says so, then asks chanlog to end as a user
    // does (EndSignal), so that it writes or counts what waits for the console before it ends;
    // returns all that standard error said.
    std::string CloseTheFeedAndEnd();

    // Stops a service (kHoldService or kFeedService): its listener first, so that chanlog's next
    // connect is refused, then its connection.
    void StopService(std::uint16_t port);
    // Listens again where it stopped, and takes chanlog's next connection.
    void RestartService(std::uint16_t port);
    // Takes the lines chanlog says first once its log is open (where an earlier run's log was
    // moved, if one was, then where it logs and the time of stamp 0) off its standard error, or
    // its standard output where standard error is that; checks their form and keeps them in
    // started_ (none from a chanlog that never opened its log). For chanlog_ when a test spawned
    // it itself.
    void TakeStartLines();
    std::string MovedTo() const; // where the last start moved an earlier run's log, or ""

    // Stops chanlog and waits until all its threads are stopped, so that what is sent now waits
    // unread in its receive queue until Resume.
    void Pause() const;
    void Resume() const;
    // Channel 2 ends (the feed was closed or reset: chanlog lets go of the log, and channel 1's
    // connection is its only socket) and channel 1 goes on holding; then chanlog ends as it is
    // meant to, having said `err` on standard error (a sanitizer report would be there too).
    void ExpectOnlyChannelTwoEnds(const std::string &err);
    // Standard error says `err` while chanlog holds, and `atEnd` once it is terminated.
    void ExpectHoldingUntilTerminated(const std::string &err, const std::string &atEnd = {});

    std::string dir_;
    Child chanlog_;
    int holdListener_ = -1;
    int feedListener_ = -1;
    int hold_ = -1;
    int feed_ = -1;
    std::string console_;
    std::string said_;
    std::string started_; // the start lines taken from chanlog_
};

// Milliseconds since 1970-01-01T00:00:00Z by the wall clock.
std::int64_t WallClockMs();
// The time that an ISO 8601 text in UTC to the millisecond ("2026-12-09T05:15:02.123Z") says, in
// milliseconds since 1970; -1 for a text of any other form.
std::int64_t IsoUtcMs(const std::string &text);

// The start lines of `child`, which runs chanlog in `dir`, taken as ChanlogTest::TakeStartLines
// takes them; what it read of standard output past them is added to `console`. `listeners` (-1 for
// none) take chanlog's connections, which come after the start lines.
std::string TakeChanlogStartLines(Child &child, const std::string &dir, std::string *console,
                                  std::initializer_list<int> listeners = {});
