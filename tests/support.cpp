#include "tests/support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for `fd` to become readable before `deadline`.
bool Readable(int fd, Clock::time_point deadline) {
    pollfd p{fd, POLLIN, 0};
    for (;;) {
        const int n = poll(&p, 1, MsLeft(deadline));
        if (n == -1 && errno == EINTR) {
            continue;
        }
        return n > 0;
    }
}

bool IsFile(int fd) {
    struct stat status {};
    return fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
}

const char *WindowsBuild() {
    const char *dir = std::getenv("CHANLOG_WINDOWS_BUILD");
    return dir != nullptr && *dir != '\0' ? dir : nullptr;
}

std::vector<std::string> Command(const char *native, const char *windowsName) {
    if (WindowsBuild() == nullptr) {
        return {native};
    }
    return {WINE_RUN, "--exec", std::string(WindowsBuild()) + "/" + windowsName};
}

// The programs' text line ends.
std::string ToPrograms(const std::string &text) {
    std::string out;
    for (const char c : text) {
        out += c == '\n' && WindowsPrograms() ? "\r\n" : std::string(1, c);
    }
    return out;
}

std::string FromPrograms(const std::string &text) {
    if (!WindowsPrograms()) {
        return text;
    }
    std::string out;
    for (const char c : text) {
        if (c == '\n') {
            EXPECT_TRUE(out.ends_with('\r')) << "a line feed without CR after: " << out;
            if (out.ends_with('\r')) {
                out.pop_back();
            }
        }
        out += c;
    }
    return out;
}

} // namespace

std::vector<std::string> ChanlogCommand() {
    return Command(CHANLOG_BINARY, "chanlog.exe");
}

std::vector<std::string> SampleFeedCommand() {
    return Command(SAMPLE_FEED_BINARY, "sample-feed.exe");
}

bool WindowsPrograms() {
    return WindowsBuild() != nullptr;
}

int RefusedCode() {
    constexpr int kWsaConnRefused = 10061; // WSAECONNREFUSED
    return WindowsPrograms() ? kWsaConnRefused : ECONNREFUSED;
}

std::string DirectoryReason() {
    // Windows refuses a folder's handle for writing as it refuses any other access.
    return std::strerror(WindowsPrograms() ? EACCES : EISDIR);
}

void EndProgramsSession() {
    if (!WindowsPrograms()) {
        return;
    }
    Child server = Spawn({WINE_RUN, "--end-session"});
    WaitExit(server, kWaitMs);
    Stop(server, SIGKILL);
}

std::vector<TcpSocket> TcpSockets() {
    std::vector<TcpSocket> sockets;
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line); // header
    while (std::getline(table, line)) {
        unsigned localAddress = 0, localPort = 0, remoteAddress = 0, remotePort = 0, state = 0;
        unsigned long txQueue = 0, rxQueue = 0;
        if (std::sscanf(line.c_str(), " %*d: %x:%x %x:%x %x %lx:%lx", &localAddress, &localPort,
                        &remoteAddress, &remotePort, &state, &txQueue, &rxQueue) == 7) {
            sockets.push_back({static_cast<std::uint16_t>(localPort),
                               static_cast<std::uint16_t>(remotePort), static_cast<int>(state),
                               static_cast<long>(txQueue), static_cast<long>(rxQueue)});
        }
    }
    return sockets;
}

std::uint16_t PortOf(int socket) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(socket, reinterpret_cast<sockaddr *>(&address), &length);
    return ntohs(address.sin_port);
}

int AcceptWithin(int listener, int timeoutMs) {
    if (!Readable(listener, Clock::now() + std::chrono::milliseconds(timeoutMs))) {
        return -1;
    }
    return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

bool SendMessage(int socket, const std::string &data) {
    const int on = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return send(socket, data.data(), data.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(data.size());
}

void ResetConnection(int socket) {
    const linger reset{1, 0};
    setsockopt(socket, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(socket);
}

namespace {

// Bytes of the connection to `servicePort` that the client has not yet taken: those the service
// sent that are not acknowledged yet (still on their way) plus those unread at the client. -1 when
// there is no such established connection.
long Unconsumed(std::uint16_t servicePort) {
    long serviceUnacked = -1;
    long clientUnread = -1;
    for (const TcpSocket &socket : TcpSockets()) {
        if (socket.state != kTcpEstablished) {
            continue;
        }
        if (socket.localPort == servicePort) {
            serviceUnacked = socket.txQueue;
        } else if (socket.remotePort == servicePort) {
            clientUnread = socket.rxQueue;
        }
    }
    return serviceUnacked < 0 || clientUnread < 0 ? -1 : serviceUnacked + clientUnread;
}

} // namespace

bool WaitDrained(std::uint16_t servicePort, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Unconsumed(servicePort) != 0) {
        if (MsLeft(deadline) == 0) {
            return false;
        }
        usleep(1000);
    }
    return true;
}

Child Spawn(const std::vector<std::string> &argv, const SpawnOptions &options) {
    int out[2] = {-1, -1};
    std::string errPath = (std::filesystem::temp_directory_path() / "chanlog-err-XXXXXX").string();
    const int errWrite = mkostemp(errPath.data(), O_CLOEXEC);
    const int errRead = errWrite == -1 ? -1 : open(errPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (errWrite != -1) {
        unlink(errPath.c_str());
    }
    if ((options.captureStdout && pipe2(out, O_CLOEXEC) == -1) || errRead == -1) {
        ADD_FAILURE() << "pipe or file: " << std::strerror(errno);
        return {};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        if (!options.workDir.empty() && chdir(options.workDir.c_str()) == -1) {
            _exit(126);
        }
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(options.captureStdout ? out[1] : null, STDOUT_FILENO);
        dup2(errWrite, STDERR_FILENO);
        if (null > STDERR_FILENO) {
            close(null);
        }
        if (options.closeStdout) {
            close(STDOUT_FILENO); // last, so that nothing above takes its number
        }
        std::vector<char *> args;
        args.reserve(argv.size() + 1);
        for (const std::string &arg : argv) {
            args.push_back(const_cast<char *>(arg.c_str()));
        }
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    if (options.captureStdout) {
        close(out[1]);
    }
    close(errWrite);
    EXPECT_NE(pid, -1) << "fork: " << std::strerror(errno);
    return {pid, options.captureStdout ? out[0] : -1, errRead};
}

std::string ReadUntil(int fd, const std::string &text, int timeoutMs, const std::string &sofar) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const std::string wanted = ToPrograms(text);
    std::string raw = ToPrograms(sofar);
    char buffer[4096];
    while (raw.find(wanted) == std::string::npos && Readable(fd, deadline)) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n == 0 && IsFile(fd) && MsLeft(deadline) > 0) {
            usleep(2000); // the file may still grow
            continue;
        }
        if (n <= 0) {
            break;
        }
        raw.append(buffer, static_cast<std::size_t>(n));
    }
    return FromPrograms(raw);
}

std::string ReadAll(int fd, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string all;
    char buffer[4096];
    while (Readable(fd, deadline)) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        all.append(buffer, static_cast<std::size_t>(n));
    }
    return FromPrograms(all);
}

int WaitExit(Child &child, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    while (child.pid > 0) {
        const pid_t done = waitpid(child.pid, &status, WNOHANG);
        if (done == child.pid) {
            child.pid = -1;
            return status;
        }
        if (MsLeft(deadline) == 0) {
            ADD_FAILURE() << "process " << child.pid << " did not end in " << timeoutMs << " ms";
            Stop(child, SIGKILL);
            return -1;
        }
        usleep(5000);
    }
    return -1;
}

void Stop(Child &child, int signal) {
    if (child.pid > 0) {
        kill(child.pid, signal);
        waitpid(child.pid, nullptr, 0);
        child.pid = -1;
    }
    for (int *fd : {&child.out, &child.err}) {
        if (*fd != -1) {
            close(*fd);
            *fd = -1;
        }
    }
}

bool Running(const Child &child) {
    if (child.pid <= 0) {
        return false;
    }
    // WNOWAIT leaves an ended child to be reaped by WaitExit or Stop, with its status.
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

std::string MakeTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "chanlog-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
        return {};
    }
    return pattern;
}

void RemoveDir(const std::string &dir) {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return FromPrograms(content.str());
}

void WriteFile(const std::string &path, const std::string &content) {
    std::ofstream(path, std::ios::binary) << content;
}

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool IsStamped(const std::string &line) {
    const std::size_t colon = line.find(": ");
    return colon != std::string::npos && colon > 0 && line.find_first_not_of("0123456789") == colon;
}

std::vector<std::string> ReportTexts(const std::string &text) {
    std::vector<std::string> texts;
    for (const std::string &line : Lines(text)) {
        if (IsStamped(line)) {
            texts.push_back(line.substr(line.find(": ") + 2));
        } else if (!texts.empty()) {
            texts.back() += "\n" + line;
        } else {
            texts.push_back("BAD: " + line);
        }
    }
    return texts;
}

std::string Unstamped(const std::string &text) {
    std::string plain;
    for (const std::string &line : Lines(text)) {
        plain += (IsStamped(line) ? line.substr(line.find(": ") + 2) : line) + "\n";
    }
    return plain;
}

// ---- Fault tests: what waits unread at a client, what a process holds open, stopped processes.

long ClientUnread(std::uint16_t servicePort) {
    for (const TcpSocket &socket : TcpSockets()) {
        if (socket.state == kTcpEstablished && socket.remotePort == servicePort) {
            return socket.rxQueue;
        }
    }
    return -1;
}

std::vector<std::string> OpenFiles(pid_t pid) {
    std::vector<std::string> targets;
    std::error_code error;
    const std::filesystem::path fds = "/proc/" + std::to_string(pid) + "/fd";
    for (const auto &entry : std::filesystem::directory_iterator(fds, error)) {
        const std::filesystem::path target = std::filesystem::read_symlink(entry.path(), error);
        if (!error) {
            targets.push_back(target.string());
        }
    }
    return targets;
}

bool AllThreadsStopped(pid_t pid) {
    std::error_code error;
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    bool any = false;
    for (const auto &entry : std::filesystem::directory_iterator(tasks, error)) {
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        std::getline(stat, line);
        // The state is the first field after the command name, which ends at the last ')'.
        const std::size_t close = line.rfind(')');
        if (close == std::string::npos || close + 2 >= line.size() || line[close + 2] != 'T') {
            return false;
        }
        any = true;
    }
    return any;
}

// ---- Sample service tests: the states of the client ends of connections.

std::vector<int> ClientStates(std::uint16_t servicePort) {
    std::vector<int> states;
    for (const TcpSocket &socket : TcpSockets()) {
        if (socket.remotePort == servicePort) {
            states.push_back(socket.state);
        }
    }
    return states;
}
