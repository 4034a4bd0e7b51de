// Standard output and standard error: standard output written at once where that can never wait,
// otherwise waited for, also where whoever shares them left them in non-blocking mode.

#include "platform/platform.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "platform/posix/io.h"

namespace {

// How standard output is written without holding up the caller: through `fd`, or not at all (-1).
struct Direct {
    int fd = -1;
    bool socket = false; // send() is told not to wait
};
Direct direct;
bool stderrApart = false; // standard error is a file of its own

// The descriptors that reopening reaches the same reader through: a pipe, and a terminal's own side
// (reopening a pseudo-terminal's master side would make a new terminal).
bool ReopensToTheSameReader(int fd, const struct stat &status) {
    if (S_ISFIFO(status.st_mode)) {
        return true;
    }
    unsigned int number = 0;
    return S_ISCHR(status.st_mode) && isatty(fd) == 1 && ioctl(fd, TIOCGPTN, &number) == -1;
}

// How `fd`, which is `status`, is written without holding up the caller. Not a regular file:
// its write can wait too (a network file system that does not answer).
Direct DirectFor(int fd, const struct stat &status) {
    // A memory device such as /dev/null never waits.
    if (S_ISCHR(status.st_mode) && major(status.st_rdev) == 1) {
        return {fd, false};
    }
    if (S_ISSOCK(status.st_mode)) {
        return {fd, true};
    }
    if (!ReopensToTheSameReader(fd, status)) {
        return {}; // through the console's writer, which works everywhere
    }
    // A pipe or terminal of our own opening, apart from the one we share with the shell and the
    // other programs on it: O_NONBLOCK on the shared one would reach them too. Where it cannot be
    // opened (a pipe whose reader has gone), the console's writer writes it instead.
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

// The last words, written by a thread of their own: the caller waits for them no longer than it
// may, and a write that does not return holds up only that thread, which the process's end takes
// with it. Whichever of the two lets go of it last frees it.
struct LastWords {
    int fd;
    std::string data;
    std::mutex lock;
    std::condition_variable written;
    bool done = false;
    int holders = 2;
};

void LetGo(LastWords *words) {
    bool last = false;
    {
        const std::lock_guard hold(words->lock);
        last = --words->holders == 0;
    }
    if (last) {
        delete words;
    }
}

void *WriteLastWords(void *argument) {
    auto *words = static_cast<LastWords *>(argument);
    WriteAll(words->fd, words->data.data(), words->data.size());
    {
        const std::lock_guard hold(words->lock);
        words->done = true;
    }
    words->written.notify_one();
    LetGo(words);
    return nullptr;
}

} // namespace

void PlatformConsolePrepare() {
    struct stat out {};
    struct stat err {};
    const bool haveOut = PlatformStdoutAvailable() && fstat(STDOUT_FILENO, &out) == 0;
    const bool haveErr = fstat(STDERR_FILENO, &err) == 0;
    if (haveOut) {
        direct = DirectFor(STDOUT_FILENO, out);
    }
    // As one file with standard output (2>&1, a terminal), standard error waits its turn behind
    // it, in order.
    stderrApart = haveErr && !(haveOut && out.st_dev == err.st_dev && out.st_ino == err.st_ino);
}

std::size_t PlatformStdoutTryWrite(const char *data, std::size_t length, bool *stalled) {
    *stalled = false;
    if (direct.fd == -1) {
        return 0;
    }
    const ssize_t result = direct.socket
                               ? send(direct.fd, data, length, MSG_DONTWAIT | MSG_NOSIGNAL)
                               : write(direct.fd, data, length);
    if (result < 0) {
        *stalled = errno == EAGAIN || errno == EWOULDBLOCK;
        return 0;
    }
    *stalled = static_cast<std::size_t>(result) < length; // a pipe or socket with no more room
    return static_cast<std::size_t>(result);
}

bool PlatformStderrApart() {
    return stderrApart;
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
    if (length == 0) {
        return;
    }
    auto *words = new (std::nothrow) LastWords{
        stream == Stream::kOut ? STDOUT_FILENO : STDERR_FILENO, std::string(data, length), {}, {}};
    if (words == nullptr) {
        return;
    }
    pthread_attr_t detached;
    pthread_attr_init(&detached);
    pthread_attr_setdetachstate(&detached, PTHREAD_CREATE_DETACHED);
    pthread_t writer{};
    const int started = pthread_create(&writer, &detached, WriteLastWords, words);
    pthread_attr_destroy(&detached);
    if (started != 0) {
        delete words;
        return;
    }
    {
        std::unique_lock hold(words->lock);
        words->written.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                                [words] { return words->done; });
    }
    LetGo(words);
}
