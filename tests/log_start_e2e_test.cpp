// The real chanlog's start as it meets a log.txt that an earlier run left (moved aside whole under
// a name that says when, or left as it is), and the start's line of where the log is and stamp 0.

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "tests/chanlog_fixture.h"

namespace {

class EndToEndLogStart : public ChanlogTest {
  protected:
    std::string Path(const std::string &name) const {
        return dir_ + "/" + name;
    }
    // The test folder's files, its folders' too, by their names below it, with what each holds.
    std::map<std::string, std::string> Files() const {
        std::map<std::string, std::string> files;
        for (const auto &entry : std::filesystem::recursive_directory_iterator(dir_)) {
            if (entry.is_regular_file()) {
                files[entry.path().lexically_relative(dir_).string()] =
                    ReadWholeFile(entry.path().string());
            }
        }
        return files;
    }
    // The name below the test folder of the file that the log was moved to at the last start.
    std::string MovedName() const {
        std::string moved = MovedTo();
        if (!moved.starts_with(Folder())) {
            return "(not in the test's folder: " + moved + ")";
        }
        moved.erase(0, Folder().size());
        std::replace(moved.begin(), moved.end(), '\\', '/');
        return moved;
    }
    // The test folder's full path as the programs write it, with a separator after it.
    std::string Folder() const {
        char real[PATH_MAX];
        return ProgramsPath(realpath(dir_.c_str(), real) != nullptr ? real : dir_) +
               (WindowsPrograms() ? "\\" : "/");
    }
};

// What follows the name of a log moved aside at `seconds` since 1970.
std::string Suffix(std::time_t seconds) {
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "-%Y%m%d-%H%M%S", &utc);
    return text;
}

constexpr const char *kEarlier = "12: 50;from an earlier run\n\n";

TEST_F(EndToEndLogStart, TheLogOfAnEarlierRunIsMovedAsideWholeUnderItsTimeAndNeverOverAFile) {
    WriteWholeFile(Path("log.txt"), kEarlier);
    ASSERT_NO_FATAL_FAILURE(StartConnected());
    // Moved whole, and said where; the new log holds only this run's lines.
    const std::string first = MovedName();
    EXPECT_TRUE(first.starts_with("log.txt-")) << started_;
    EXPECT_EQ(ReadWholeFile(Path(first)), kEarlier);
    EXPECT_EQ(Log(), "");
    Send("50;second run\n");
    Console("50;second run\n");
    EXPECT_EQ(Unstamped(Log()), "50;second run\n\n");
    const std::string second = ReadWholeFile(Path("log.txt"));
    EndChanlogAndServices();

    // Every name the next move could take, for each second it may come in, is there already, and
    // with ".1" too: the move takes ".2" and replaces none of them.
    std::map<std::string, std::string> before = Files();
    const std::time_t now = std::time(nullptr);
    for (std::time_t at = now - 1; at <= now + 30; ++at) {
        for (const char *number : {"", ".1"}) {
            const std::string name = "log.txt" + Suffix(at) + number;
            WriteWholeFile(Path(name), "another file: " + name + "\n");
            before[name] = "another file: " + name + "\n";
        }
    }
    before.erase("log.txt");
    ASSERT_NO_FATAL_FAILURE(StartConnected());
    const std::string third = MovedName();
    EXPECT_TRUE(third.starts_with("log.txt-") && third.ends_with(".2")) << started_;
    std::map<std::string, std::string> after = Files();
    EXPECT_EQ(after["log.txt"], "");
    EXPECT_EQ(after[third], second);
    after.erase("log.txt");
    after.erase(third);
    EXPECT_EQ(after, before);
    EndChanlogAndServices();

    // An empty log is not kept: it is simply used.
    ASSERT_NO_FATAL_FAILURE(StartConnected());
    EXPECT_EQ(MovedTo(), "");
    EXPECT_EQ(Files().size(), before.size() + 2);
}

TEST_F(EndToEndLogStart, ALogThatIsALinkHasItsFileMovedInItsOwnFolderAndTheLinkKeptLive) {
    if (WindowsPrograms()) {
        GTEST_SKIP() << "a link's file, on Linux";
    }
    ASSERT_EQ(mkdir(Path("logs").c_str(), 0755), 0);
    WriteWholeFile(Path("logs/a.log"), kEarlier);
    ASSERT_EQ(symlink("logs/a.log", Path("log.txt").c_str()), 0);
    ASSERT_NO_FATAL_FAILURE(StartConnected());
    const std::string moved = MovedName();
    EXPECT_TRUE(moved.starts_with("logs/a.log-")) << started_;
    EXPECT_EQ(ReadWholeFile(Path(moved)), kEarlier);
    // The link still points where it did, at the live log.
    Send("50;through the link\n");
    Console("link\n");
    char target[PATH_MAX] = {};
    EXPECT_GT(readlink(Path("log.txt").c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "logs/a.log");
    EXPECT_EQ(Unstamped(ReadWholeFile(Path("logs/a.log"))), "50;through the link\n\n");
}

TEST_F(EndToEndLogStart, AStartThatConnectsNowhereTouchesNothingAndOneThatFailsLaterLosesNothing) {
    WriteWholeFile(Path("log.txt"), kEarlier);
    ListenOn(true, true);
    if (!WindowsPrograms()) { // which Wine does not start without standard output
        StartChanlog(Output::kClosed);
        EXPECT_EQ(ExitCode(chanlog_), 0);
        EXPECT_EQ(ReadAll(chanlog_.err, kWaitMs),
                  "Standard output is closed: chanlog connects nowhere\n");
        EXPECT_EQ(Files(), (std::map<std::string, std::string>{{"log.txt", kEarlier}}));
    }
    // No service: the log was moved aside before that failed, and is kept.
    EndChanlogAndServices();
    StartChanlog();
    EXPECT_EQ(ExitCode(chanlog_), 2);
    const std::string moved = MovedName();
    EXPECT_EQ(Files(), (std::map<std::string, std::string>{{"log.txt", ""}, {moved, kEarlier}}));
}

TEST_F(EndToEndLogStart, ALogThatCannotBeMovedAsideEndsStartUpAndIsLeftAsItWas) {
    // A file mounted over log.txt, in a mount namespace of the test's own: it cannot be renamed.
    WriteWholeFile(Path("log.txt"), kEarlier);
    WriteWholeFile(dir_ + ".over", kEarlier);
    if (WindowsPrograms() || unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount((dir_ + ".over").c_str(), Path("log.txt").c_str(), nullptr, MS_BIND, nullptr) != 0) {
        unlink((dir_ + ".over").c_str());
        GTEST_SKIP() << "no mount namespace here: " << std::strerror(errno);
    }
    ListenOn(true, true);
    StartChanlog();
    EXPECT_EQ(ExitCode(chanlog_), 1);
    EXPECT_EQ(ReadAll(chanlog_.err, kWaitMs),
              "Could not move log.txt from an earlier run aside: Device or resource busy\n");
    EXPECT_TRUE(NoneConnected());
    EXPECT_EQ(Files(), (std::map<std::string, std::string>{{"log.txt", kEarlier}}));
    umount2(Path("log.txt").c_str(), MNT_DETACH);
    unlink((dir_ + ".over").c_str());
}

TEST_F(EndToEndLogStart, TheStartSaysWhereTheLogIsAndWhenStampZeroWasSoThatStampsArePlacedInTime) {
    ASSERT_NO_FATAL_FAILURE(StartConnected());
    const std::string head = "Logging to " + Folder() + "log.txt; stamp 0 is ";
    ASSERT_TRUE(started_.starts_with(head) && started_.ends_with("\n")) << started_;
    EXPECT_EQ(Lines(started_).size(), 1u);
    const std::int64_t stampZero =
        IsoUtcMs(started_.substr(head.size(), started_.size() - head.size() - 1));
    ASSERT_NE(stampZero, -1) << started_;
    // A line's stamp after stamp 0 is the wall-clock time it was received, within the steps of
    // Windows' clocks (16 ms each).
    const std::int64_t before = WallClockMs();
    Send("50;placed in time\n");
    const std::int64_t stamp = stampZero + std::stoll(Console("50;placed in time\n"));
    EXPECT_GE(stamp, before - 40);
    EXPECT_LE(stamp, WallClockMs() + 40);
    // Said once: nothing more on standard error while it runs.
    EXPECT_EQ(ReadAll(chanlog_.err, 0), "");
}

} // namespace
