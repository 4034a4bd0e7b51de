#include "platform/platform.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

namespace {

bool stdoutAvailable = false;
const char *abortMessage = "";
int abortStatus = 1;

bool IsOpen(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

void ExitWithAbortMessage(int /*signal*/) {
    // Only async-signal-safe calls here; a short write leaves nothing better to do.
    const ssize_t ignored = write(STDERR_FILENO, abortMessage, std::strlen(abortMessage));
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

LogOpen PlatformOpenLog(const char *path, std::FILE **file, const char **reason) {
    // Not O_TRUNC: the file is emptied only once the lock shows that no other process writes it.
    const int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
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
    // Only a regular file can be emptied; a device such as /dev/null is written as it is.
    struct stat status {};
    if (fstat(fd, &status) == -1 || (S_ISREG(status.st_mode) && ftruncate(fd, 0) == -1)) {
        return Failed(fd, reason);
    }
    *file = fdopen(fd, "w");
    if (*file == nullptr) {
        return Failed(fd, reason);
    }
    return LogOpen::kOpened;
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

void PlatformIgnoreSigpipe() {
    signal(SIGPIPE, SIG_IGN);
}

void PlatformTrapAbort(const char *message, int status) {
    abortMessage = message;
    abortStatus = status;
    signal(SIGABRT, ExitWithAbortMessage);
}

void PlatformReleaseAbort() {
    signal(SIGABRT, SIG_DFL);
}

void PlatformWaitForever() {
    for (;;) {
        // No handler is installed, so pause() returns only if one ever is; wait again then.
        pause();
    }
}
