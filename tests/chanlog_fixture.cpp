#include "tests/chanlog_fixture.h"

#include <signal.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

void ChanlogTest::SetUp() {
    IsolateNetwork();
    EndProgramsSession(); // one started outside this namespace would serve it
    dir_ = MakeTempDir();
    ASSERT_FALSE(dir_.empty()) << std::strerror(errno);
}

void ChanlogTest::TearDown() {
    Stop(chanlog_, SIGKILL);
    EndProgramsSession();
    for (int *fd : {&holdListener_, &feedListener_, &hold_, &feed_}) {
        CloseFd(fd);
    }
    RemoveDir(dir_);
}

void ChanlogTest::ListenOn(bool hold, bool feed) {
    holdListener_ = hold ? Listen(kHoldService) : -1;
    ASSERT_TRUE(!hold || holdListener_ != -1) << std::strerror(errno);
    feedListener_ = feed ? Listen(kFeedService) : -1;
    ASSERT_TRUE(!feed || feedListener_ != -1) << std::strerror(errno);
}

void ChanlogTest::StartChanlog(Output output, const std::vector<std::string> &command) {
    chanlog_ = Spawn(command, {.workDir = dir_, .output = output});
    ASSERT_GT(chanlog_.pid, 0) << std::strerror(errno);
}

void ChanlogTest::StartConnected(const std::vector<std::string> &command) {
    ASSERT_NO_FATAL_FAILURE(ListenOn(true, true));
    ASSERT_NO_FATAL_FAILURE(StartChanlog(Output::kPipe, command));
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
