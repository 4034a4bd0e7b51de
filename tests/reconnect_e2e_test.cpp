// The real chanlog binary with --reconnect while its services stop, restart, reset or are not
// there yet: it connects again, logs on in the same log, says each loss and return once, and
// waits without spinning.

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/chanlog_fixture.h"

namespace {

using EndToEndReconnect = ChanlogTest;

// A sleep of a second or more: usleep takes less than one.
void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The seconds that "The <name> service at 127.0.0.1:<port> is back after <s.t> s" says; -1 for
// any other line.
double BackAfter(const std::string &line, const std::string &name, std::uint16_t port) {
    const std::string head =
        "The " + name + " service at 127.0.0.1:" + std::to_string(port) + " is back after ";
    if (!line.starts_with(head) || !line.ends_with(" s")) {
        return -1;
    }
    const std::string seconds = line.substr(head.size(), line.size() - head.size() - 2);
    const std::size_t dot = seconds.size() - 2; // digits, a point, one digit
    const bool form = seconds.size() >= 3 && seconds.find_first_not_of("0123456789") == dot &&
                      seconds[dot] == '.' && seconds.back() >= '0' && seconds.back() <= '9';
    return form ? std::stod(seconds) : -1;
}

TEST_F(EndToEndReconnect, AFeedRestartedResetOrNotThereAtStartIsConnectedAgainInTheSameLog) {
    ListenOn(true, false);
    StartChanlog(Output::kPipe, ReconnectCommand());
    hold_ = AcceptWithin(holdListener_, kWaitMs);
    ASSERT_NE(hold_, -1);
    Said("Could not connect to 127.0.0.1:31286\n");
    ASSERT_NO_FATAL_FAILURE(RestartService(kFeedService));
    Send("50;before\n");
    Console("50;before\n");
    SleepMs(2000); // so that the time since start-up is not the time the service was gone
    const std::int64_t stopped = NowNs();
    StopService(kFeedService);
    ASSERT_EQ(SaidLines(4).size(), 4u) << said_; // its return, its loss, a failed connect
    if (!WindowsPrograms()) {
        EXPECT_TRUE(HoldsTheLog()); // kept open between the connections
    }
    SleepMs(1500); // the service is gone for 1.5 s at least
    ASSERT_NO_FATAL_FAILURE(RestartService(kFeedService));
    const double outage = static_cast<double>(NowNs() - stopped) / 1e9;
    Send("50;after\n");
    Console("50;after\n");
    ResetConnection(std::exchange(feed_, -1)); // while the service goes on listening
    ASSERT_NO_FATAL_FAILURE(RestartService(kFeedService));
    Send("50;second\n");
    Console("50;second\n");

    const std::string reset = ResetLine(console_);
    EXPECT_EQ(Unstamped(console_), RefusedLine() + "50;before\n\n" + RefusedLine() +
                                       "50;after\n\n" + reset + "50;second\n\n");
    const std::vector<std::string> said = SaidLines(7);
    ASSERT_EQ(said.size(), 7u) << said_;
    EXPECT_EQ(said[0], "Could not connect to 127.0.0.1:31286");
    EXPECT_GE(BackAfter(said[1], "feed", kFeedService), 0) << said[1];
    EXPECT_EQ(said[2], "The feed service closed the connection: connecting again");
    EXPECT_EQ(said[3], "Could not connect to 127.0.0.1:31286");
    const double gone = BackAfter(said[4], "feed", kFeedService);
    // From the loss until the return, as the test saw them, give or take a busy machine's delay.
    EXPECT_GE(gone, 1.5) << said[4];
    EXPECT_LT(gone, outage + 1.0) << said[4];
    EXPECT_EQ(said[5], reset.empty() ? "The feed service closed the connection: connecting again"
                                     : "The feed connection failed: connecting again");
    EXPECT_GE(BackAfter(said[6], "feed", kFeedService), 0) << said[6];
    // One log, stamped from the same start-up.
    const std::string log = Log();
    EXPECT_EQ(Unstamped(log), "50;before\n\n50;after\n\n50;second\n\n");
    const std::vector<std::string> stamped = StampedLines(log);
    ASSERT_EQ(stamped.size(), 3u) << log;
    EXPECT_GE(std::stol(stamped[1]) - std::stol(stamped[0]), 3500) << log;
    EXPECT_TRUE(HoldConnectionHeld());
}

TEST_F(EndToEndReconnect, AnOutageIsSaidAtOnceThoughNobodyReadsStandardOutput) {
    ASSERT_NO_FATAL_FAILURE(StartConnected(ReconnectCommand()));
    // 10 kB for a pipe of 4 KiB that nobody reads: the console's writer is held up in a write.
    ASSERT_GT(fcntl(chanlog_.out, F_SETPIPE_SZ, 4096), 0);
    const std::string line = "50;" + std::string(96, 'f') + "\n";
    std::string shown;
    for (int i = 0; i < 100; ++i) {
        Send(line);
        shown += line + "\n";
    }
    StopService(kFeedService);
    // The refused connect's own line waits for standard output; standard error need not.
    EXPECT_EQ(Said("Could not connect to 127.0.0.1:31286\n"),
              "The feed service closed the connection: connecting again\n"
              "Could not connect to 127.0.0.1:31286\n");
    ASSERT_NO_FATAL_FAILURE(RestartService(kFeedService));
    EXPECT_GE(BackAfter(SaidLines(3).back(), "feed", kFeedService), 0) << said_;
    EXPECT_EQ(Unstamped(Console(RefusedLine())), shown + RefusedLine());
}

TEST_F(EndToEndReconnect, AHoldServiceThatClosesOrResetsIsNoticedAndConnectedAgain) {
    ASSERT_NO_FATAL_FAILURE(StartConnected(ReconnectCommand()));
    // The test's hold service sends nothing and reads nothing: chanlog notices its close alone.
    StopService(kHoldService);
    Said("Could not connect to 127.0.0.1:31285\n");
    Send("50;while the hold service is gone\n");
    Console("gone\n");
    ASSERT_NO_FATAL_FAILURE(RestartService(kHoldService));
    Said(" s\n");
    ResetConnection(std::exchange(hold_, -1)); // while the service goes on listening
    ASSERT_NO_FATAL_FAILURE(RestartService(kHoldService));
    Send("50;after\n");
    Console("50;after\n");

    const std::vector<std::string> said = SaidLines(5);
    ASSERT_EQ(said.size(), 5u) << said_;
    EXPECT_EQ(said[0], "The hold service closed the connection: connecting again");
    EXPECT_EQ(said[1], "Could not connect to 127.0.0.1:31285");
    EXPECT_GE(BackAfter(said[2], "hold", kHoldService), 0) << said[2];
    // Wine tells of the reset of a connection that is only waited on as of an orderly close.
    EXPECT_EQ(said[3], WindowsPrograms()
                           ? "The hold service closed the connection: connecting again"
                           : "The hold connection failed: connecting again");
    EXPECT_GE(BackAfter(said[4], "hold", kHoldService), 0) << said[4];
    // The feed was logged all along.
    const std::string logged = "50;while the hold service is gone\n\n50;after\n\n";
    EXPECT_EQ(Unstamped(console_), RefusedLine() + logged);
    EXPECT_EQ(Unstamped(Log()), logged);
    EXPECT_TRUE(HoldConnectionHeld());
}

TEST_F(EndToEndReconnect, AnOutageCostsAWakeUpPerAttemptAndItsFailureIsSaidOnce) {
    StartChanlog(Output::kPipe, ReconnectCommand());
    Said("Could not connect to 127.0.0.1:31285\n");
    Said("Could not connect to 127.0.0.1:31286\n");
    // From 1.5 s on, a second apart at least.
    SleepMs(1500);
    const long long ticks = StatCpuTicks(chanlog_.pid);
    const long long switches = VoluntarySwitches(chanlog_.pid);
    SleepMs(4000);
    // A loop that did not pause would take all 400 ticks and wake thousands of times; pauses that
    // stayed at a tenth of a second, 80 times.
    EXPECT_LT(StatCpuTicks(chanlog_.pid) - ticks, 10);
#ifndef __SANITIZE_THREAD__ // whose own thread wakes ten times a second
    EXPECT_LE(VoluntarySwitches(chanlog_.pid) - switches, 12);
#else
    (void)switches;
#endif

    ListenOn(true, true);
    ASSERT_NO_FATAL_FAILURE(AcceptBoth());
    Send("50;connected\n");
    // One failure each, for all the attempts.
    EXPECT_EQ(Unstamped(Console("50;connected\n")),
              RefusedLine() + RefusedLine() + "50;connected\n\n");
    std::vector<std::string> said = SaidLines(4);
    std::sort(said.begin(), said.end());
    ASSERT_EQ(said.size(), 4u) << said_;
    EXPECT_EQ(said[0], "Could not connect to 127.0.0.1:31285");
    EXPECT_EQ(said[1], "Could not connect to 127.0.0.1:31286");
    EXPECT_GE(BackAfter(said[2], "feed", kFeedService), 5.5) << said[2];
    EXPECT_GE(BackAfter(said[3], "hold", kHoldService), 5.5) << said[3];

    // Connected again, it waits without waking.
#ifndef __SANITIZE_THREAD__
    SleepMs(500);
    const long long connected = VoluntarySwitches(chanlog_.pid);
    SleepMs(1000);
    EXPECT_EQ(VoluntarySwitches(chanlog_.pid), connected);
#endif
}

TEST_F(EndToEndReconnect, ASocketThatCannotBeCreatedIsSaidOncePerOutage) {
    if (WindowsPrograms()) {
        GTEST_SKIP() << "a descriptor limit does not limit Windows sockets";
    }
    // Descriptors 0-2 and the log's: none is left for a socket, attempt after attempt.
    StartChanlog(Output::kPipe, {"/bin/sh", "-c", "ulimit -n 4 && exec \"$0\" --reconnect",
                                 ChanlogCommand().front()});
    Said("Could not create a socket for 127.0.0.1:31285\n");
    Said("Could not create a socket for 127.0.0.1:31286\n");
    SleepMs(1000); // a few more attempts each
    EXPECT_TRUE(Running(chanlog_));
    kill(chanlog_.pid, SIGKILL);
    EXPECT_EQ(ReadAll(chanlog_.out, kWaitMs),
              "socket failed with error: 24\nsocket failed with error: 24\n");
    std::vector<std::string> said = Lines(said_ + ReadAll(chanlog_.err, 0));
    std::sort(said.begin(), said.end());
    EXPECT_EQ(said, (std::vector<std::string>{"Could not create a socket for 127.0.0.1:31285",
                                              "Could not create a socket for 127.0.0.1:31286"}));
}

TEST_F(EndToEndReconnect, AServiceThatClosesEveryConnectionAtOnceIsAskedWithGrowingPauses) {
    ASSERT_NO_FATAL_FAILURE(StartConnected(ReconnectCommand()));
    CloseFd(&feed_);
    // For 3 s, each connection is closed as soon as it is made.
    int connections = 0;
    const std::int64_t end = NowNs() + std::int64_t{3000} * 1000000;
    for (int next = -1; NowNs() < end; CloseFd(&next)) {
        next = AcceptWithin(feedListener_, std::max(MsUntil(end), 1));
        connections += next == -1 ? 0 : 1;
    }
    // Without a pause it would be asked thousands of times; pauses that did not grow, 30.
    EXPECT_GE(connections, 2);
    EXPECT_LE(connections, 10);
    const std::vector<std::string> said = SaidLines(2);
    ASSERT_GE(said.size(), 2u);
    EXPECT_EQ(said[0], "The feed service closed the connection: connecting again");
    EXPECT_GE(BackAfter(said[1], "feed", kFeedService), 0) << said[1];
}

TEST_F(EndToEndReconnect, AskedToEndWhileItWaitsToConnectAgainItEndsAtOnce) {
    StartChanlog(Output::kPipe, ReconnectCommand());
    Said("Could not connect to 127.0.0.1:31285\n");
    Said("Could not connect to 127.0.0.1:31286\n");
    SleepMs(1600); // both wait between attempts, for seconds by now
    const std::int64_t asked = NowNs();
    kill(chanlog_.pid, EndSignal());
    EXPECT_EQ(ExitCode(chanlog_), EndedStatus());
    // Well before either pause is over; under Wine, its own end takes a while.
    EXPECT_LT(NowNs() - asked, std::int64_t{WindowsPrograms() ? 3000 : 1000} * 1000000);
    EXPECT_EQ(console_ + ReadAll(chanlog_.out, kWaitMs), RefusedLine() + RefusedLine());
}

// As its service unit runs it: as an unprivileged user in a folder of that user's, with no
// DISPLAY, standard input /dev/null and standard output a stream socket, as the journal's is.
TEST_F(EndToEndReconnect, AsItsServiceRunsItUnprivilegedItLogsAndConnectsAgain) {
    if (getuid() != 0) {
        GTEST_SKIP() << "only root can run chanlog as another user";
    }
    constexpr uid_t kNobody = 65534;
    ASSERT_EQ(chown(dir_.c_str(), kNobody, kNobody), 0) << std::strerror(errno);
    int journal[2] = {-1, -1};
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, journal), 0);
    std::vector<std::string> command = {
        "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "env", "-u", "DISPLAY"};
    for (const std::string &word : ReconnectCommand()) {
        command.push_back(word);
    }
    ASSERT_NO_FATAL_FAILURE(StartConnected(command, Output::kFd, journal[1]));
    CloseFd(&journal[1]);
    Send("50;as a service\n");
    std::string read = ReadUntil(journal[0], "service\n", kWaitMs);
    StopService(kFeedService);
    Said("Could not connect to 127.0.0.1:31286\n");
    ASSERT_NO_FATAL_FAILURE(RestartService(kFeedService));
    Send("50;again\n");
    read = ReadUntil(journal[0], "again\n", kWaitMs, read);
    EXPECT_EQ(Unstamped(read), "50;as a service\n\n" + RefusedLine() + "50;again\n\n");
    EXPECT_EQ(Unstamped(Log()), "50;as a service\n\n50;again\n\n");
    struct stat log {};
    ASSERT_EQ(stat((dir_ + "/log.txt").c_str(), &log), 0);
    EXPECT_EQ(log.st_uid, kNobody);
    CloseFd(&journal[0]);
}

} // namespace
