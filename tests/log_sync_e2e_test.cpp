// The real chanlog's log as it reaches the disk when the end comes at an awkward moment or the
// system refuses; strace holds system calls up or fails them where the test needs it.

#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/chanlog_fixture.h"

namespace {

class EndToEndLogSync : public ChanlogTest {
  protected:
    std::string Task() const {
        return "/proc/" + std::to_string(chanlog_.pid) + "/task/";
    }
    // chanlog's threads, by their ids.
    std::vector<std::string> Threads() const {
        std::vector<std::string> tids;
        for (const auto &entry : std::filesystem::directory_iterator(Task())) {
            tids.push_back(entry.path().filename().string());
        }
        return tids;
    }
    // The ids of the threads of chanlog that are in the system call `number` now (waiting in it, or
    // held at its entry or exit by a tracer).
    std::vector<std::string> ThreadsIn(long number) const {
        std::vector<std::string> threads = Threads();
        std::erase_if(threads, [&](const std::string &tid) {
            const std::string call = ReadWholeFile(Task() + tid + "/syscall");
            return call.empty() || std::strtol(call.c_str(), nullptr, 10) != number;
        });
        return threads;
    }
    // Every thread of chanlog in `tids` has a tracer.
    bool AllTraced(const std::vector<std::string> &tids) const {
        return std::all_of(tids.begin(), tids.end(), [this](const std::string &tid) {
            const std::string status = ReadWholeFile(Task() + tid + "/status");
            const std::size_t at = status.find("TracerPid:\t");
            return at != std::string::npos && status.compare(at + 11, 2, "0\n") != 0;
        });
    }
    // The limit `resource` of chanlog, made `soft` while the hard one stays; returns it as it was.
    rlimit Limit(__rlimit_resource resource, rlim_t soft) const {
        rlimit was{};
        EXPECT_EQ(prlimit(chanlog_.pid, resource, nullptr, &was), 0);
        const rlimit now{soft, was.rlim_max};
        EXPECT_EQ(prlimit(chanlog_.pid, resource, &now, nullptr), 0);
        return was;
    }
    // strace attached to chanlog's threads `tids` (all of them, and those it starts, where empty)
    // with `options`, writing to `output`.
    Child Trace(const std::vector<std::string> &options, const std::vector<std::string> &tids,
                const std::string &output) const {
        std::vector<std::string> command = {"strace", "-qq", "-o", output};
        command.insert(command.end(), options.begin(), options.end());
        if (tids.empty()) {
            command.insert(command.end(), {"-f", "-p", std::to_string(chanlog_.pid)});
        }
        for (const std::string &tid : tids) {
            command.insert(command.end(), {"-p", tid});
        }
        return Spawn(command);
    }
};

TEST_F(EndToEndLogSync, AnEndWhileASyncRunsPutsTheLinesWrittenMeanwhileOnTheDiskFirst) {
    ASSERT_NO_FATAL_FAILURE(StartConnected());
    const std::string trace = dir_ + ".trace";
    // The thread that syncs, as the first line shows.
    Child watch = Trace({"-e", "trace=fdatasync"}, {}, trace);
    ASSERT_TRUE(WaitFor([&] { return AllThreadsTraced(chanlog_.pid); }));
    Send("50;zero\n");
    ASSERT_TRUE(WaitFor([&] { return ReadWholeFile(trace).find(" = 0") != std::string::npos; }));
    const std::string syncer = ReadWholeFile(trace).substr(0, ReadWholeFile(trace).find(' '));
    Stop(watch, SIGTERM); // detaches
    // Its syncs come back 150 ms after the disk has done them: the sync after the end's request
    // ends 300 ms after the one that runs when it comes began, well within the end's 500, and the
    // end waits for it. Nothing else is held up.
    Child strace = Trace({"-e", "trace=fdatasync", "-e", "inject=fdatasync:delay_exit=150000"},
                         {syncer}, trace);
    ASSERT_TRUE(WaitFor([&] { return AllTraced({syncer}); }));
    // Two lines come while a sync runs, and the end after them: a sync after them has ended
    // before the process does.
    Send("50;one\n");
    ASSERT_TRUE(WaitFor([&] { return !ThreadsIn(SYS_fdatasync).empty(); }));
    Send("50;two\n");
    Send("50;three\n");
    kill(chanlog_.pid, SIGTERM);
    EXPECT_EQ(ExitCode(chanlog_), 128 + SIGTERM);
    ExitCode(strace); // it ends with its tracee, its record written
    const std::vector<std::string> calls = Lines(ReadWholeFile(trace));
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                            [](const std::string &call) {
                                return call.starts_with("fdatasync(") &&
                                       call.find(" = 0") != std::string::npos;
                            }),
              2)
        << ReadWholeFile(trace);
    unlink(trace.c_str());
}

TEST_F(EndToEndLogSync, ASyncForWhichNoDescriptorIsFreeIsSaidAsAFailedSync) {
    ASSERT_NO_FATAL_FAILURE(StartConnected());
    // Not one descriptor more, before the first line, while no sync holds one for a moment: the
    // sync thread cannot have one of its own on the log.
    const std::string fds = "/proc/" + std::to_string(chanlog_.pid) + "/fd/";
    const auto open = static_cast<rlim_t>(std::distance(std::filesystem::directory_iterator(fds),
                                                        std::filesystem::directory_iterator{}));
    ASSERT_TRUE(std::filesystem::exists(fds + std::to_string(open - 1))) << "a gap among them";
    const rlimit was = Limit(RLIMIT_NOFILE, open);
    Send("50;one\n");
    const std::string failed = "Could not put log.txt on the disk: Too many open files\n";
    EXPECT_EQ(ReadUntil(chanlog_.err, failed, kWaitMs), failed);
    // The lines go on, into the log and to the console; once descriptors are free again, so do
    // the syncs, and the failure is not said again.
    EXPECT_EQ(prlimit(chanlog_.pid, RLIMIT_NOFILE, &was, nullptr), 0);
    Send("50;two\n");
    EXPECT_EQ(Unstamped(Console("50;two\n")), "50;one\n\n50;two\n\n");
    EXPECT_EQ(Unstamped(Log()), "50;one\n\n50;two\n\n");
    CloseFd(&feed_);
    ExpectOnlyChannelTwoEnds(kFeedClosed);
}

TEST_F(EndToEndLogSync, AnEndJustAsTheLogTakesLinesAgainStillSaysTheCountAndShowsTheLine) {
    ASSERT_NO_FATAL_FAILURE(StartConnected());
    // A line longer than all that standard error will hold, a file too: a file-size limit at the
    // log's size lets standard error be written, and the log not.
    const std::string one = "50;" + std::string(996, '1') + "\n";
    Send(one);
    Console(one);
    const rlimit was = Limit(RLIMIT_FSIZE, Log().size());
    Send("50;two\n");
    Send("50;three\n");
    const std::string failed = "Could not write log.txt: File too large\n";
    const std::string said = ReadUntil(chanlog_.err, failed, kWaitMs);
    Console("50;three\n");
    EXPECT_EQ(prlimit(chanlog_.pid, RLIMIT_FSIZE, &was, nullptr), 0);
    // Channel 2's wakes of a waiting thread come back 100 ms late: of the sync thread (which then
    // waits for channel 2's lock), of standard error's writer for the count of lines missing, and
    // of the end, which waits for the line: 300 ms of its 500 go before it has the line.
    std::vector<std::string> receiver;
    ASSERT_TRUE(WaitFor([&] { return (receiver = ThreadsIn(SYS_recvfrom)).size() == 1; }));
    Child strace =
        Trace({"-e", "trace=futex", "-e", "inject=futex:delay_exit=100000"}, receiver, "/dev/null");
    ASSERT_TRUE(WaitFor([&] { return AllTraced(receiver); }));
    Send("50;four\n");
    ASSERT_TRUE(WaitFor([&] {
        const std::vector<std::string> waking = ThreadsIn(SYS_futex);
        return std::find(waking.begin(), waking.end(), receiver.front()) != waking.end();
    }));
    kill(chanlog_.pid, SIGTERM);
    EXPECT_EQ(ExitCode(chanlog_), 128 + SIGTERM);
    EXPECT_EQ(said + ReadAll(chanlog_.err, kWaitMs),
              failed + "log.txt is missing 2 lines that could not be written\n");
    // The line is in the log, and on the console too.
    EXPECT_EQ(Unstamped(Log()), one + "\n50;four\n\n");
    EXPECT_EQ(Unstamped(Console("50;four\n")), one + "\n50;two\n\n50;three\n\n50;four\n\n");
    Stop(strace, SIGKILL);
}

TEST_F(EndToEndLogSync, ASyncThatFailsAtTheCloseIsSaidAsAFailedSync) {
    ASSERT_NO_FATAL_FAILURE(StartConnected());
    const std::string trace = dir_ + ".trace";
    // Channel 2's syncs, at the close, fail; the sync thread's are watched.
    std::vector<std::string> receiver;
    ASSERT_TRUE(WaitFor([&] { return (receiver = ThreadsIn(SYS_recvfrom)).size() == 1; }));
    std::vector<std::string> others = Threads();
    std::erase(others, receiver.front());
    Child failing =
        Trace({"-e", "trace=fdatasync", "-e", "inject=fdatasync:error=EIO"}, receiver, "/dev/null");
    Child watching = Trace({"-e", "trace=fdatasync"}, others, trace);
    ASSERT_TRUE(WaitFor([&] { return AllThreadsTraced(chanlog_.pid); }));
    // The first line is synced at once by the sync thread; the second waits for the next sync, a
    // second later, and the feed closes well before that: the close puts it on the disk.
    Send("50;one\n");
    ASSERT_TRUE(WaitFor([&] { return ReadWholeFile(trace).find(" = 0") != std::string::npos; }));
    Send("50;two\n");
    CloseFd(&feed_);
    ExpectOnlyChannelTwoEnds(
        std::string("Could not put log.txt on the disk: Input/output error\n") + kFeedClosed);
    EXPECT_EQ(Unstamped(Log()), "50;one\n\n50;two\n\n");
    Stop(failing, SIGKILL);
    Stop(watching, SIGKILL);
    unlink(trace.c_str());
}

} // namespace
