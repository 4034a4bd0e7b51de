// The real chanlog binary and a console that does not do its part (goes away, stalls, reads slowly,
// fails): the log keeps up with the feed whatever it does, and what it missed is counted and said.

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/chanlog_fixture.h"

namespace {

constexpr const char *kNotRead =
    " not shown: standard output was not read in time (log.txt has what was logged)\n";

// A message of 512 bytes, numbered: two fill a receive exactly, so that messages that arrive
// together are still each reported whole.
std::string PacedMessage(int index) {
    std::string message = "50;#" + std::to_string(index) + " ";
    return message + std::string(511 - message.size(), static_cast<char>('a' + index % 26)) + "\n";
}

class EndToEndConsole : public ChanlogTest {
  protected:
    // Connected, standard output a pipe of a page (the smallest there is) that nobody reads yet.
    void StartStalled(const std::vector<std::string> &command = ChanlogCommand()) {
        ASSERT_NO_FATAL_FAILURE(StartConnected(command));
        ASSERT_GT(fcntl(chanlog_.out, F_SETPIPE_SZ, 4096), 0);
    }
    // Sends the next `count` paced messages 1 ms apart, as a service at its own pace does, adds
    // them to stream_ and waits until the log at `log` (log.txt where empty) holds stream_.
    void SendLogged(int count, const std::string &log = {}) {
        for (const int last = sent_ + count; sent_ < last; ++sent_) {
            ASSERT_TRUE(SendMessage(feed_, PacedMessage(sent_)));
            stream_ += PacedMessage(sent_);
            usleep(1000);
        }
        ASSERT_TRUE(
            WaitFor([&] { return Joined(log.empty() ? Log() : ReadFile(log)) == stream_; }));
    }
    // chanlog with channel 1 refused unless `hold` (so that it ends by itself once the feed
    // closes), once the log has 100 kB that nobody read from its standard output (a page's pipe, or
    // `stdoutFd`).
    void StartAndSendWhatNobodyReads(bool hold, int stdoutFd = -1) {
        ListenOn(hold, true);
        StartChanlog(stdoutFd == -1 ? Output::kPipe : Output::kFd, ChanlogCommand(), stdoutFd);
        hold_ = hold ? AcceptWithin(holdListener_, kWaitMs) : -1;
        feed_ = AcceptWithin(feedListener_, kWaitMs);
        ASSERT_NE(feed_, -1);
        ASSERT_TRUE(stdoutFd != -1 || fcntl(chanlog_.out, F_SETPIPE_SZ, 4096) > 0);
        sent_ = 0;
        stream_.clear();
        ASSERT_NO_FATAL_FAILURE(SendLogged(200));
    }

    int sent_ = 0;       // paced messages sent
    std::string stream_; // those the log holds now
};

// A pseudo-terminal: the master side, and the terminal's own side in raw mode.
struct Terminal {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    int own = -1;
    std::string name;
    ~Terminal() {
        CloseFd(&master);
        CloseFd(&own);
    }
    bool Open() {
        if (master == -1 || grantpt(master) != 0 || unlockpt(master) != 0) {
            return false;
        }
        name = ptsname(master);
        own = open(name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios raw{};
        if (own == -1 || tcgetattr(own, &raw) != 0) {
            return false;
        }
        cfmakeraw(&raw);
        return tcsetattr(own, TCSANOW, &raw) == 0;
    }
};

// How many lines the notices in `err` say were not shown as not read in time.
long NotShown(const std::string &err) {
    long count = 0;
    for (const std::string &line : Lines(err)) {
        count += (line + "\n").ends_with(kNotRead) ? std::stol(line) : 0;
    }
    return count;
}

// How many notices `err` holds of lines not shown.
long Notices(const std::string &err) {
    const std::vector<std::string> lines = Lines(err);
    return std::count_if(lines.begin(), lines.end(), [](const std::string &line) {
        return line.find(" not shown: ") != std::string::npos;
    });
}

// Every report line that the log has was shown on `console` or counted on `err`.
void ExpectShownOrCounted(const std::string &log, const std::string &console,
                          const std::string &err) {
    EXPECT_EQ(static_cast<long>(StampedLines(console).size()) + NotShown(err),
              static_cast<long>(StampedLines(log).size()))
        << err;
}

// Each line shown is one of the log's, whole, stamp and all, in the log's order.
void ExpectTheLogsLinesInOrder(const std::string &log, const std::string &console) {
    const std::vector<std::string> logged = StampedLines(log);
    std::size_t next = 0;
    for (const std::string &line : StampedLines(console)) {
        next = std::find(logged.begin() + static_cast<std::ptrdiff_t>(next), logged.end(), line) -
               logged.begin();
        ASSERT_LT(next++, logged.size()) << "not a line of the log, in order: " << line;
    }
}

// A reader of `fd` on a thread of its own, `chunk` bytes at a time `pauseUs` apart while slow_,
// then at once; Rest returns all it read once the writer has ended.
struct SlowReader {
    SlowReader(int fd, std::size_t chunk, int pauseUs)
        : worker([this, fd, chunk, pauseUs] {
              std::vector<char> buffer(chunk);
              while (slow) {
                  const ssize_t n = read(fd, buffer.data(), buffer.size());
                  text.append(buffer.data(), static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
                  usleep(static_cast<useconds_t>(pauseUs));
              }
              text += ReadAll(fd, 3 * kWaitMs);
          }) {}
    SlowReader(const SlowReader &) = delete;
    SlowReader &operator=(const SlowReader &) = delete;
    ~SlowReader() {
        Rest();
    }
    const std::string &Rest() {
        slow = false;
        if (worker.joinable()) {
            worker.join();
        }
        return text;
    }

    std::atomic<bool> slow = true;
    std::string text;
    std::thread worker; // last: it starts with the rest in place
};

TEST_F(EndToEndConsole, AConsoleReaderThatGoesAwayIsSaidOnceAndLeavesTheLogGrowing) {
    ASSERT_NO_FATAL_FAILURE(StartConnected());
    Send("50;seen\n");
    Console("50;seen\n");
    CloseFd(&chanlog_.out);
    std::string expected = "50;seen\n\n";
    for (int i = 1; i <= 5; ++i) {
        // Each line reaches the log before the next is sent: the log keeps growing.
        Send("50;unseen " + std::to_string(i) + "\n");
        expected += "50;unseen " + std::to_string(i) + "\n\n";
        ASSERT_TRUE(WaitFor([&] { return Unstamped(Log()) == expected; })) << Log();
    }
    // Not ended by SIGPIPE; standard error says once that nobody reads, and has the failure
    // messages that standard output can no longer take.
    ResetConnection(feed_);
    feed_ = -1;
    ExpectOnlyChannelTwoEnds(
        "Standard output was closed by its reader: the lines go on in log.txt only\n"
        "recv failed with error: 104\n"
        "The feed connection failed: nothing more will be logged\n");
}

TEST_F(EndToEndConsole, AConsoleThatIsNotReadHoldsNothingUpAndWhatItMissedIsCounted) {
    ASSERT_NO_FATAL_FAILURE(StartStalled());
    // The service sends 1.3 MB at its own pace, more than the console's backlog holds; nobody
    // reads the console all the while, yet the log holds every message, whole and in order.
    std::string stream;
    for (int i = 0; i < 2600; ++i) {
        ASSERT_TRUE(SendMessage(feed_, PacedMessage(i)));
        stream += PacedMessage(i);
        usleep(1500);
    }
    EXPECT_TRUE(WaitFor([&] { return Joined(Log()) == stream; }))
        << Joined(Log()).size() << " of " << stream.size() << " bytes logged";
    CloseFd(&feed_);
    // Read again, the console gets the lines that waited, then a count of those that did not fit
    // (once the lines before it were written), then the rest.
    std::string console;
    std::thread reader([&console, fd = chanlog_.out] { console = ReadAll(fd, 3 * kWaitMs); });
    std::string err = ReadUntil(chanlog_.err, "(log.txt has what was logged)\n", 3 * kWaitMs);
    err = ReadUntil(chanlog_.err, kFeedClosed, kWaitMs, err); // which may come after the count
    // Asked to end as a user does: not SIGTERM, which ends a Windows program under Wine at once,
    // before it has written what waits.
    kill(chanlog_.pid, EndSignal());
    EXPECT_EQ(ExitCode(chanlog_), EndedStatus());
    err += ReadAll(chanlog_.err, kWaitMs);
    reader.join();
    EXPECT_NE(err.find(kFeedClosed), std::string::npos) << err;
    EXPECT_GT(NotShown(err), 0);
    ExpectShownOrCounted(Log(), console, err);
    // Up to 1 MiB of lines waited, each with 8 bytes of its own beside its text: at least as much
    // text as 512-byte lines give but the last that would not fit; the pipe took most of a page
    // more, and one line may have been on its way.
    EXPECT_GT(console.size(), std::size_t{1024} * 1024 / 520 * 512 - 1024);
    EXPECT_LT(console.size(), std::size_t{1024} * 1024 + std::size_t{2} * 4096);
    ExpectTheLogsLinesInOrder(Log(), console);
}

TEST_F(EndToEndConsole, ACountThatComesDueIsSaidThoughNothingElseComes) {
    // More than the backlog holds; then a little is read, and more is sent than that made room
    // for: two spells of lines dropped, apart.
    ASSERT_NO_FATAL_FAILURE(StartStalled());
    ASSERT_NO_FATAL_FAILURE(SendLogged(2200));
    console_ = ReadUntil(chanlog_.out, "50;#200 ", kWaitMs);
    ASSERT_NO_FATAL_FAILURE(SendLogged(400));
    // Read at once from now on, the first spell is said where its lines stood; the second, due a
    // second later with nothing more to come, is said then all the same (3 s: a loaded machine).
    std::thread reader([this] { console_ += ReadAll(chanlog_.out, 3 * kWaitMs); });
    std::string err = ReadUntil(chanlog_.err, kNotRead, kWaitMs);
    const std::int64_t first = NowNs();
    if (Notices(err) == 1) {
        err += ReadUntil(chanlog_.err, kNotRead, kWaitMs);
    }
    EXPECT_EQ(Notices(err), 2) << err;
    EXPECT_LT(NowNs() - first, std::int64_t{3} * 1000000000);
    EXPECT_TRUE(Terminate());
    reader.join();
    ExpectShownOrCounted(Log(), console_, err + ReadAll(chanlog_.err, kWaitMs));
}

TEST_F(EndToEndConsole, InOneStreamEachMessageComesAfterTheCountOfTheLinesDroppedBeforeIt) {
    // Standard error in standard output's stalled pipe, more than the backlog holds, then the log
    // moved away 4 times with lines dropped after each: messages beyond the report lines' room.
    ASSERT_NO_FATAL_FAILURE(
        StartStalled({"/bin/sh", "-c", "exec \"$0\" 2>&1", ChanlogCommand().front()}));
    ASSERT_NO_FATAL_FAILURE(SendLogged(2200));
    for (int away = 1; away <= 4; ++away) {
        const std::string to = dir_ + "/log.txt." + std::to_string(away);
        ASSERT_EQ(rename((dir_ + "/log.txt").c_str(), to.c_str()), 0);
        stream_.clear();
        ASSERT_NO_FATAL_FAILURE(SendLogged(20));
    }
    CloseFd(&feed_);
    // Read at once, the messages come within a second of the first count, yet each comes after
    // the count of the lines dropped before it.
    const std::string stream = ReadUntil(chanlog_.out, kFeedClosed, 3 * kWaitMs);
    EXPECT_TRUE(Terminate());
    const std::vector<std::string> lines = Lines(stream);
    int messages = 0;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        if (lines[i].starts_with("log.txt was moved or removed: ") ||
            lines[i] + "\n" == kFeedClosed) {
            ++messages;
            EXPECT_TRUE((lines[i - 1] + "\n").ends_with(kNotRead)) << lines[i - 1] << "\nbefore\n"
                                                                   << lines[i];
        }
    }
    EXPECT_EQ(messages, 5) << stream.substr(stream.size() -
                                            std::min<std::size_t>(stream.size(), 2000));
    // Every line of the logs, the four moved away and the last, was shown or counted.
    std::string logged;
    for (int away = 1; away <= 4; ++away) {
        logged += ReadFile(dir_ + "/log.txt." + std::to_string(away));
    }
    ExpectShownOrCounted(logged + Log(), stream, stream);
}

TEST_F(EndToEndConsole, MessagesThatFindNoRoomAreCountedApartFromTheLines) {
    // In a folder whose path makes each message of the log's move about 490 bytes, with standard
    // error in standard output's stalled pipe: the messages wait behind the lines.
    std::string work = dir_;
    for (const char name : {'a', 'b'}) {
        work += "/" + std::string(200, name);
        ASSERT_EQ(mkdir(work.c_str(), 0755), 0) << std::strerror(errno);
    }
    ListenOn(true, true);
    chanlog_ = Spawn({"/bin/sh", "-c", "exec \"$0\" 2>&1", CHANLOG_BINARY}, {.workDir = work});
    started_ = TakeChanlogStartLines(chanlog_, work, &console_, {holdListener_, feedListener_});
    hold_ = AcceptWithin(holdListener_, kWaitMs);
    feed_ = AcceptWithin(feedListener_, kWaitMs);
    ASSERT_NE(feed_, -1);
    ASSERT_GT(fcntl(chanlog_.out, F_SETPIPE_SZ, 4096), 0);
    // More lines than the backlog holds, then the log removed (not moved: no rotator's log is
    // waited for) 300 times, a line after each: 300 messages in the room of about 130.
    const std::string log = work + "/log.txt";
    ASSERT_NO_FATAL_FAILURE(SendLogged(2100, log));
    std::string logged;
    for (int away = 1; away <= 300; ++away) {
        logged += ReadFile(log);
        ASSERT_EQ(unlink(log.c_str()), 0);
        stream_.clear();
        ASSERT_NO_FATAL_FAILURE(SendLogged(1, log));
    }
    // Read from now on: the lines that waited come first, then the count of those dropped; a line
    // sent once those are out comes after all that waited.
    std::string stream = ReadUntil(chanlog_.out, " not shown: ", 3 * kWaitMs, console_);
    Send("50;last\n");
    stream = ReadUntil(chanlog_.out, "50;last\n", 3 * kWaitMs, stream);
    EXPECT_TRUE(Terminate());
    stream += ReadAll(chanlog_.out, kWaitMs);
    // Each message was shown or counted as a message, and each line as a line.
    long messages = 0;
    for (const std::string &line : Lines(stream)) {
        if (line.starts_with("log.txt was moved or removed: logging goes on in ")) {
            ++messages;
        } else if (line.ends_with(" not shown: standard output was not read in time")) {
            messages += std::stol(line);
        }
    }
    EXPECT_EQ(messages, 300);
    ExpectShownOrCounted(logged + ReadFile(log), stream, stream);
}

TEST_F(EndToEndConsole, TheFeedsCloseIsSaidAtOnceThoughNobodyReadsStandardOutput) {
    // 10 kB that nobody reads: the pipe takes a page of it, the rest waits for the console.
    ASSERT_NO_FATAL_FAILURE(StartStalled());
    ASSERT_NO_FATAL_FAILURE(SendLogged(20));
    CloseFd(&feed_);
    // Standard error, a file of its own, has the failure while standard output is still unread.
    EXPECT_EQ(ReadUntil(chanlog_.err, kFeedClosed, kWaitMs), kFeedClosed);
    EXPECT_EQ(Joined(ReadUntil(chanlog_.out, PacedMessage(19), kWaitMs)), stream_);
}

TEST_F(EndToEndConsole, AStandardErrorFileWhoseWritesDoNotReturnHoldsUpNeitherLogNorEnd) {
    // Standard error a file whose writes do not return for 6 s, as on a network file system that
    // stopped answering: strace holds each write to it at its entry, once chanlog has started.
    const std::string err = dir_ + "/err";
    const std::string trace = dir_ + ".trace";
    WriteWholeFile(err, "");
    ASSERT_NO_FATAL_FAILURE(
        StartConnected({"/bin/sh", "-c", "exec \"$0\" 2>>\"$1\"", CHANLOG_BINARY, err}));
    Child strace = Spawn({"strace", "-f", "-qq", "-o", trace, "-P", err, "-e", "trace=write", "-e",
                          "inject=write:delay_enter=6s", "-p", std::to_string(chanlog_.pid)});
    ASSERT_TRUE(WaitFor([&] { return AllThreadsTraced(chanlog_.pid); }));
    // The log moved away twice: the first message of it is held in its write, the second waits
    // behind it, and the log goes on meanwhile (3 s: generous, and half the write's delay).
    for (const int away : {1, 2}) {
        const std::string to = dir_ + "/log.txt." + std::to_string(away);
        ASSERT_EQ(rename((dir_ + "/log.txt").c_str(), to.c_str()), 0);
        const std::string line = "50;moved " + std::to_string(away) + "\n";
        ASSERT_TRUE(SendMessage(feed_, line));
        ASSERT_TRUE(WaitFor(
            [&] {
                return Unstamped(Log()) == line + "\n" &&
                       ReadWholeFile(trace).find("write(2, \"log.txt was moved") !=
                           std::string::npos;
            },
            3000))
            << ReadWholeFile(trace);
    }
    // Asked to end, it ends itself by the signal after the moments its end may take, not once the
    // writes return. strace keeps the threads in their writes, and so the process, until the delay
    // is over (where a network file system's wait would not), so the moment is its trace's.
    const std::int64_t start = NowNs();
    ASSERT_EQ(kill(chanlog_.pid, SIGTERM), 0);
    EXPECT_TRUE(WaitFor([&] {
        return ReadWholeFile(trace).find("--- SIGTERM {si_signo=SIGTERM, si_code=SI_TKILL") !=
               std::string::npos;
    })) << ReadWholeFile(trace);
    EXPECT_LT(NowNs() - start, std::int64_t{4} * 1000000000);
    EXPECT_EQ(ExitCode(chanlog_), 128 + SIGTERM);
    Stop(strace, SIGTERM);
    unlink(trace.c_str());
}

TEST_F(EndToEndConsole, WhatWaitsForTheConsoleIsWrittenBeforeChanlogEndsByItself) {
    // 100 kB wait for a console nobody has read yet: a pipe, or a connection with little room,
    // which is offered each line without waiting, so that the log does not wait for it either.
    for (const bool socket : {false, true}) {
        int pair[2] = {-1, -1};
        const int room = 4096;
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        ASSERT_EQ(setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &room, sizeof room), 0);
        ASSERT_NO_FATAL_FAILURE(StartAndSendWhatNobodyReads(false, socket ? pair[1] : -1));
        close(pair[1]);
        CloseFd(&feed_);
        // They all come before the end; channel 1 fails beside channel 2's first lines, so its
        // line stands among them, whole.
        const std::string console = ReadAll(socket ? pair[0] : chanlog_.out, kWaitMs);
        close(pair[0]);
        EXPECT_EQ(ExitCode(chanlog_), 2);
        std::vector<std::string> lines = Lines(console);
        EXPECT_EQ(std::erase(lines, "connect failed with error: 111"), 1u) << console;
        std::string reports;
        for (const std::string &line : lines) {
            reports += line + "\n";
        }
        EXPECT_EQ(Joined(reports), stream_) << (socket ? "a socket" : "a pipe");
        EndChanlogAndServices();
    }
}

TEST_F(EndToEndConsole, AStandardOutputThatFailsIsSaidOnceAndNoFailureGoesUnsaid) {
    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    EXPECT_NE(full, -1) << std::strerror(errno);
    ListenOn(false, true); // channel 1's failure must be said somewhere
    // Each failing write to standard output held up a while, so that the feed's failure is said
    // while its receive's message still waits to be turned away by standard output. Traced, it
    // ends by itself with no leak check, which cannot work under a tracer.
    const std::vector<std::string> command =
        WindowsPrograms()
            ? ChanlogCommand()
            : std::vector<std::string>{"/bin/sh", "-c",
                                       "ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" "
                                       "exec \"$0\"",
                                       ChanlogCommand().front()};
    StartChanlog(Output::kFd, command, full);
    close(full);
    feed_ = AcceptWithin(feedListener_, kWaitMs);
    ASSERT_NE(feed_, -1);
    Child strace;
    if (!WindowsPrograms()) {
        strace =
            Spawn({"strace", "-f", "-qq", "-o", "/dev/null", "-P", "/dev/full", "-e", "trace=write",
                   "-e", "inject=write:delay_enter=300ms", "-p", std::to_string(chanlog_.pid)});
        ASSERT_TRUE(WaitFor([&] { return AllThreadsTraced(chanlog_.pid); }));
    }
    for (const std::string message : {"50;one\n", "50;two\n", "50;three\n"}) {
        Send(message);
    }
    ASSERT_TRUE(WaitFor([&] { return StampedLines(Log()).size() == 3; }));
    ResetConnection(feed_);
    feed_ = -1;
    EXPECT_EQ(ExitCode(chanlog_), 2);
    // A failure's two lines stand together, in order, though standard output sends its own to
    // standard error.
    EXPECT_EQ(ReadAll(chanlog_.err, kWaitMs),
              "Could not write standard output: " + DiskFullReason() +
                  "\nconnect failed with error: " + std::to_string(RefusedCode()) +
                  "\nCould not connect to 127.0.0.1:31285\nrecv failed with error: " +
                  std::to_string(ResetCode()) +
                  "\nThe feed connection failed: nothing more will be logged\n3 lines were not "
                  "shown: standard output could not be written (log.txt has what was logged)\n");
    EXPECT_EQ(Unstamped(Log()), "50;one\n\n50;two\n\n50;three\n\n");
    if (!WindowsPrograms()) {
        ExitCode(strace); // it ends with chanlog
    }
}

TEST_F(EndToEndConsole, AFullDiskUnderStandardOutputCutsNoLineAndSaysWhatItMissed) {
    // Standard output on a 64 KiB file system of this test's own, filled but for one page.
    const std::string disk = dir_ + "/disk";
    ASSERT_EQ(mkdir(disk.c_str(), 0755), 0);
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=64k") != 0) {
        GTEST_SKIP() << "no mount namespace here: " << std::strerror(errno);
    }
    // Room comes back before more lines come, which finish the line cut first, or only before the
    // end, which finishes it then.
    for (const bool linesAfter : {true, false}) {
        WriteWholeFile(disk + "/filler", std::string(std::size_t{15} * 4096, 'f'));
        const int console =
            open((disk + "/console").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        EXPECT_NE(console, -1) << std::strerror(errno);
        ASSERT_NO_FATAL_FAILURE(StartConnected(ChanlogCommand(), Output::kFd, console));
        close(console);
        std::vector<std::string> messages;
        for (int i = 0; i < 65; ++i) {
            if (i == 60) {
                ASSERT_EQ(unlink((disk + "/filler").c_str()), 0); // room again
                if (!linesAfter) {
                    ASSERT_TRUE(Terminate());
                    break;
                }
            }
            // 91 bytes of text: at this pace the stamps grow so that lines of 90 end on the page's
            // end, and none would be cut.
            messages.push_back("50;" + std::to_string(i) + ";" + std::string(91, 'p') + "\n");
            Send(messages.back());
        }
        ASSERT_TRUE(!linesAfter || WaitFor([&] {
            return ReadFile(disk + "/console").ends_with("50;64;" + std::string(91, 'p') + "\n\n");
        })) << ReadFile(disk + "/console");
        // The page took the first lines whole and one in part, which was finished once there was
        // room: no line is glued to a piece of another, and none ends in the middle.
        const std::vector<std::string> shown = ReportTexts(ReadFile(disk + "/console"));
        const std::size_t after = messages.size() - 60;
        ASSERT_GT(shown.size(), after);
        ASSERT_LT(shown.size(), 60u);
        const auto kept = static_cast<std::ptrdiff_t>(shown.size() - after);
        std::vector<std::string> expected(messages.begin(), messages.begin() + kept);
        expected.insert(expected.end(), messages.begin() + 60, messages.end());
        EXPECT_EQ(shown, expected);
        EXPECT_EQ(ReadUntil(chanlog_.err, "logged)\n", kWaitMs),
                  "Could not write standard output: No space left on device\n" +
                      std::to_string(60 - kept) +
                      " lines were not shown: standard output could not be written (log.txt has "
                      "what was logged)\n");
        EXPECT_EQ(ReportTexts(Log()), messages);
        EndChanlogAndServices();
        unlink((disk + "/console").c_str());
    }
    umount2(disk.c_str(), MNT_DETACH);
}

TEST_F(EndToEndConsole, ANonBlockingStandardOutputReadSlowlyLosesNothingUncounted) {
    // Standard output left in non-blocking mode by the program that started chanlog, as ssh and
    // node leave it, and read 1 KiB every 10 ms while the service sends 512 KB a second.
    int pipe[2] = {-1, -1};
    ASSERT_EQ(pipe2(pipe, O_CLOEXEC), 0);
    ASSERT_EQ(fcntl(pipe[1], F_SETFL, O_NONBLOCK), 0);
    ASSERT_GT(fcntl(pipe[0], F_SETPIPE_SZ, 4096), 0);
    ASSERT_NO_FATAL_FAILURE(StartConnected(ChanlogCommand(), Output::kFd, pipe[1]));
    close(pipe[1]);
    SlowReader reader(pipe[0], 1024, 10 * 1000);
    const std::int64_t start = NowNs();
    for (int i = 0; i < 4000 && SendMessage(feed_, PacedMessage(i)); ++i) {
        usleep(1000);
    }
    const double seconds = static_cast<double>(NowNs() - start) / 1e9;
    reader.slow = false; // so that the console writes what waits before the end
    const std::string err = CloseTheFeedAndEnd();
    const std::string console = reader.Rest();
    close(pipe[0]);
    // Every line logged was shown or counted, and the counts came at most about once a second.
    EXPECT_GT(NotShown(err), 0);
    ExpectShownOrCounted(Log(), console, err);
    EXPECT_LE(Notices(err), static_cast<long>(seconds) + 2) << err;
}

TEST_F(EndToEndConsole, ASocketThatTakesPartOfALineGetsItsRestAfterItAndNothingTwice) {
    // Standard output a connection with little room, read slowly: it takes part of a line at once
    // and the rest later.
    const int listener = Listen(0);
    const int ours = Connect(PortOf(listener));
    const int theirs = AcceptWithin(listener, kWaitMs);
    close(listener);
    const int room = 4096;
    ASSERT_EQ(setsockopt(theirs, SOL_SOCKET, SO_SNDBUF, &room, sizeof room), 0);
    ASSERT_NO_FATAL_FAILURE(StartConnected(ChanlogCommand(), Output::kFd, theirs));
    close(theirs);
    SlowReader reader(ours, 300, 1000);
    for (int i = 0; i < 400 && SendMessage(feed_, PacedMessage(i)); ++i) {
        usleep(500);
    }
    reader.slow = false; // so that the console writes what waits before the end
    const std::string err = CloseTheFeedAndEnd();
    const std::string console = reader.Rest();
    close(ours);
    ExpectTheLogsLinesInOrder(Log(), console);
    ExpectShownOrCounted(Log(), console, err);
}

TEST_F(EndToEndConsole, ALineASocketTookInPartAtOnceIsFinishedFromWhereItWasCut) {
    // Standard output a connection with little room at either end and short segments, so that a
    // send may take part of a line; not read for now.
    const int listener = Listen(0);
    const int room = 2048;
    const int segment = 256;
    ASSERT_EQ(setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &room, sizeof room), 0);
    ASSERT_EQ(setsockopt(listener, IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment), 0);
    const int theirs = Connect(PortOf(listener));
    const int ours = AcceptWithin(listener, kWaitMs);
    close(listener);
    ASSERT_EQ(setsockopt(theirs, SOL_SOCKET, SO_SNDBUF, &room, sizeof room), 0);
    ASSERT_NO_FATAL_FAILURE(StartConnected(ChanlogCommand(), Output::kFd, theirs));
    close(theirs);
    // Each send is held up for 100 ms once it has taken what it could without waiting.
    const std::string trace = dir_ + ".trace";
    Child strace =
        Spawn({"strace", "-f", "-qq", "-e", "trace=sendto", "-e", "inject=sendto:delay_exit=100000",
               "-o", trace, "-p", std::to_string(chanlog_.pid)});
    ASSERT_TRUE(WaitFor([&] { return AllThreadsTraced(chanlog_.pid); }));
    // Lines until the connection takes one only in part as it comes. While that send is held up,
    // the connection is read, so that the console thread's next offer of the rest finds room.
    std::string console;
    int cut = -1;
    for (int i = 0; i < 100 && cut < 0; ++i) {
        Send(PacedMessage(i));
        std::string call;
        ASSERT_TRUE(WaitFor([&] {
            const std::vector<std::string> calls = Lines(ReadWholeFile(trace));
            call = calls.empty() ? "" : calls.back();
            return call.find("50;#" + std::to_string(i) + " ") != std::string::npos;
        })) << ReadWholeFile(trace);
        // sendto(1, "<the line>"..., <its length>, ...) = <what it took>
        const long length = std::stol(call.substr(call.find(", ", call.find(", ") + 2) + 2));
        const long taken = std::stol(call.substr(call.rfind(" = ") + 3));
        if (taken < length) {
            console += ReadAll(ours, 0);
            console = ReadUntil(ours, PacedMessage(i) + "\n", kWaitMs, console);
            cut = taken > 0 ? i : -1;
        }
    }
    ASSERT_GE(cut, 0) << ReadWholeFile(trace);
    EXPECT_EQ(console, Log());
    Stop(strace, SIGTERM);
    unlink(trace.c_str());
    close(ours);
}

TEST_F(EndToEndConsole, APseudoTerminalsMasterSideAsStandardOutputGetsEveryLine) {
    Terminal terminal;
    ASSERT_TRUE(terminal.Open()) << std::strerror(errno);
    ASSERT_NO_FATAL_FAILURE(StartConnected(ChanlogCommand(), Output::kFd, terminal.master));
    for (const std::string message : {"50;one\n", "50;two\n", "50;three\n"}) {
        Send(message);
    }
    EXPECT_EQ(Unstamped(ReadUntil(terminal.own, "50;three\n\n", kWaitMs)),
              "50;one\n\n50;two\n\n50;three\n\n");
}

TEST_F(EndToEndConsole, NobodyReadingStandardOutputHoldsUpNoEndAndWhatWasNotShownIsSaid) {
    enum class End { kByItself, kAsked, kAskedWhileEndingByItself };
    for (const End end : {End::kByItself, End::kAsked, End::kAskedWhileEndingByItself}) {
        // With channel 1 refused chanlog ends by itself once the feed closes.
        ASSERT_NO_FATAL_FAILURE(StartAndSendWhatNobodyReads(end == End::kAsked));
        const std::int64_t start = NowNs();
        if (end == End::kByItself) {
            // A failure that waits behind the lines for standard output is said all the same.
            ResetConnection(feed_);
            feed_ = -1;
        } else if (end == End::kAskedWhileEndingByItself) {
            CloseFd(&feed_);
        }
        if (end != End::kByItself) {
            // Asked while it gives the console its moment before ending by itself, it ends as
            // asked, its last words whole.
            usleep(end == End::kAsked ? 0 : 300 * 1000);
            kill(chanlog_.pid, EndSignal());
        }
        EXPECT_EQ(ExitCode(chanlog_), end == End::kByItself ? 2 : EndedStatus());
        // A moment for the console, then the end whatever standard output does.
        EXPECT_LT(NowNs() - start, std::int64_t{6} * 1000000000);
        const std::string err = ReadAll(chanlog_.err, kWaitMs);
        EXPECT_GT(NotShown(err), 0) << err;
        ExpectShownOrCounted(Log(), ReadAll(chanlog_.out, kWaitMs), err);
        EXPECT_EQ(err.find(kFeedClosed) != std::string::npos, end == End::kAskedWhileEndingByItself)
            << err;
        EXPECT_EQ(err.find("recv failed with error: " + std::to_string(ResetCode()) + "\n") !=
                      std::string::npos,
                  end == End::kByItself)
            << err;
        EndChanlogAndServices();
    }
}

TEST_F(EndToEndConsole, AFailureIsSaidAtOnceThoughStandardOutputIsStalled) {
    // A log of 32 KiB at most, and standard output stalled long before it is full.
    ASSERT_NO_FATAL_FAILURE(
        StartStalled({"/bin/sh", "-c", "ulimit -f 64 && exec \"$0\"", ChanlogCommand().front()}));
    for (int i = 0; i < 400; ++i) {
        ASSERT_TRUE(SendMessage(feed_, "50;" + std::string(96, 'f') + "\n"));
        usleep(500);
    }
    EXPECT_EQ(ReadUntil(chanlog_.err, "\n", kWaitMs), "Could not write log.txt: File too large\n");
}

TEST_F(EndToEndConsole, AskedToEndWhileLinesWaitItGivesTheConsoleAMomentToWriteThem) {
    // 10 kB: the pipe takes a few lines, the rest wait for the console thread. Read from a moment
    // after it is asked to end, the console still gets every line.
    ASSERT_NO_FATAL_FAILURE(StartStalled());
    ASSERT_NO_FATAL_FAILURE(SendLogged(20));
    kill(chanlog_.pid, EndSignal());
    usleep(200 * 1000);
    const std::string console = ReadAll(chanlog_.out, kWaitMs);
    EXPECT_EQ(ExitCode(chanlog_), EndedStatus());
    EXPECT_EQ(Joined(console), stream_);
    EXPECT_EQ(ReadAll(chanlog_.err, kWaitMs), "");
}

TEST_F(EndToEndConsole, AskedToEndWithNothingToWriteItDoesNotWaitOutTheConsolesMoment) {
    ASSERT_NO_FATAL_FAILURE(StartConnected());
    Send("50;one\n");
    Console("50;one\n");
    const std::int64_t start = NowNs();
    EXPECT_TRUE(Terminate());
    // The log has half a second to reach the disk, then the console a second to write what waits:
    // with nothing waiting, the end takes the log's time at most, well within 0.9 s.
    EXPECT_LT(NowNs() - start, std::int64_t{900} * 1000000);
}

// chanlog as a background job of a terminal that stops background writers (`stty tostop`), the
// terminal its standard output; the process returned is its session leader, which waits for it.
Child InTheBackground(const std::string &dir, const Terminal &terminal) {
    Child leader;
    leader.err = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    leader.pid = fork();
    if (leader.pid != 0) {
        return leader;
    }
    const int own = setsid() == -1 ? -1 : open(terminal.name.c_str(), O_RDWR); // controlling
    termios settings{};
    if (own == -1 || tcgetattr(own, &settings) != 0) {
        _exit(126);
    }
    settings.c_lflag |= TOSTOP;
    tcsetattr(own, TCSANOW, &settings);
    const pid_t job = fork();
    if (job == 0) {
        setpgid(0, 0); // a job of its own: the leader's stays in the foreground
        const int null = open("/dev/null", O_RDONLY);
        if (chdir(dir.c_str()) != 0 || dup2(null, 0) == -1 || dup2(own, 1) == -1 ||
            dup2(leader.err, 2) == -1) {
            _exit(126);
        }
        execl(CHANLOG_BINARY, CHANLOG_BINARY, nullptr);
        _exit(127);
    }
    setpgid(job, job);
    int status = 0;
    waitpid(job, &status, 0);
    _exit(0);
}

TEST_F(EndToEndConsole, InTheBackgroundOfATerminalThatStopsWritersItGoesOnLogging) {
    Terminal terminal;
    ASSERT_TRUE(terminal.Open()) << std::strerror(errno);
    ListenOn(true, true);
    chanlog_ = InTheBackground(dir_, terminal);
    ASSERT_GT(chanlog_.pid, 0);
    hold_ = AcceptWithin(holdListener_, kWaitMs);
    feed_ = AcceptWithin(feedListener_, kWaitMs);
    ASSERT_NE(feed_, -1);
    std::string expected;
    for (int i = 1; i <= 5; ++i) {
        Send("50;line " + std::to_string(i) + "\n");
        expected += "50;line " + std::to_string(i) + "\n\n";
    }
    // Writing to the terminal did not stop it: the log keeps up, and the terminal has the lines.
    EXPECT_TRUE(WaitFor([&] { return Unstamped(Log()) == expected; })) << Log();
    EXPECT_EQ(Unstamped(ReadUntil(terminal.master, "50;line 5\n\n", kWaitMs)), expected);
    // The job ends with its session leader's terminal, when the leader is killed.
    const std::string children = ReadWholeFile("/proc/" + std::to_string(chanlog_.pid) + "/task/" +
                                               std::to_string(chanlog_.pid) + "/children");
    if (!children.empty()) {
        kill(std::atoi(children.c_str()), SIGKILL);
    }
}

TEST_F(EndToEndConsole, AStalledConsoleCostsAtMostItsBoundInMemoryForShortLinesAndLong) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers keep memory of their own beside every byte";
#endif
    for (const std::size_t length : {std::size_t{30}, std::size_t{1000}}) {
        ASSERT_NO_FATAL_FAILURE(StartStalled());
        Send("50;first\n");
        const long long before = StatusKb(chanlog_.pid, "VmRSS");
        // More lines than the backlog holds, each its own receive as long as chanlog keeps up.
        const std::string message = "50;" + std::string(length - 4, 'm') + "\n";
        const std::size_t count = std::size_t{1024} * 1024 / length + 2000;
        for (std::size_t i = 0; i < count; ++i) {
            ASSERT_TRUE(SendMessage(feed_, message));
            usleep(100);
        }
        ASSERT_TRUE(WaitDrained(kFeedService, kWaitMs));
        // 1 MiB for report lines, 64 KiB for messages, and a little for the lines in flight.
        EXPECT_LE(StatusKb(chanlog_.pid, "VmRSS") - before, 1024 + 64 + 128) << length << " bytes";
        EndChanlogAndServices();
    }
}

} // namespace
