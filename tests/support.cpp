#include "tests/support.h"

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

namespace {

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
std::string ToPrograms(std::string text) {
    for (std::size_t at = text.find('\n'); WindowsPrograms() && at != std::string::npos;
         at = text.find('\n', at + 2)) {
        text.insert(at, 1, '\r');
    }
    return text;
}

std::string FromPrograms(const std::string &text) {
    if (!WindowsPrograms()) {
        return text;
    }
    std::string out;
    for (const char c : text) {
        if (c == '\n' && !out.ends_with('\r')) {
            ADD_FAILURE() << "a line feed without CR after: " << out;
        } else if (c == '\n') {
            out.pop_back();
        }
        out += c;
    }
    return out;
}

// Bytes of the connection to `servicePort` that the client has not yet taken: those the service
// sent that are not acknowledged yet (still on their way) plus those unread at the client. -1 when
// there is no such established connection.
long Unconsumed(std::uint16_t servicePort) {
    long serviceUnacked = -1;
    for (const TcpSocket &socket : TcpSockets()) {
        if (socket.state == kTcpEstablished && socket.localPort == servicePort) {
            serviceUnacked = socket.txQueue;
        }
    }
    const long clientUnread = ClientUnread(servicePort);
    return serviceUnacked < 0 || clientUnread < 0 ? -1 : serviceUnacked + clientUnread;
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

int ResetCode() {
    constexpr int kWsaConnReset = 10054; // WSAECONNRESET
    return WindowsPrograms() ? kWsaConnReset : ECONNRESET;
}

std::string RefusedLine() {
    return "connect failed with error: " + std::to_string(RefusedCode()) + "\n";
}

std::string ResetLine(const std::string &console) {
    const std::string line = "recv failed with error: " + std::to_string(ResetCode()) + "\n";
    return WindowsPrograms() && console.find(line) == std::string::npos ? "" : line;
}

int EndSignal() {
    return WindowsPrograms() ? SIGINT : SIGTERM;
}

int EndedStatus() {
    constexpr int kControlCExit = 0x3A; // the low byte of STATUS_CONTROL_C_EXIT, 0xC000013A
    return WindowsPrograms() ? kControlCExit : 128 + SIGTERM;
}

std::string ProgramsPath(const std::string &path) {
    if (!WindowsPrograms()) {
        return path;
    }
    std::string windows = "Z:" + path;
    std::replace(windows.begin(), windows.end(), '/', '\\');
    return windows;
}

std::string DirectoryReason() {
    // Windows refuses a folder's handle for writing as it refuses any other access, and chanlog
    // says so in Windows' words: Wine's English for ERROR_ACCESS_DENIED.
    return WindowsPrograms() ? "Access denied" : std::strerror(EISDIR);
}

std::string DiskFullReason() {
    return WindowsPrograms() ? "Disk full" : std::strerror(ENOSPC); // Wine's ERROR_DISK_FULL
}

bool CopyWithStackReserve(const std::string &from, const std::string &to, std::uint32_t bytes) {
    std::string program = ReadWholeFile(from);
    auto le32 = [&program](std::size_t at) {
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < 4 && at + i < program.size(); ++i) {
            value |= std::uint32_t{static_cast<unsigned char>(program[at + i])} << (8 * i);
        }
        return value;
    };
    // The PE header's place is at 0x3c; its optional header follows the signature and the 20
    // bytes of the file header, and begins with 0x10b for a 32-bit program.
    const std::size_t optional = std::size_t{le32(0x3c)} + 4 + 20;
    constexpr std::size_t kStackReserve = 72; // from the start of the optional header
    if (optional + kStackReserve + 4 > program.size() ||
        program.compare(le32(0x3c), 4, std::string("PE\0\0", 4)) != 0 ||
        (le32(optional) & 0xffffU) != 0x10b) {
        return false;
    }
    for (std::size_t i = 0; i < 4; ++i) {
        program[optional + kStackReserve + i] = static_cast<char>((bytes >> (8 * i)) & 0xffU);
    }
    WriteWholeFile(to, program);
    return true;
}

void EndProgramsSession() {
    if (WindowsPrograms()) {
        Child server = Spawn({WINE_RUN, "--end-session"});
        ExitCode(server);
        Stop(server, SIGKILL);
    }
}

std::string ReadUntil(int fd, const std::string &text, int timeoutMs, const std::string &sofar) {
    return FromPrograms(ReadUntilSeen(fd, ToPrograms(text), timeoutMs, ToPrograms(sofar)));
}

std::string ReadAll(int fd, int timeoutMs) {
    return FromPrograms(ReadToEnd(fd, timeoutMs));
}

std::string ReadFile(const std::string &path) {
    return FromPrograms(ReadWholeFile(path));
}

int ExitCode(Child &child) {
    EXPECT_GT(child.pid, 0) << "no process to wait for";
    const std::int64_t deadline = NowNs() + std::int64_t{kWaitMs} * 1000000;
    int status = 0;
    while (child.pid > 0) {
        if (waitpid(child.pid, &status, WNOHANG) == child.pid) {
            child.pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (MsUntil(deadline) == 0) {
            ADD_FAILURE() << "process " << child.pid << " did not end in " << kWaitMs << " ms";
            Stop(child, SIGKILL);
        }
        usleep(5000);
    }
    return -1;
}

bool ClientIn(std::uint16_t servicePort, int state) {
    const std::vector<TcpSocket> sockets = TcpSockets();
    return std::any_of(sockets.begin(), sockets.end(), [&](const TcpSocket &socket) {
        return socket.remotePort == servicePort && socket.state == state;
    });
}

long ClientUnread(std::uint16_t servicePort) {
    for (const TcpSocket &socket : TcpSockets()) {
        if (socket.state == kTcpEstablished && socket.remotePort == servicePort) {
            return socket.rxQueue;
        }
    }
    return -1;
}

bool WaitDrained(std::uint16_t servicePort, int timeoutMs) {
    return WaitFor([&] { return Unconsumed(servicePort) == 0; }, timeoutMs);
}

std::vector<std::string> ReportTexts(const std::string &text) {
    std::vector<std::string> texts;
    for (const std::string &line : Lines(text)) {
        if (IsStamped(line)) {
            texts.emplace_back(StampedText(line));
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
        plain += std::string(IsStamped(line) ? StampedText(line) : line) + "\n";
    }
    return plain;
}

std::string Joined(const std::string &text) {
    std::string joined;
    for (const std::string &report : ReportTexts(text)) {
        joined += report;
    }
    return joined;
}

std::vector<std::string> StampedLines(const std::string &text) {
    std::vector<std::string> stamped = Lines(text);
    std::erase_if(stamped, [](const std::string &line) { return !IsStamped(line); });
    return stamped;
}
