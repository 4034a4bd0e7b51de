// The reference client, the yardstick chanlog is measured against: the least a program can do for
// the same job. It connects to the hold port and keeps that connection, connects to the feed port,
// and for every receive that begins with "50;" writes "<ms since start>: <text>\n" with one write()
// to standard output and one to log.txt. No stdio, no buffers of its own, no threads.
//
// Usage: limit [HOLD_PORT FEED_PORT]   (default 31285 31286, the ports chanlog uses)

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr int kBufLen = 1024;
constexpr char kPrefix[] = "50;";
constexpr std::size_t kPrefixLen = sizeof kPrefix - 1;

std::uint64_t NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

int ConnectLoopback(std::uint16_t port) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s == -1) {
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<const sockaddr *>(&address), sizeof address) == -1) {
        close(s);
        return -1;
    }
    return s;
}

// Writes the decimal digits of `value` at `out` and returns how many there are.
std::size_t FormatDecimal(std::uint64_t value, char *out) {
    char reversed[20];
    std::size_t count = 0;
    do {
        reversed[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = reversed[count - 1 - i];
    }
    return count;
}

std::uint16_t PortArgument(int argc, char **argv, int index, std::uint16_t fallback) {
    if (index >= argc) {
        return fallback;
    }
    const long port = std::strtol(argv[index], nullptr, 10);
    return port > 0 && port < 65536 ? static_cast<std::uint16_t>(port) : fallback;
}

// Builds "<elapsedMs>: <text>\n" in `line`, which has room for 20 digits, 3 bytes and the text.
std::size_t BuildLine(std::uint64_t elapsedMs, const char *text, std::size_t length, char *line) {
    std::size_t at = FormatDecimal(elapsedMs, line);
    line[at++] = ':';
    line[at++] = ' ';
    std::memcpy(line + at, text, length);
    at += length;
    line[at++] = '\n';
    return at;
}

// The text of a receive ends at its first zero byte, as chanlog's does.
std::size_t TextLength(const char *received, std::size_t count) {
    const void *zero = std::memchr(received, 0, count);
    return zero != nullptr ? static_cast<std::size_t>(static_cast<const char *>(zero) - received)
                           : count;
}

void FeedLoop(int feed, int log, std::uint64_t startMs) {
    char received[kBufLen];
    char line[24 + kBufLen];
    for (;;) {
        const ssize_t count = recv(feed, received, sizeof received, 0);
        if (count == -1 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return;
        }
        const std::size_t length = TextLength(received, static_cast<std::size_t>(count));
        if (length < kPrefixLen || std::memcmp(received, kPrefix, kPrefixLen) != 0) {
            continue;
        }
        const std::size_t size = BuildLine(NowMs() - startMs, received, length, line);
        // A line is far below PIPE_BUF, so a pipe takes it whole; a failed write (the reader went
        // away) must not stop the log, which is why SIGPIPE is ignored.
        if (write(STDOUT_FILENO, line, size) < 0) {
            errno = 0;
        }
        if (write(log, line, size) < 0) {
            errno = 0;
        }
    }
}

} // namespace

int main(int argc, char **argv) {
    const std::uint64_t startMs = NowMs();
    std::signal(SIGPIPE, SIG_IGN);
    const std::uint16_t holdPort = PortArgument(argc, argv, 1, 31285);
    const std::uint16_t feedPort = PortArgument(argc, argv, 2, 31286);
    const int log = open("log.txt", O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    const int hold = ConnectLoopback(holdPort);
    const int feed = ConnectLoopback(feedPort);
    if (log == -1 || hold == -1 || feed == -1) {
        return 1;
    }
    FeedLoop(feed, log, startMs);
    close(feed);
    // Like chanlog, the hold connection stays open until the process is killed.
    for (;;) {
        pause();
    }
}
