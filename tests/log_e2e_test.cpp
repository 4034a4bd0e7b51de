// The real chanlog binary and its log as the world outside treats it: a full disk, a file-size
// limit, a FIFO, a log emptied, added to, moved or removed while chanlog writes it, its folder
// removed and made again, an end by signal while the log fails.

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/chanlog_fixture.h"

namespace {

class EndToEndLog : public ChanlogTest {
  protected:
    std::string LogPath() const {
        return dir_ + "/log.txt";
    }
    // Sends each of `messages` and returns what they make on the console, stamps taken off.
    std::string SendEach(const std::vector<std::string> &messages) const {
        std::string shown;
        for (const std::string &message : messages) {
            Send(message);
            shown += message + "\n";
        }
        return shown;
    }
};

// `count` messages from `first` on, each "50;<its number>;" and `text`.
std::vector<std::string> Numbered(int first, int count, const std::string &text) {
    std::vector<std::string> messages;
    for (int i = first; i < first + count; ++i) {
        messages.push_back("50;" + std::to_string(i) + ";" + text + "\n");
    }
    return messages;
}

// Opens `path` as another program would and closes it again: `flags` says how.
void Touch(const std::string &path, int flags, const std::string &text = {}) {
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | flags, 0644);
    EXPECT_NE(fd, -1) << std::strerror(errno);
    EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
}

// The first line at or after `from` of an strace output that holds `what`; the lines' count if
// none does.
std::size_t Find(const std::vector<std::string> &calls, const std::string &what,
                 std::size_t from = 0) {
    while (from < calls.size() && calls[from].find(what) == std::string::npos) {
        ++from;
    }
    return from;
}

TEST_F(EndToEndLog, EmptiedOrAddedToFromOutsideItGetsWholeLinesAndNoZeros) {
    ASSERT_NO_FATAL_FAILURE(StartConnected());
    Send("50;one\n");
    Send("50;two\n");
    Console("50;two\n");
    Touch(LogPath(), O_TRUNC); // as `: > log.txt` and a rotator's copytruncate empty it
    Send("50;three\n");
    Console("50;three\n");
    // As `echo ... >> log.txt` adds a note, in the programs' own line ends.
    Touch(LogPath(), O_APPEND, WindowsPrograms() ? "pump 2 serviced\r\n" : "pump 2 serviced\n");
    Send("50;four\n");
    Console("50;four\n");
    // Each line went to the end of the file as it was then: no hole of zeros where the emptied
    // lines stood, the note whole between the lines around it.
    EXPECT_EQ(Unstamped(Log()), "50;three\n\npump 2 serviced\n50;four\n\n");
    EXPECT_EQ(Log().find('\0'), std::string::npos);
    EXPECT_TRUE(Running(chanlog_));
}

TEST_F(EndToEndLog, AMovedRemovedOrReplacedLogIsFollowedSaidAndStillLockedAndItsFolderMadeAgain) {
    char real[PATH_MAX];
    ASSERT_NE(realpath(dir_.c_str(), real), nullptr);
    auto path = [this](const std::string &name) { return dir_ + "/" + name; };
    auto renameOver = [&](const std::string &content) {
        WriteWholeFile(path("new"), content);
        ASSERT_EQ(rename(path("new").c_str(), LogPath().c_str()), 0);
    };
    auto link = [&](const char *target) {
        ASSERT_EQ(symlink(target, path("new").c_str()), 0);
        ASSERT_EQ(rename(path("new").c_str(), LogPath().c_str()), 0);
    };
    // What is done to the log from outside; the file the lines after it go to, and what was there.
    struct Step {
        std::function<void()> act;
        std::string where;
        std::string before;
    };
    const Step steps[] = {
        {[&] { // a rotator's create: the log moved aside and a fresh one made, kept as it is
             ASSERT_EQ(rename(LogPath().c_str(), path("log.txt.1").c_str()), 0);
             Touch(LogPath(), O_CREAT, "fresh\n");
         },
         "log.txt", "fresh\n"},
        {[&] { ASSERT_EQ(rename(LogPath().c_str(), path("away").c_str()), 0); }, "log.txt", ""},
        {[&] { // and back, within the second: it is no longer locked as the log it was
             ASSERT_EQ(rename(path("away").c_str(), LogPath().c_str()), 0);
         },
         "log.txt", "fresh\n50;after 0\n\n50;still 0\n\n"},
        {[&] { ASSERT_EQ(unlink(LogPath().c_str()), 0); }, "log.txt", ""},
        {[&] { renameOver("renamed over it\n"); }, "log.txt", "renamed over it\n"},
        {[&] { // its other name kept, this one removed
             ASSERT_EQ(::link(LogPath().c_str(), path("kept").c_str()), 0);
             ASSERT_EQ(unlink(LogPath().c_str()), 0);
         },
         "log.txt", ""},
        {[&] { link("a.log"); }, "a.log", ""},
        {[&] { // the link's file moved away: the name now points nowhere, and is made anew
             ASSERT_EQ(rename(path("a.log").c_str(), path("a.old").c_str()), 0);
         },
         "a.log", ""},
        {[&] { ASSERT_EQ(unlink(path("a.log").c_str()), 0); }, "a.log", ""}, // the link's file
        {[&] { link("b.log"); }, "b.log", ""}, // the link pointed elsewhere
    };
    ASSERT_NO_FATAL_FAILURE(StartConnected());
    Send("50;first\n");
    const std::string moved =
        std::string("log.txt was moved or removed: logging goes on in ") + real;
    std::string said;
    std::string expected;
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        ASSERT_NO_FATAL_FAILURE(steps[i].act());
        // Two lines: the second finds the name as the first left it, so that the next change is
        // noticed by itself.
        const std::string n = std::to_string(i);
        const std::string lines = SendEach({"50;after " + n + "\n", "50;still " + n + "\n"});
        EXPECT_EQ(Unstamped(ReadFile(path(steps[i].where))), steps[i].before + lines) << i;
        expected += moved + "/" + steps[i].where + "\n";
        said = ReadUntil(chanlog_.err, expected, kWaitMs, said);
    }
    EXPECT_EQ(said, expected);
    EXPECT_EQ(Unstamped(ReadFile(path("log.txt.1"))), "50;first\n\n");

    // It is locked as the first was: a second chanlog in the folder is refused and leaves it be.
    Child second = Spawn(ChanlogCommand(), {.workDir = dir_});
    EXPECT_EQ(ExitCode(second), 1);
    EXPECT_EQ(ReadAll(second.err, kWaitMs), "Could not open log.txt: in use by another process\n");
    Stop(second, SIGKILL);

    // Its folder gone: nowhere to log, which is a write failure like a full disk; each line looks
    // for one again, long after the removal was raised.
    RemoveDir(dir_);
    const std::string shown = SendEach({"50;four\n", "50;five\n", "50;six\n"});
    EXPECT_NE(Unstamped(Console("50;six\n\n")).find(shown), std::string::npos);
    // The folder made again at its path: the log is made there again, found by its full path.
    ASSERT_EQ(mkdir(dir_.c_str(), 0700), 0);
    Send("50;seven\n");
    Console("50;seven\n");
    EXPECT_EQ(Unstamped(Log()), "50;seven\n\n");
    CloseFd(&feed_);
    ExpectOnlyChannelTwoEnds("Could not write log.txt: No such file or directory\n" + moved +
                             "/log.txt\nlog.txt is missing 3 lines that could not be written\n" +
                             kFeedClosed);
}

TEST_F(EndToEndLog, ALineBetweenARotatorsMoveAndItsCreateWaitsForTheRotatorsLog) {
    ASSERT_NO_FATAL_FAILURE(StartConnected());
    Send("50;before\n");
    Console("50;before\n"); // and so logged: each line is in the log before it is shown
    ASSERT_EQ(rename(LogPath().c_str(), (LogPath() + ".1").c_str()), 0);
    // A line comes between the rotator's move and its create, which a log made by chanlog would
    // stand in the way of: logrotate's create is an exclusive one.
    Send("50;between\n");
    const int made = open(LogPath().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
    EXPECT_NE(made, -1) << "chanlog made log.txt first: " << std::strerror(errno);
    close(made);
    Send("50;after\n");
    EXPECT_EQ(Unstamped(Console("50;after\n")), "50;before\n\n50;between\n\n50;after\n\n");
    EXPECT_EQ(Unstamped(Log()), "50;between\n\n50;after\n\n");
    EXPECT_EQ(Unstamped(ReadFile(LogPath() + ".1")), "50;before\n\n");
}

TEST_F(EndToEndLog, ALogThatAnotherProcessMadeAndLocksIsNotTakenAndWhyIsSaid) {
    ASSERT_NO_FATAL_FAILURE(StartConnected());
    Send("50;before\n");
    Console("50;before\n"); // and so logged: each line is in the log before it is shown
    ASSERT_EQ(rename(LogPath().c_str(), (LogPath() + ".1").c_str()), 0);
    const int held = open(LogPath().c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    EXPECT_EQ(flock(held, LOCK_EX), 0) << std::strerror(errno);
    Send("50;refused\n");
    EXPECT_EQ(ReadUntil(chanlog_.err, "\n", kWaitMs),
              "Could not write log.txt: in use by another process\n");
    EXPECT_EQ(Unstamped(Console("50;refused\n")), "50;before\n\n50;refused\n\n");
    EXPECT_EQ(Log(), "");
    EXPECT_EQ(Unstamped(ReadFile(LogPath() + ".1")), "50;before\n\n");
    close(held);
}

TEST_F(EndToEndLog, LinesReachTheDiskWithinASecondFromAThreadOfTheirOwnAndIdleNothingSyncs) {
    ASSERT_NO_FATAL_FAILURE(StartConnected());
    const std::string trace = dir_ + ".trace";
    // Every thread's receives, writes, syncs and closes, in the order they happened.
    Child strace = Spawn({"strace", "-f", "-qq", "-e", "trace=recvfrom,write,fdatasync,close", "-o",
                          trace, "-p", std::to_string(chanlog_.pid)});
    ASSERT_TRUE(WaitFor([&] { return AllThreadsTraced(chanlog_.pid); }));
    std::vector<std::string> calls;
    auto syncs = [&calls] {
        return std::count_if(calls.begin(), calls.end(), [](const std::string &call) {
            return call.find(" fdatasync(") != std::string::npos;
        });
    };
    // The log's write of a line (the first that has it) was followed by a sync.
    auto syncedAfter = [&](const std::string &text) {
        calls = Lines(ReadWholeFile(trace));
        return Find(calls, " fdatasync(", Find(calls, text)) < calls.size();
    };

    const std::int64_t start = NowNs();
    for (int i = 1; i <= 5; ++i) {
        Send("50;line " + std::to_string(i) + "\n");
        usleep(100 * 1000);
    }
    // The last line is put on the disk after it was written, at most once a second however many
    // lines come, and never by the thread that receives.
    EXPECT_TRUE(WaitFor([&] { return syncedAfter("50;line 5"); })) << ReadWholeFile(trace);
    const double seconds = static_cast<double>(NowNs() - start) / 1e9;
    EXPECT_LE(syncs(), static_cast<long>(seconds) + 2) << seconds << " s";
    const std::string received = calls[Find(calls, " recvfrom(")];
    const std::string receiver = received.substr(0, received.find(' '));
    for (std::size_t at = Find(calls, " fdatasync("); at < calls.size();
         at = Find(calls, " fdatasync(", at + 1)) {
        EXPECT_FALSE(calls[at].starts_with(receiver + " ")) << calls[at];
    }

    // Moved away, the log's last lines (whose write is the first after their receive) reach the
    // disk before it is let go of.
    const std::string wrote = calls[Find(calls, " write(", Find(calls, "50;line 5"))];
    const std::string fd =
        wrote.substr(wrote.find("write(") + 6, wrote.find(',') - wrote.find('(') - 1);
    ASSERT_EQ(rename(LogPath().c_str(), (LogPath() + ".1").c_str()), 0);
    Send("50;moved\n");
    EXPECT_TRUE(WaitFor([&] {
        calls = Lines(ReadWholeFile(trace));
        const std::size_t moved = Find(calls, "50;moved");
        return Find(calls, " fdatasync(" + fd + ")", moved) <
               Find(calls, " close(" + fd + ")", moved);
    })) << ReadWholeFile(trace);

    // Idle, nothing syncs and no thread wakes.
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    calls = Lines(ReadWholeFile(trace));
    const auto before = syncs();
    const long long switches = VoluntarySwitches(chanlog_.pid);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    calls = Lines(ReadWholeFile(trace));
    EXPECT_EQ(syncs(), before);
#ifndef __SANITIZE_THREAD__ // whose own thread wakes ten times a second
    EXPECT_EQ(VoluntarySwitches(chanlog_.pid), switches);
#else
    (void)switches;
#endif

    // A line within a second of a sync waits for the next one; when the feed closes meanwhile, it
    // is put on the disk as the log is closed.
    Send("50;line 6\n");
    ASSERT_TRUE(WaitFor([&] { return syncedAfter("50;line 6"); })) << ReadWholeFile(trace);
    Send("50;line 7\n");
    CloseFd(&feed_);
    EXPECT_TRUE(WaitFor([&] { return syncedAfter("50;line 7"); })) << ReadWholeFile(trace);
    Stop(strace, SIGTERM);
    unlink(trace.c_str());
}

TEST_F(EndToEndLog, AnEndByItsSignalsSaysWhatTheLogMissedAndEndsWithTheSignal) {
    ASSERT_EQ(symlink("/dev/full", LogPath().c_str()), 0) << std::strerror(errno);
    const std::string failed = "Could not write log.txt: No space left on device\n";
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        // One line missed at the first end, two at the others.
        ASSERT_NO_FATAL_FAILURE(StartConnected());
        const bool one = signal == SIGTERM;
        SendEach(one ? std::vector<std::string>{"50;one\n"}
                     : std::vector<std::string>{"50;one\n", "50;two\n"});
        Console(one ? "50;one\n" : "50;two\n");
        const std::string said = ReadUntil(chanlog_.err, failed, kWaitMs);
        kill(chanlog_.pid, signal);
        // Ended by the signal itself, as a shell or a service manager expects.
        siginfo_t ended{};
        EXPECT_TRUE(WaitFor([&] {
            return waitid(P_PID, static_cast<id_t>(chanlog_.pid), &ended,
                          WEXITED | WNOHANG | WNOWAIT) == 0 &&
                   ended.si_pid == chanlog_.pid;
        }));
        EXPECT_EQ(ended.si_code, CLD_KILLED) << signal;
        EXPECT_EQ(ExitCode(chanlog_), 128 + signal) << signal;
        EXPECT_EQ(said + ReadAll(chanlog_.err, kWaitMs), failed + "log.txt is missing " +
                                                             (one ? "1 line" : "2 lines") +
                                                             " that could not be written\n")
            << signal;
        EndChanlogAndServices();
    }
    // A signal that was ignored when it started (nohup ignores SIGHUP) stays ignored.
    ASSERT_NO_FATAL_FAILURE(
        StartConnected({"/bin/sh", "-c", "trap '' HUP && exec \"$0\"", ChanlogCommand().front()}));
    kill(chanlog_.pid, SIGHUP);
    Send("50;after the hangup\n");
    EXPECT_EQ(Unstamped(Console("hangup\n\n")), "50;after the hangup\n\n");
    EXPECT_TRUE(Terminate());
}

TEST_F(EndToEndLog, AnEndBySignalWaitsForItsSyncAndLogsNoLineAfterTheCountItSays) {
    const std::string trace = dir_ + ".trace";
    for (const bool failing : {false, true}) {
        if (failing) {
            unlink(LogPath().c_str());
            ASSERT_EQ(symlink("/dev/full", LogPath().c_str()), 0) << std::strerror(errno);
        }
        ASSERT_NO_FATAL_FAILURE(StartConnected());
        // Each sync held up for 150 ms: time for an end that did not wait for it to end first,
        // and for lines logged meanwhile by a channel that the end did not hold.
        Child strace = Spawn({"strace", "-f", "-qq", "-e", "trace=write,fdatasync", "-e",
                              "inject=fdatasync:delay_enter=150000", "-o", trace, "-p",
                              std::to_string(chanlog_.pid)});
        ASSERT_TRUE(WaitFor([&] { return AllThreadsTraced(chanlog_.pid); }));
        Send("50;first\n");
        std::vector<std::string> calls;
        // A sync that begins at or after `from` has ended well.
        auto synced = [&](std::size_t from) {
            for (std::size_t at = Find(calls, " fdatasync(", from); at < calls.size();
                 at = Find(calls, "fdatasync", at + 1)) {
                if (calls[at].find(" = 0") != std::string::npos) {
                    return true;
                }
            }
            return false;
        };
        // The first line's sync has ended, so that the end asks for one while none runs, within
        // the second before the next would begin.
        ASSERT_TRUE(failing || WaitFor([&] {
                        calls = Lines(ReadWholeFile(trace));
                        return synced(Find(calls, "50;first"));
                    }))
            << ReadWholeFile(trace);
        std::atomic<bool> ended = false; // lines flow until and past the end
        std::thread service([&] {
            for (int i = 0; !ended && SendMessage(feed_, "50;" + std::to_string(i) + "\n"); ++i) {
                usleep(1000);
            }
        });
        usleep(50 * 1000);
        EXPECT_TRUE(Terminate());
        ended = true;
        service.join();
        ExitCode(strace); // which ends with chanlog, its trace written
        const std::string console = ReadAll(chanlog_.out, kWaitMs);
        const std::string err = ReadAll(chanlog_.err, kWaitMs);
        calls = Lines(ReadWholeFile(trace));
        if (failing) {
            // Every line shown was counted: none was logged after the count.
            const std::size_t count = err.find("log.txt is missing ");
            ASSERT_NE(count, std::string::npos) << err;
            EXPECT_LE(StampedLines(console).size(), std::stoul(err.substr(count + 19))) << err;
            EXPECT_EQ(err.substr(0, count), "Could not write log.txt: No space left on device\n");
        } else {
            // The log's last line was put on the disk before the end.
            ASSERT_LT(Find(calls, "50;first"), calls.size());
            const std::string first = calls[Find(calls, "50;first")];
            const std::size_t call = first.find(" write(");
            const std::string log = first.substr(call, first.find(',', call) + 1 - call);
            std::size_t last = Find(calls, log);
            for (std::size_t at = last; at < calls.size(); at = Find(calls, log, at + 1)) {
                last = at;
            }
            EXPECT_TRUE(synced(last)) << ReadWholeFile(trace);
            EXPECT_EQ(err, "");
        }
        EndChanlogAndServices();
    }
    unlink(trace.c_str());
}

TEST_F(EndToEndLog, LogOnAFullDiskIsReportedOnceAndTheConsoleGoesOn) {
    ASSERT_EQ(symlink("/dev/full", LogPath().c_str()), 0) << std::strerror(errno);
    // Standard error joins standard output, where a line's log failure comes before the line: the
    // log is written first.
    ASSERT_NO_FATAL_FAILURE(
        StartConnected({"/bin/sh", "-c", "exec \"$0\" 2>&1", ChanlogCommand().front()}));
    const std::string expected =
        "Could not write log.txt: No space left on device\n" + SendEach(Numbered(1, 5, "line"));
    EXPECT_EQ(Unstamped(Console("50;5;line\n")), expected);
    // A device is nobody's to lock: a chanlog in another folder opens /dev/full as its log too.
    const std::string other = MakeTempDir();
    ASSERT_EQ(symlink("/dev/full", (other + "/log.txt").c_str()), 0);
    Child second = Spawn(ChanlogCommand(), {.workDir = other});
    std::string out;
    EXPECT_TRUE(TakeChanlogStartLines(second, other, &out, {holdListener_, feedListener_})
                    .starts_with("Logging to "))
        << ReadAll(second.err, 0);
    EXPECT_TRUE(Running(second));
    Stop(second, SIGKILL);
    RemoveDir(other);
    CloseFd(&feed_);
    EXPECT_EQ(Unstamped(Console(kFeedClosed)),
              expected + "log.txt is missing 5 lines that could not be written\n" + kFeedClosed);
    ExpectOnlyChannelTwoEnds("");
}

TEST_F(EndToEndLog, ADiskThatFillsForAMomentLosesWholeLinesOnlyAndSaysHowMany) {
    // A 64 KiB file system of this test's own, filled but for one page.
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", dir_.c_str(), "tmpfs", 0, "size=64k") != 0) {
        GTEST_SKIP() << "no mount namespace here: " << std::strerror(errno);
    }
    WriteWholeFile(dir_ + "/filler", std::string(std::size_t{15} * 4096, 'f'));
    ASSERT_NO_FATAL_FAILURE(StartConnected());
    std::vector<std::string> messages = Numbered(0, 60, std::string(90, 'p'));
    std::string shown = SendEach(messages);
    ASSERT_EQ(unlink((dir_ + "/filler").c_str()), 0);
    const std::vector<std::string> after = Numbered(60, 5, "after");
    shown += SendEach(after);
    EXPECT_EQ(Unstamped(Console("50;64;after\n")), shown);
    // The page took the first lines whole; the one that did not fit was taken off again, and the
    // lines after the space came back follow them directly.
    std::vector<std::string> logged = ReportTexts(Log());
    ASSERT_GT(logged.size(), 5u);
    ASSERT_LT(logged.size(), 60u);
    const std::size_t kept = logged.size() - 5;
    messages.resize(kept);
    messages.insert(messages.end(), after.begin(), after.end());
    EXPECT_EQ(logged, messages);
    EXPECT_EQ(ReadUntil(chanlog_.err, "written\n", kWaitMs),
              "Could not write log.txt: No space left on device\nlog.txt is missing " +
                  std::to_string(60 - kept) + " lines that could not be written\n");
    // Said once: closing the log has nothing more to say of them.
    CloseFd(&feed_);
    EXPECT_EQ(ReadUntil(chanlog_.err, kFeedClosed, kWaitMs), kFeedClosed);
    Stop(chanlog_, SIGKILL);
    umount2(dir_.c_str(), MNT_DETACH);
}

TEST_F(EndToEndLog, AFileSizeLimitIsAWriteFailureAndTheConsoleGoesOn) {
    // 512 bytes: a few lines.
    ASSERT_NO_FATAL_FAILURE(
        StartConnected({"/bin/sh", "-c", "ulimit -f 1 && exec \"$0\"", ChanlogCommand().front()}));
    std::vector<std::string> messages = Numbered(0, 20, std::string(40, 'q'));
    const std::string shown = SendEach(messages);
    EXPECT_EQ(Unstamped(Console("50;19;")), shown);
    // Whole lines up to the limit, and not one byte of the line that did not fit.
    const std::vector<std::string> logged = ReportTexts(Log());
    ASSERT_FALSE(logged.empty());
    const std::size_t missing = messages.size() - logged.size();
    messages.resize(logged.size());
    EXPECT_EQ(logged, messages);
    EXPECT_LE(Log().size(), 512u);
    EXPECT_GT(Log().size(), 512u - 60);
    // Ended by its signal, it first says how many lines the log is missing.
    ExpectHoldingUntilTerminated("Could not write log.txt: File too large\n",
                                 "log.txt is missing " + std::to_string(missing) +
                                     " lines that could not be written\n");
}

TEST_F(EndToEndLog, AFifoAsTheLogNeverHoldsStartUp) {
    ASSERT_EQ(mkfifo(LogPath().c_str(), 0644), 0);
    ListenOn(true, true);
    StartChanlog();
    EXPECT_EQ(ExitCode(chanlog_), 1);
    EXPECT_EQ(ReadAll(chanlog_.err, kWaitMs),
              "Could not open log.txt: No such device or address\n");
    EXPECT_TRUE(NoneConnected());
    // With a reader it is a log like any other; a FIFO keeps nothing to put on a disk, which is
    // no failure.
    int reader = open(LogPath().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_NE(reader, -1) << std::strerror(errno);
    StartChanlog();
    hold_ = AcceptWithin(holdListener_, kWaitMs);
    feed_ = AcceptWithin(feedListener_, kWaitMs);
    Send("50;through the fifo\n");
    EXPECT_EQ(Unstamped(ReadUntil(reader, "fifo\n\n", kWaitMs)), "50;through the fifo\n\n");
    CloseFd(&feed_);
    ExpectOnlyChannelTwoEnds(kFeedClosed);
    CloseFd(&reader);
}

} // namespace
