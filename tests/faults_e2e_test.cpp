// The real chanlog binary when the world around it misbehaves: a feed that resets, a full disk
// under the log, a console reader that goes away, a feed that floods. Each test asserts what was
// written, and that the process still works or ended as the client's rules say.

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/chanlog_fixture.h"

namespace {

constexpr const char *kFeedClosed =
    "The feed service closed the connection: nothing more will be logged\n";

class EndToEndFaults : public ChanlogTest {
  protected:
    // Stops chanlog and waits until all its threads are stopped, so that what is sent now waits
    // unread in its receive queue until Resume.
    void Pause() const {
        ASSERT_EQ(kill(chanlog_.pid, SIGSTOP), 0);
        ASSERT_TRUE(WaitFor([&] { return AllThreadsStopped(chanlog_.pid); }));
    }

    void Resume() const {
        ASSERT_EQ(kill(chanlog_.pid, SIGCONT), 0);
    }

    // Channel 2 has ended when chanlog no longer holds the log open and channel 1's connection is
    // its only socket.
    bool ChannelTwoEnded() const {
        const std::vector<std::string> open = OpenFiles(chanlog_.pid);
        return !HoldsTheLog() && std::count_if(open.begin(), open.end(), [](const auto &target) {
                                     return target.starts_with("socket:");
                                 }) == 1;
    }

    // Channel 2 ends (the feed was closed or reset) and channel 1 goes on holding; then chanlog
    // ends as it is meant to, having said `err` on standard error (a sanitizer report would be
    // there too).
    void ExpectOnlyChannelTwoEnds(const std::string &err) {
        EXPECT_TRUE(WaitFor([&] { return ChannelTwoEnded(); }))
            << "the log or the feed stayed open";
        ExpectHoldingUntilTerminated(err);
    }

    // Standard error says `err` while chanlog holds, and `atEnd` once it is terminated.
    void ExpectHoldingUntilTerminated(const std::string &err, const std::string &atEnd = {}) {
        // A notice may still wait for the console thread behind lines standard output has not
        // taken yet; ending chanlog first would cut it off.
        const std::string said = ReadUntil(chanlog_.err, err, kWaitMs);
        EXPECT_TRUE(Running(chanlog_));
        EXPECT_TRUE(HoldConnectionHeld());
        EXPECT_TRUE(Terminate());
        EXPECT_EQ(said + ReadAll(chanlog_.err, kWaitMs), err + atEnd);
    }
};

TEST_F(EndToEndFaults, AFeedResetInMidStreamIsSaidAfterEveryLineBeforeItAndChannelOneHolds) {
    ASSERT_NO_FATAL_FAILURE(StartConnected());
    Send("50;one\n");
    Send("40;not reported\n");
    Send("50;two\n");
    // Two more are still unread when the reset comes: they were received, so they are reported.
    ASSERT_NO_FATAL_FAILURE(Pause());
    const std::string third = "50;three\n";
    const std::string fourth = "50;four\n";
    ASSERT_TRUE(SendMessage(feed_, third));
    ASSERT_TRUE(SendMessage(feed_, fourth));
    const auto unread = static_cast<long>(third.size() + fourth.size());
    ASSERT_TRUE(WaitFor([&] { return ClientUnread(kFeedService) == unread; }));
    ResetConnection(feed_);
    feed_ = -1;
    Resume();

    const std::string expected = "50;one\n\n50;two\n\n50;three\n50;four\n\n";
    // The failure comes after the lines received before it, as it happened.
    EXPECT_EQ(Unstamped(Console("recv failed with error: 104\n")),
              expected + "recv failed with error: 104\n");
    ExpectOnlyChannelTwoEnds("");
    EXPECT_EQ(Unstamped(Log()), expected);
}

TEST_F(EndToEndFaults, LogOnAFullDiskIsReportedOnceAndTheConsoleGoesOn) {
    ASSERT_EQ(symlink("/dev/full", (dir_ + "/log.txt").c_str()), 0) << std::strerror(errno);
    // Standard error joins standard output, where a line's log failure comes before the line: the
    // log is written first.
    ASSERT_NO_FATAL_FAILURE(
        StartConnected({"/bin/sh", "-c", "exec \"$0\" 2>&1", ChanlogCommand().front()}));
    std::string expected = "Could not write log.txt: No space left on device\n";
    for (int i = 1; i <= 5; ++i) {
        const std::string message = "50;line " + std::to_string(i) + "\n";
        Send(message);
        expected += message + "\n";
    }
    EXPECT_EQ(Unstamped(Console("50;line 5\n")), expected);
    CloseFd(&feed_);
    EXPECT_EQ(Unstamped(Console(kFeedClosed)),
              expected + "log.txt is missing 5 lines that could not be written\n" + kFeedClosed);
    ExpectOnlyChannelTwoEnds("");
}

TEST_F(EndToEndFaults, AConsoleReaderThatGoesAwayIsSaidOnceAndLeavesTheLogGrowing) {
    ASSERT_NO_FATAL_FAILURE(StartConnected());
    Send("50;seen\n");
    Console("50;seen\n");
    CloseFd(&chanlog_.out);

    std::string expected = "50;seen\n\n";
    for (int i = 1; i <= 5; ++i) {
        const std::string message = "50;unseen " + std::to_string(i) + "\n";
        Send(message);
        expected += message + "\n";
        // Each line reaches the log before the next is sent: the log keeps growing.
        ASSERT_TRUE(WaitFor([&] { return Unstamped(Log()) == expected; })) << "log holds:\n"
                                                                           << Log();
    }
    // Not ended by SIGPIPE; standard error says once that nobody reads, and has the failure
    // messages that standard output can no longer take.
    ResetConnection(feed_);
    feed_ = -1;
    ExpectOnlyChannelTwoEnds(
        "Standard output was closed by its reader: the lines go on in log.txt only\n"
        "recv failed with error: 104\n");
}

// The texts of the reports in `text`, one after the other: the stream they were received from,
// where every receive was reported.
std::string Joined(const std::string &text) {
    std::string joined;
    for (const std::string &report : ReportTexts(text)) {
        joined += report;
    }
    return joined;
}

// A message of 512 bytes, numbered: two fill a receive exactly, so that messages that arrive
// together are still each reported whole.
std::string PacedMessage(int index) {
    std::string message = "50;#" + std::to_string(index) + " ";
    return message + std::string(511 - message.size(), static_cast<char>('a' + index % 26)) + "\n";
}

// The first line of each report: its stamp and the start of its text.
std::vector<std::string> StampedLines(const std::string &text) {
    std::vector<std::string> stamped = Lines(text);
    std::erase_if(stamped, [](const std::string &line) { return !IsStamped(line); });
    return stamped;
}

// How many lines the drop notices in `err` count.
long DroppedLines(const std::string &err) {
    long dropped = 0;
    for (const std::string &line : Lines(err)) {
        const std::size_t at = line.find(" lines were not shown: standard output was not read in "
                                         "time (log.txt has what was logged)");
        if (at != std::string::npos) {
            dropped += std::stol(line.substr(0, at));
        }
    }
    return dropped;
}

TEST_F(EndToEndFaults, AConsoleThatIsNotReadHoldsNothingUpAndWhatItMissedIsCounted) {
    ASSERT_NO_FATAL_FAILURE(StartConnected());
    // The smallest pipe there is, a page: a few lines fill it.
    ASSERT_GT(fcntl(chanlog_.out, F_SETPIPE_SZ, 4096), 0);
    // The service sends at its own pace, as a real one does, whether chanlog keeps up or not;
    // 1.3 MB in all, more than the console's backlog holds.
    constexpr int kMessages = 2600;
    std::string stream;
    for (int i = 0; i < kMessages; ++i) {
        stream += PacedMessage(i);
    }
    std::thread service([this] {
        for (int i = 0; i < kMessages && SendMessage(feed_, PacedMessage(i)); ++i) {
            usleep(1500);
        }
    });
    service.join();
    // Nobody has read the console all this while, yet the log holds every message, whole and in
    // order.
    EXPECT_TRUE(WaitFor([&] { return Joined(Log()) == stream; }))
        << Joined(Log()).size() << " of " << stream.size() << " bytes logged";
    CloseFd(&feed_);

    // Once the console is read again it gets the lines that waited, then a count of those that
    // did not fit, then the rest: every line the log has, or counted.
    std::string console;
    std::thread reader([&console, fd = chanlog_.out] { console = ReadAll(fd, 3 * kWaitMs); });
    const std::string err = ReadUntil(chanlog_.err, kFeedClosed, 3 * kWaitMs);
    // The close is said after everything before it was written: ending chanlog loses nothing.
    EXPECT_TRUE(Terminate());
    reader.join();
    EXPECT_TRUE(err.ends_with(kFeedClosed)) << err;
    const std::vector<std::string> logged = StampedLines(Log());
    const std::vector<std::string> shown = StampedLines(console);
    EXPECT_GT(DroppedLines(err), 0);
    EXPECT_EQ(static_cast<long>(shown.size()) + DroppedLines(err),
              static_cast<long>(logged.size()));
    // What waited was up to 1 MiB of lines, each with 8 bytes of its own beside its 512, all but
    // the last that would not fit; the pipe took most of a page more, and one line may have been
    // on its way.
    const std::size_t waited = 1024 * 1024 / 520 * 512;
    EXPECT_GT(console.size(), waited - 1024);
    EXPECT_LT(console.size(), waited + 2 * 4096);
    // The lines shown are the log's own, stamps and all, in the log's order.
    std::size_t next = 0;
    for (const std::string &line : shown) {
        while (next < logged.size() && logged[next] != line) {
            ++next;
        }
        ASSERT_LT(next, logged.size()) << "not a line of the log, in order: " << line;
        ++next;
    }
}

TEST_F(EndToEndFaults, WhatWaitsForTheConsoleIsWrittenBeforeChanlogEndsByItself) {
    ListenOn(false, true); // channel 1 fails, so chanlog ends once the feed closes
    StartChanlog();
    feed_ = AcceptWithin(feedListener_, kWaitMs);
    ASSERT_NE(feed_, -1);
    ASSERT_GT(fcntl(chanlog_.out, F_SETPIPE_SZ, 4096), 0);
    std::string stream;
    for (int i = 0; i < 200; ++i) {
        stream += PacedMessage(i);
        ASSERT_TRUE(SendMessage(feed_, PacedMessage(i)));
        usleep(1000);
    }
    ASSERT_TRUE(WaitFor([&] { return Joined(Log()) == stream; }));
    CloseFd(&feed_);
    // 100 kB wait for a console nobody has read yet; they all come before the end.
    const std::string console = ReadAll(chanlog_.out, kWaitMs);
    EXPECT_EQ(ExitCode(chanlog_), 2);
    // Channel 1 fails beside channel 2's first lines, so its line stands among them, whole.
    const std::string refused = "connect failed with error: 111\n";
    std::vector<std::string> lines = Lines(console);
    EXPECT_EQ(std::erase(lines, refused.substr(0, refused.size() - 1)), 1u) << console;
    std::string reports;
    for (const std::string &line : lines) {
        reports += line + "\n";
    }
    EXPECT_EQ(Joined(reports), stream);
}

TEST_F(EndToEndFaults, ADiskThatFillsForAMomentLosesWholeLinesOnlyAndSaysHowMany) {
    // A 64 KiB file system of this test's own, filled but for one page.
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", dir_.c_str(), "tmpfs", 0, "size=64k") != 0) {
        GTEST_SKIP() << "no mount namespace here: " << std::strerror(errno);
    }
    WriteWholeFile(dir_ + "/filler", std::string(std::size_t{15} * 4096, 'f'));
    ASSERT_NO_FATAL_FAILURE(StartConnected());
    std::vector<std::string> messages;
    std::string shown;
    for (int i = 0; i < 60; ++i) {
        messages.push_back("50;" + std::to_string(i) + ";" + std::string(90, 'p') + "\n");
        Send(messages.back());
        shown += messages.back() + "\n";
    }
    ASSERT_EQ(unlink((dir_ + "/filler").c_str()), 0);
    for (int i = 60; i < 65; ++i) {
        messages.push_back("50;" + std::to_string(i) + ";after\n");
        Send(messages.back());
        shown += messages.back() + "\n";
    }
    EXPECT_EQ(Unstamped(Console("50;64;after\n")), shown);

    // The page took the first lines whole; the one that did not fit was taken off again, and the
    // lines after the space came back follow them directly.
    const std::vector<std::string> logged = ReportTexts(Log());
    ASSERT_GT(logged.size(), 5u);
    ASSERT_LT(logged.size(), 60u);
    const auto kept = static_cast<std::ptrdiff_t>(logged.size()) - 5;
    std::vector<std::string> expected(messages.begin(), messages.begin() + kept);
    expected.insert(expected.end(), messages.begin() + 60, messages.end());
    EXPECT_EQ(logged, expected);
    EXPECT_EQ(ReadUntil(chanlog_.err, "written\n", kWaitMs),
              "Could not write log.txt: No space left on device\nlog.txt is missing " +
                  std::to_string(60 - kept) + " lines that could not be written\n");
    Stop(chanlog_, SIGKILL);
    umount2(dir_.c_str(), MNT_DETACH);
}

TEST_F(EndToEndFaults, AFileSizeLimitIsAWriteFailureAndTheConsoleGoesOn) {
    // 512 bytes: a few lines.
    ASSERT_NO_FATAL_FAILURE(
        StartConnected({"/bin/sh", "-c", "ulimit -f 1 && exec \"$0\"", ChanlogCommand().front()}));
    std::string shown;
    std::vector<std::string> messages;
    for (int i = 0; i < 20; ++i) {
        messages.push_back("50;" + std::to_string(i) + ";" + std::string(40, 'q') + "\n");
        Send(messages.back());
        shown += messages.back() + "\n";
    }
    EXPECT_EQ(Unstamped(Console("50;19;")), shown);
    // Whole lines up to the limit, and not one byte of the line that did not fit.
    const std::vector<std::string> logged = ReportTexts(Log());
    ASSERT_FALSE(logged.empty());
    EXPECT_EQ(logged,
              std::vector<std::string>(
                  messages.begin(), messages.begin() + static_cast<std::ptrdiff_t>(logged.size())));
    EXPECT_LE(Log().size(), 512u);
    EXPECT_GT(Log().size(), 512u - 60);
    // Ended by its signal, it first says how many lines the log is missing.
    ExpectHoldingUntilTerminated("Could not write log.txt: File too large\n",
                                 "log.txt is missing " +
                                     std::to_string(messages.size() - logged.size()) +
                                     " lines that could not be written\n");
}

TEST_F(EndToEndFaults, AFifoAsTheLogNeverHoldsStartUp) {
    const std::string path = dir_ + "/log.txt";
    ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    ListenOn(true, true);
    StartChanlog();
    EXPECT_EQ(ExitCode(chanlog_), 1);
    EXPECT_EQ(ReadAll(chanlog_.err, kWaitMs),
              "Could not open log.txt: No such device or address\n");
    EXPECT_TRUE(NoneConnected());

    // With a reader it is a log like any other.
    int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_NE(reader, -1) << std::strerror(errno);
    StartChanlog();
    hold_ = AcceptWithin(holdListener_, kWaitMs);
    feed_ = AcceptWithin(feedListener_, kWaitMs);
    Send("50;through the fifo\n");
    EXPECT_EQ(Unstamped(ReadUntil(reader, "fifo\n\n", kWaitMs)), "50;through the fifo\n\n");
    CloseFd(&reader);
}

// Messages whose prefix appears nowhere but at their start, of lengths from 11 to 33 bytes but for
// the first `alignedCount`, which are 32 bytes each so that full receives of them end on message
// ends.
std::string FloodMessage(int index, int alignedCount) {
    std::string number = std::to_string(index);
    number.insert(0, 5 - std::min<std::size_t>(number.size(), 5), '0');
    const int filler = index < alignedCount ? 32 - 11 : index % 23;
    return "50;#" + number + " " +
           std::string(static_cast<std::size_t>(filler), static_cast<char>('a' + index % 26)) +
           "\n";
}

TEST_F(EndToEndFaults, AFloodedFeedReportsEveryFullReceiveWholeAndNothingPastIt) {
    constexpr int kReceive = 1024; // the most one receive takes
    constexpr int kMessages = 10000;
    constexpr int kFullReceives = 4;
    constexpr int kAligned = kFullReceives * kReceive / 32;
    std::vector<std::string> messages;
    std::string stream;
    for (int i = 0; i < kMessages; ++i) {
        messages.push_back(FloodMessage(i, kAligned));
        stream += messages.back();
    }

    ASSERT_NO_FATAL_FAILURE(StartConnected());
    // A blocked send gives up, so that a chanlog that stops reading fails the test, not hangs it.
    const timeval sendTimeout{kWaitMs / 1000, 0};
    ASSERT_EQ(setsockopt(feed_, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout), 0);
    // Standard output is read all along: a full pipe would hold chanlog up.
    std::string console;
    std::thread reader([&console, fd = chanlog_.out] { console = ReadAll(fd, 5 * kWaitMs); });
    struct Joiner {
        std::thread &thread;
        Child &chanlog;
        ~Joiner() {
            if (thread.joinable()) {
                if (chanlog.pid > 0) {
                    kill(chanlog.pid, SIGKILL); // a test that failed early: end the reader's read
                }
                thread.join();
            }
        }
    } joinReader{reader, chanlog_};

    // While chanlog is stopped the messages pile up, so its first receives take full buffers.
    ASSERT_NO_FATAL_FAILURE(Pause());
    int sent = 0;
    std::thread sender([&] {
        while (sent < kMessages && SendMessage(feed_, messages[static_cast<std::size_t>(sent)])) {
            ++sent;
        }
    });
    const bool piledUp = WaitFor(
        [] { return ClientUnread(kFeedService) >= static_cast<long>(kFullReceives) * kReceive; });
    Resume();
    sender.join();
    ASSERT_TRUE(piledUp);
    ASSERT_EQ(sent, kMessages);
    CloseFd(&feed_); // orderly: channel 2 ends after the last receive
    ExpectOnlyChannelTwoEnds(kFeedClosed);

    const std::vector<std::string> logged = ReportTexts(Log());
    ASSERT_GE(logged.size(), static_cast<std::size_t>(kFullReceives));
    // The first receives took exactly a buffer each, and each began with a message.
    for (int i = 0; i < kFullReceives; ++i) {
        EXPECT_EQ(logged[static_cast<std::size_t>(i)],
                  stream.substr(static_cast<std::size_t>(i) * kReceive, kReceive))
            << "receive " << i;
    }
    // Every report is a receive: at most a buffer, beginning with a message of the stream and
    // holding exactly its bytes, after the one before it.
    std::size_t next = 0;
    for (const std::string &text : logged) {
        EXPECT_LE(text.size(), static_cast<std::size_t>(kReceive));
        ASSERT_TRUE(text.starts_with("50;")) << text;
        const std::size_t at = stream.find(text, next);
        ASSERT_NE(at, std::string::npos) << "not a piece of the stream in order:\n" << text;
        next = at + text.size();
    }
    reader.join();
    EXPECT_EQ(ReportTexts(console), logged);
}

} // namespace
