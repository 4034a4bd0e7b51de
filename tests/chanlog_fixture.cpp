#include "tests/chanlog_fixture.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

namespace {

constexpr std::string_view kMovedLine = "log.txt from an earlier run was moved to ";
constexpr std::string_view kLoggingLine = "Logging to ";
// How far a time chanlog says may lie outside the test's own readings of the clock: its
// rounding, and a wall clock that Windows reads in steps of up to 16 ms.
constexpr std::int64_t kClockSlackMs = 2000;

// Whether `text` has the form `pattern`, where 'd' stands for a digit.
bool Matches(std::string_view text, std::string_view pattern) {
    return text.size() == pattern.size() &&
           std::equal(text.begin(), text.end(), pattern.begin(),
                      [](char c, char p) { return p == 'd' ? c >= '0' && c <= '9' : c == p; });
}

// The time in `text`, which Matches `pattern` ("dddd-dd-ddTdd:dd:dd.dddZ" or "dddddddd-dddddd",
// UTC), in milliseconds since 1970; -1 where it does not match.
std::int64_t UtcMs(std::string_view text, std::string_view pattern) {
    if (!Matches(text, pattern)) {
        return -1;
    }
    const std::string digits(text);
    std::tm utc{};
    int ms = 0;
    const bool iso = pattern.size() > 16;
    const int fields =
        iso ? std::sscanf(digits.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d", &utc.tm_year, &utc.tm_mon,
                          &utc.tm_mday, &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &ms)
            : std::sscanf(digits.c_str(), "%4d%2d%2d-%2d%2d%2d", &utc.tm_year, &utc.tm_mon,
                          &utc.tm_mday, &utc.tm_hour, &utc.tm_min, &utc.tm_sec);
    if (fields != (iso ? 7 : 6)) {
        return -1;
    }
    utc.tm_year -= 1900;
    utc.tm_mon -= 1;
    return static_cast<std::int64_t>(timegm(&utc)) * 1000 + ms;
}

// The full path of the folder `dir` as the programs under test say it.
std::string FolderAsSaid(const std::string &dir) {
    char real[PATH_MAX];
    return ProgramsPath(realpath(dir.c_str(), real) != nullptr ? real : dir);
}

// Checks the start lines in `lines` (each ending in a line feed) of a chanlog in `dir` started at
// `startMs` by the wall clock.
void ExpectStartLines(const std::string &lines, const std::string &dir, std::int64_t startMs) {
    const std::string folder = FolderAsSaid(dir) + (WindowsPrograms() ? "\\" : "/");
    for (const std::string &line : Lines(lines)) {
        SCOPED_TRACE(line);
        if (line.starts_with(kMovedLine)) {
            // In the test's folder, or one below it where the log was a link to a file there.
            const std::string to = line.substr(kMovedLine.size());
            EXPECT_TRUE(to.starts_with(folder));
            const std::size_t dash = to.find('-', to.find_last_of("/\\"));
            ASSERT_NE(dash, std::string::npos);
            const std::string_view when = std::string_view(to).substr(dash + 1, 15);
            const std::string_view number = std::string_view(to).substr(dash + 16);
            EXPECT_TRUE(number.empty() ||
                        (number.size() > 1 && number[0] == '.' &&
                         number.find_first_not_of("0123456789", 1) == std::string_view::npos));
            const std::int64_t moved = UtcMs(when, "dddddddd-dddddd");
            EXPECT_GE(moved, startMs - kClockSlackMs);
            EXPECT_LE(moved, WallClockMs() + kClockSlackMs);
            continue;
        }
        const std::string head = std::string(kLoggingLine) + folder + "log.txt; stamp 0 is ";
        ASSERT_TRUE(line.starts_with(head));
        const std::int64_t stampZero = IsoUtcMs(line.substr(head.size()));
        EXPECT_GE(stampZero, startMs - kClockSlackMs);
        EXPECT_LE(stampZero, WallClockMs() + kClockSlackMs);
    }
}

// How much of `text` the start lines take: 0 when it begins with none, or with a part of them
// still being written.
std::size_t StartLinesLength(std::string_view text) {
    for (std::size_t at = 0;;) {
        const std::string_view rest = text.substr(at);
        const bool moved = rest.starts_with(kMovedLine);
        const std::size_t end = text.find('\n', at);
        if ((!moved && !rest.starts_with(kLoggingLine)) || end == std::string_view::npos) {
            return 0;
        }
        at = end + 1;
        if (!moved) {
            return at;
        }
    }
}

// Whether `line`, as far as it goes, may be the start of a start line.
bool MayBeStartLine(std::string_view line) {
    for (const std::string_view start : {kMovedLine, kLoggingLine}) {
        const std::size_t common = std::min(line.size(), start.size());
        if (line.substr(0, common) == start.substr(0, common)) {
            return true;
        }
    }
    return false;
}

// The text of what the programs under test wrote, with CR LF as a line feed where they write so.
std::string Plain(std::string text) {
    if (WindowsPrograms()) {
        std::erase(text, '\r');
    }
    return text;
}

// Reads the start lines off `fd` byte by byte, so that nothing after them is taken: where standard
// error is standard output, they are its first lines. What was read that is none of them goes to
// `console`.
std::string TakeFromOutput(int fd, std::string *console) {
    const std::int64_t deadline = NowNs() + std::int64_t{kWaitMs} * 1000000;
    std::string taken;
    std::string line;
    char byte = 0;
    while (Readable(fd, deadline) && read(fd, &byte, 1) == 1) {
        line += byte;
        if (!MayBeStartLine(line)) {
            *console += Plain(line);
            break;
        }
        if (byte == '\n') {
            taken += line;
            if (line.starts_with(kLoggingLine)) {
                break;
            }
            line.clear();
        }
    }
    return taken;
}

} // namespace

std::int64_t WallClockMs() {
    using std::chrono::milliseconds;
    return std::chrono::duration_cast<milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::int64_t IsoUtcMs(const std::string &text) {
    return UtcMs(text, "dddd-dd-ddTdd:dd:dd.dddZ");
}

std::string TakeChanlogStartLines(Child &child, const std::string &dir, std::string *console,
                                  std::initializer_list<int> listeners) {
    const std::int64_t startMs = WallClockMs() - (NowNs() - child.startNs) / 1000000;
    const std::int64_t deadline = NowNs() + std::int64_t{kWaitMs} * 1000000;
    for (;;) {
        // chanlog says its start lines before it connects or writes standard output: once it has
        // done either, or ended, standard error has them if it ever will.
        bool settled = !Running(child) || Readable(child.out, NowNs());
        for (const int listener : listeners) {
            settled = settled || (listener != -1 && Readable(listener, NowNs()));
        }
        std::string err(4096, '\0');
        err.resize(static_cast<std::size_t>(
            std::max<ssize_t>(pread(child.err, err.data(), err.size(), 0), 0)));
        const std::size_t length = StartLinesLength(err);
        std::string taken;
        if (length > 0) {
            taken = err.substr(0, length);
            lseek(child.err, static_cast<off_t>(length), SEEK_SET);
        } else if (err.find('\n') != std::string::npos && !MayBeStartLine(err)) {
            return {}; // it said something else first: it never opened its log
        } else if (settled && err.empty() && child.out != -1 && Readable(child.out, NowNs())) {
            taken = TakeFromOutput(child.out, console);
        } else if (!settled && MsUntil(deadline) > 0) {
            usleep(2000);
            continue;
        }
        taken = Plain(taken);
        ExpectStartLines(taken, dir, startMs);
        return taken;
    }
}

std::vector<std::string> ReconnectCommand() {
    std::vector<std::string> command = ChanlogCommand();
    command.emplace_back("--reconnect");
    return command;
}

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
    said_.clear();
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
    TakeStartLines();
}

void ChanlogTest::TakeStartLines() {
    started_ = TakeChanlogStartLines(chanlog_, dir_, &console_, {holdListener_, feedListener_});
}

std::string ChanlogTest::MovedTo() const {
    const std::vector<std::string> lines = Lines(started_);
    return !lines.empty() && lines.front().starts_with(kMovedLine)
               ? lines.front().substr(kMovedLine.size())
               : std::string();
}

void ChanlogTest::AcceptBoth() {
    hold_ = AcceptWithin(holdListener_, kWaitMs);
    feed_ = AcceptWithin(feedListener_, kWaitMs);
    ASSERT_NE(hold_, -1);
    ASSERT_NE(feed_, -1);
}

void ChanlogTest::StartConnected(const std::vector<std::string> &command, Output output,
                                 int stdoutFd) {
    ASSERT_NO_FATAL_FAILURE(ListenOn(true, true));
    ASSERT_NO_FATAL_FAILURE(StartChanlog(output, command, stdoutFd));
    AcceptBoth();
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

void ChanlogTest::StopService(std::uint16_t port) {
    const bool hold = port == kHoldService;
    CloseFd(hold ? &holdListener_ : &feedListener_);
    CloseFd(hold ? &hold_ : &feed_);
}

void ChanlogTest::RestartService(std::uint16_t port) {
    const bool hold = port == kHoldService;
    int *listener = hold ? &holdListener_ : &feedListener_;
    *listener = *listener == -1 ? Listen(port) : *listener;
    ASSERT_NE(*listener, -1) << std::strerror(errno);
    int *connection = hold ? &hold_ : &feed_;
    *connection = AcceptWithin(*listener, kWaitMs);
    ASSERT_NE(*connection, -1) << "chanlog did not connect again to " << port;
}

std::string ChanlogTest::Said(const std::string &text) {
    said_ = ReadUntil(chanlog_.err, text, kWaitMs, said_);
    return said_;
}

std::vector<std::string> ChanlogTest::SaidLines(std::size_t count) {
    WaitFor([&] {
        said_ += ReadAll(chanlog_.err, 0);
        return Lines(said_).size() >= count;
    });
    return Lines(said_);
}

bool ChanlogTest::FeedClosedByClient() {
    return !ClientIn(kFeedService, kTcpEstablished) && !ClientIn(kFeedService, kTcpCloseWait);
}

bool ChanlogTest::HoldConnectionHeld() const {
    char byte = 0;
    return recv(hold_, &byte, 1, MSG_DONTWAIT | MSG_PEEK) == -1 && errno == EAGAIN;
}

bool ChanlogTest::HoldsTheLog() const {
    const std::vector<std::string> open = OpenFiles(chanlog_.pid);
    return std::any_of(open.begin(), open.end(), [](const std::string &target) {
        return target.ends_with("/log.txt") || target == "/dev/full";
    });
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

void ChanlogTest::ExpectOnlyChannelTwoEnds(const std::string &err) {
    EXPECT_TRUE(WaitFor([&] {
        const std::vector<std::string> open = OpenFiles(chanlog_.pid);
        return !HoldsTheLog() && std::count_if(open.begin(), open.end(), [](const auto &target) {
                                     return target.starts_with("socket:");
                                 }) == 1;
    })) << "the log or the feed stayed open";
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
