// Standard output and standard error: written at once where that can never wait, otherwise
// waited for, also where whoever shares them left them in non-blocking mode.

#include "platform/platform.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/posix/io.h"

namespace {

// How a stream is written without holding up the caller: through `fd`, or not at all (-1).
struct Direct {
    int fd = -1;
    bool socket = false; // send() is told not to wait
};
Direct direct[2]; // standard output, standard error

// The descriptors that reopening reaches the same reader through: a pipe, and a terminal's own side
// (reopening a pseudo-terminal's master side would make a new terminal).
bool ReopensToTheSameReader(int fd, const struct stat &status) {
    if (S_ISFIFO(status.st_mode)) {
        return true;
    }
    unsigned int number = 0;
    return S_ISCHR(status.st_mode) && isatty(fd) == 1 && ioctl(fd, TIOCGPTN, &number) == -1;
}

// How `fd`, which is `status`, is written without holding up the caller. `files`: whether a
// regular file is, for the rare messages of standard error; the lines of standard output go to one
// through the console thread, since a file's write can wait too (a network file system that does
// not answer).
Direct DirectFor(int fd, const struct stat &status, bool files) {
    // A memory device such as /dev/null never waits, and a file (standard error's) is written
    // through the very descriptor the shell gave: one opened anew would have an offset of its own,
    // so after `>` it would write over what the shell's other writers put there, and after `>>` it
    // would not append.
    if ((S_ISCHR(status.st_mode) && major(status.st_rdev) == 1) ||
        (files && S_ISREG(status.st_mode))) {
        return {fd, false};
    }
    if (S_ISSOCK(status.st_mode)) {
        return {fd, true};
    }
    if (!ReopensToTheSameReader(fd, status)) {
        return {}; // through the console thread, which works everywhere
    }
    // A pipe or terminal of our own opening, apart from the one we share with the shell and the
    // other programs on it: O_NONBLOCK on the shared one would reach them too. Where it cannot be
    // opened (a pipe whose reader has gone), the console thread writes it instead.
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const int own = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat reopened {};
    if (own != -1 && (fstat(own, &reopened) == -1 || reopened.st_dev != status.st_dev ||
                      reopened.st_ino != status.st_ino || reopened.st_rdev != status.st_rdev)) {
        close(own);
        return {};
    }
    return {own, false};
}

} // namespace

void PlatformConsolePrepare() {
    struct stat out {};
    struct stat err {};
    const bool haveOut = PlatformStdoutAvailable() && fstat(STDOUT_FILENO, &out) == 0;
    const bool haveErr = fstat(STDERR_FILENO, &err) == 0;
    if (haveOut) {
        direct[0] = DirectFor(STDOUT_FILENO, out, false);
    }
    // Standard error is written apart only where it is a file of its own; as one file with
    // standard output (2>&1, a terminal) it waits its turn behind it, in order.
    if (haveErr && !(haveOut && out.st_dev == err.st_dev && out.st_ino == err.st_ino)) {
        direct[1] = DirectFor(STDERR_FILENO, err, true);
    }
}

std::size_t PlatformConsoleTryWrite(Stream stream, const char *data, std::size_t length) {
    const Direct &to = direct[stream == Stream::kOut ? 0 : 1];
    if (to.fd == -1) {
        return 0;
    }
    const ssize_t result = to.socket ? send(to.fd, data, length, MSG_DONTWAIT | MSG_NOSIGNAL)
                                     : write(to.fd, data, length);
    return result > 0 ? static_cast<std::size_t>(result) : 0;
}

ConsoleWrite PlatformConsoleWrite(Stream stream, const char *data, std::size_t length,
                                  std::size_t *written, const char **reason) {
    *written = WriteAll(stream == Stream::kOut ? STDOUT_FILENO : STDERR_FILENO, data, length);
    if (*written == length) {
        return ConsoleWrite::kDone;
    }
    if (errno == EPIPE || errno == ECONNRESET) {
        return ConsoleWrite::kGone;
    }
    *reason = std::strerror(errno);
    return ConsoleWrite::kFailed;
}

void PlatformConsoleWriteWithin(Stream stream, const char *data, std::size_t length,
                                int timeoutMs) {
    const int fd = stream == Stream::kOut ? STDOUT_FILENO : STDERR_FILENO;
    const std::uint64_t deadline = PlatformTickMs() + static_cast<std::uint64_t>(timeoutMs);
    // A terminal stopped by Ctrl-S or a full pipe does not show itself writable. One that does
    // takes a write of a small piece without waiting: a pipe has a free page then.
    constexpr std::size_t kPiece = 512;
    std::size_t written = 0;
    while (written < length) {
        const std::uint64_t now = PlatformTickMs();
        if (now >= deadline || !WaitWritable(fd, static_cast<int>(deadline - now))) {
            return;
        }
        const ssize_t result = write(fd, data + written, std::min(length - written, kPiece));
        if (result > 0) {
            written += static_cast<std::size_t>(result);
        } else if (result == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
            return;
        }
    }
}
