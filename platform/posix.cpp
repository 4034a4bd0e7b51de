#include "platform/platform.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

bool stdoutAvailable = false;
int tryFd = -1;         // standard output for writes that never wait, or -1
bool trySocket = false; // standard output is a socket, which send() writes without waiting
const char *abortMessage = "";
int abortFd = STDERR_FILENO; // where the abort message goes: standard error as it was
int abortStatus = 1;

bool IsOpen(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

void ExitWithAbortMessage(int /*signal*/) {
    // Only async-signal-safe calls here; a short write leaves nothing better to do.
    const ssize_t ignored = write(abortFd, abortMessage, std::strlen(abortMessage));
    (void)ignored;
    _exit(abortStatus);
}

LogOpen Failed(int fd, const char **reason) {
    *reason = std::strerror(errno);
    if (fd != -1) {
        close(fd);
    }
    return LogOpen::kFailed;
}

// Writes until all of `data` is out or a write fails, and returns how much was written; when that
// is less than `length`, errno says why.
std::size_t WriteAll(int fd, const char *data, std::size_t length) {
    std::size_t written = 0;
    while (written < length) {
        const ssize_t result = write(fd, data + written, length - written);
        if (result > 0) {
            written += static_cast<std::size_t>(result);
        } else if (result == 0) {
            errno = ENOSPC; // only a full file takes nothing of a write that asks for something
            break;
        } else if (errno != EINTR) {
            break;
        }
    }
    return written;
}

// Takes a line that the log took only in part off its end again, so that no later line is glued to
// the piece. A file that cannot be cut (a pipe, a device) keeps the piece; nothing better can be
// done there.
void Undo(int fd, std::size_t written) {
    if (written == 0) {
        return;
    }
    const int saved = errno;
    const off_t end = lseek(fd, 0, SEEK_CUR);
    if (end != -1 && ftruncate(fd, end - static_cast<off_t>(written)) == 0) {
        lseek(fd, end - static_cast<off_t>(written), SEEK_SET);
    }
    errno = saved;
}

} // namespace

// ---- Sockets

int PlatformNetStartup(std::uint16_t version, NetData *data) {
    data->version = version;
    return 0;
}

void PlatformNetCleanup() {}

Socket PlatformSocketOpen() {
    return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
}

int PlatformSocketConnect(Socket socket, const sockaddr_in *address) {
    return connect(socket, reinterpret_cast<const sockaddr *>(address), sizeof *address);
}

int PlatformSocketReceive(Socket socket, char *buffer, std::size_t length) {
    ssize_t received = 0;
    // An interrupted receive has lost nothing: take it again rather than report a failure.
    do {
        received = recv(socket, buffer, length, 0);
    } while (received == -1 && errno == EINTR);
    return static_cast<int>(received);
}

int PlatformSocketClose(Socket socket) {
    return close(socket);
}

int PlatformSocketError() {
    return errno;
}

// ---- Clock

std::uint64_t PlatformTickMs() {
    timespec now{};
    // CLOCK_MONOTONIC cannot fail with a valid pointer, and never goes backwards.
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

// ---- The log file

LogOpen PlatformOpenLog(const char *path, LogFile *file, const char **reason) {
    // Not O_TRUNC: the file is emptied only once the lock shows that no other process writes it.
    // O_NONBLOCK: a FIFO without a reader fails at once instead of holding start-up.
    const int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
    if (fd == -1) {
        return Failed(fd, reason);
    }
    if (flock(fd, LOCK_EX | LOCK_NB) == -1) {
        if (errno != EWOULDBLOCK) {
            return Failed(fd, reason);
        }
        close(fd);
        return LogOpen::kInUse;
    }
    // Only a regular file can be emptied; a device such as /dev/null is written as it is. Writes
    // wait as they always do once it is open.
    struct stat status {};
    if (fstat(fd, &status) == -1 || (S_ISREG(status.st_mode) && ftruncate(fd, 0) == -1) ||
        fcntl(fd, F_SETFL, 0) == -1) {
        return Failed(fd, reason);
    }
    file->fd = fd;
    return LogOpen::kOpened;
}

int PlatformLogAppend(LogFile *file, const char *line, std::size_t length, const char **reason) {
    const std::size_t written = WriteAll(file->fd, line, length);
    if (written == length) {
        return 0;
    }
    *reason = std::strerror(errno);
    Undo(file->fd, written);
    return -1;
}

int PlatformCloseLog(LogFile *file, const char **reason) {
    if (file->fd == -1) {
        return 0;
    }
    const int result = close(file->fd);
    file->fd = -1;
    if (result == -1) {
        *reason = std::strerror(errno);
    }
    return result;
}

// ---- The console

void PlatformConsolePrepare() {
    struct stat status {};
    if (!stdoutAvailable || fstat(STDOUT_FILENO, &status) == -1) {
        return;
    }
    if (S_ISREG(status.st_mode)) {
        tryFd = STDOUT_FILENO; // a file takes a write at once
    } else if (S_ISSOCK(status.st_mode)) {
        trySocket = true; // send() can be told not to wait
    } else {
        // A pipe or terminal of our own opening, apart from the one we share with the shell and
        // the other programs on it: O_NONBLOCK on the shared one would reach them too. Where it
        // cannot be opened (a pipe whose reader has gone), every write waits its turn instead.
        tryFd = open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    }
}

std::size_t PlatformConsoleTryWrite(const char *data, std::size_t length) {
    if (tryFd == -1 && !trySocket) {
        return 0;
    }
    const ssize_t result = trySocket
                               ? send(STDOUT_FILENO, data, length, MSG_DONTWAIT | MSG_NOSIGNAL)
                               : write(tryFd, data, length);
    if (result >= 0) {
        return static_cast<std::size_t>(result);
    }
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : length;
}

void PlatformConsoleWrite(Stream stream, const char *data, std::size_t length) {
    // What a console that failed for good (its reader went away) did not take is lost to nobody.
    WriteAll(stream == Stream::kOut ? STDOUT_FILENO : STDERR_FILENO, data, length);
}

// ---- Process

void PlatformRecordStdout() {
    stdoutAvailable = IsOpen(STDOUT_FILENO);
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        // open() takes the lowest free descriptor, which is this one, since the lower ones are
        // open by now. If even /dev/null cannot be opened there is nothing better to do.
        if (!IsOpen(fd)) {
            open("/dev/null", O_RDWR);
        }
    }
}

bool PlatformStdoutAvailable() {
    return stdoutAvailable;
}

void PlatformIgnoreSignals() {
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
}

void PlatformForgetDisplay() {
    unsetenv("DISPLAY");
}

const char *PlatformHelpSwitch() {
    return nullptr;
}

const char *PlatformManual() {
    return "man chanlog";
}

void PlatformTrapAbort(const char *message, int status) {
    abortMessage = message;
    abortStatus = status;
    // The library's own complaint goes to /dev/null; the message, to standard error as it was.
    const int saved = dup(STDERR_FILENO);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved != -1 && null != -1 && dup2(null, STDERR_FILENO) != -1) {
        abortFd = saved;
    } else if (saved != -1) {
        close(saved);
    }
    if (null != -1) {
        close(null);
    }
    signal(SIGABRT, ExitWithAbortMessage);
}

void PlatformReleaseAbort() {
    signal(SIGABRT, SIG_DFL);
    if (abortFd != STDERR_FILENO) {
        dup2(abortFd, STDERR_FILENO);
        close(abortFd);
        abortFd = STDERR_FILENO;
    }
}

void PlatformWaitForever() {
    for (;;) {
        // No handler is installed, so pause() returns only if one ever is; wait again then.
        pause();
    }
}
