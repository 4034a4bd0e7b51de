#include "tests/chanlog_fixture.h"

#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

void ChanlogTest::SetUp() {
    IsolateNetwork();
    EndProgramsSession(); // one started outside this namespace would serve it
    dir_ = MakeTempDir();
    ASSERT_FALSE(dir_.empty()) << std::strerror(errno);
}

void ChanlogTest::TearDown() {
    EndChanlogAndServices();
    RemoveDir(dir_);
}

void ChanlogTest::EndChanlogAndServices() {
    Stop(chanlog_, SIGKILL);
    EndProgramsSession();
    for (int *fd : {&holdListener_, &feedListener_, &hold_, &feed_}) {
        CloseFd(fd);
    }
    console_.clear();
}

void ChanlogTest::ListenOn(bool hold, bool feed) {
    holdListener_ = hold ? Listen(kHoldService) : -1;
    ASSERT_TRUE(!hold || holdListener_ != -1) << std::strerror(errno);
    feedListener_ = feed ? Listen(kFeedService) : -1;
    ASSERT_TRUE(!feed || feedListener_ != -1) << std::strerror(errno);
}

void ChanlogTest::StartChanlog(Output output, const std::vector<std::string> &command,
                               int stdoutFd) {
    chanlog_ = Spawn(command, {.workDir = dir_, .output = output, .stdoutFd = stdoutFd});
    ASSERT_GT(chanlog_.pid, 0) << std::strerror(errno);
}

void ChanlogTest::StartConnected(const std::vector<std::string> &command, Output output,
                                 int stdoutFd) {
    ASSERT_NO_FATAL_FAILURE(ListenOn(true, true));
    ASSERT_NO_FATAL_FAILURE(StartChanlog(output, command, stdoutFd));
    hold_ = AcceptWithin(holdListener_, kWaitMs);
    feed_ = AcceptWithin(feedListener_, kWaitMs);
    ASSERT_NE(hold_, -1);
    ASSERT_NE(feed_, -1);
}

void ChanlogTest::Send(const std::string &message) const {
    ASSERT_TRUE(SendMessage(feed_, message));
    ASSERT_TRUE(WaitDrained(kFeedService, kWaitMs));
}

std::string ChanlogTest::Console(const std::string &text) {
    console_ = ReadUntil(chanlog_.out, text, kWaitMs, console_);
    return console_;
}

std::string ChanlogTest::Log() const {
    return ReadFile(dir_ + "/log.txt");
}

bool ChanlogTest::FeedClosedByClient() {
    return !ClientIn(kFeedService, kTcpEstablished) && !ClientIn(kFeedService, kTcpCloseWait);
}

bool ChanlogTest::HoldConnectionHeld() const {
    char byte = 0;
    return recv(hold_, &byte, 1, MSG_DONTWAIT | MSG_PEEK) == -1 && errno == EAGAIN;
}

bool ChanlogTest::HoldsTheLog() const {
    for (const std::string &target : OpenFiles(chanlog_.pid)) {
        if (target.ends_with("/log.txt") || target == "/dev/full") {
            return true;
        }
    }
    return false;
}

bool ChanlogTest::NoneConnected() const {
    return AcceptWithin(holdListener_, 0) == -1 && AcceptWithin(feedListener_, 0) == -1;
}

bool ChanlogTest::Terminate() {
    kill(chanlog_.pid, SIGTERM);
    return ExitCode(chanlog_) == 128 + SIGTERM;
}

std::string ChanlogTest::CloseTheFeedAndEnd() {
    CloseFd(&feed_);
    std::string err = ReadUntil(chanlog_.err, kFeedClosed, 3 * kWaitMs);
    // Not SIGTERM, which ends a Windows program under Wine at once.
    kill(chanlog_.pid, EndSignal());
    EXPECT_EQ(ExitCode(chanlog_), EndedStatus());
    return err + ReadAll(chanlog_.err, kWaitMs);
}

void ChanlogTest::Pause() const {
    ASSERT_EQ(kill(chanlog_.pid, SIGSTOP), 0);
    ASSERT_TRUE(WaitFor([&] { return AllThreadsStopped(chanlog_.pid); }));
}

void ChanlogTest::Resume() const {
    ASSERT_EQ(kill(chanlog_.pid, SIGCONT), 0);
}

bool ChanlogTest::ChannelTwoEnded() const {
    const std::vector<std::string> open = OpenFiles(chanlog_.pid);
    return !HoldsTheLog() && std::count_if(open.begin(), open.end(), [](const auto &target) {
                                 return target.starts_with("socket:");
                             }) == 1;
}

void ChanlogTest::ExpectOnlyChannelTwoEnds(const std::string &err) {
    EXPECT_TRUE(WaitFor([&] { return ChannelTwoEnded(); })) << "the log or the feed stayed open";
    ExpectHoldingUntilTerminated(err);
}

void ChanlogTest::ExpectHoldingUntilTerminated(const std::string &err, const std::string &atEnd) {
    // A notice may still wait for the console thread behind lines standard output has not taken
    // yet; ending chanlog first would cut it off.
    const std::string said = ReadUntil(chanlog_.err, err, kWaitMs);
    EXPECT_TRUE(Running(chanlog_));
    EXPECT_TRUE(HoldConnectionHeld());
    EXPECT_TRUE(Terminate());
    EXPECT_EQ(said + ReadAll(chanlog_.err, kWaitMs), err + atEnd);
}
