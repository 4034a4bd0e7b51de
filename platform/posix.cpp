#include "platform/platform.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

bool stdoutAvailable = false;
int logWatch = -1;      // the inotify watch on the log, or -1
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

// Says why the log could not be opened, and closes what was opened of it.
LogOpen CloseAfterFailure(int fd, const char **reason) {
    *reason = std::strerror(errno);
    if (fd != -1) {
        close(fd);
    }
    return LogOpen::kFailed;
}

// The signals that ask the process to end, which PlatformHoldEndRequests leaves to one thread.
sigset_t EndRequests() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        sigaddset(&set, signal);
    }
    return set;
}

// Waits until `fd` takes a write, for at most `timeoutMs` (-1: as long as it takes). False when
// the time ran out.
bool WaitWritable(int fd, int timeoutMs) {
    pollfd p{fd, POLLOUT, 0};
    int result = 0;
    do {
        result = poll(&p, 1, timeoutMs);
    } while (result == -1 && errno == EINTR);
    return result > 0;
}

// Writes until all of `data` is out or a write fails, and returns how much was written; when that
// is less than `length`, errno says why. A descriptor left in non-blocking mode by whoever shares
// it is waited for, never given up on.
std::size_t WriteAll(int fd, const char *data, std::size_t length) {
    std::size_t written = 0;
    while (written < length) {
        const ssize_t result = write(fd, data + written, length - written);
        if (result > 0) {
            written += static_cast<std::size_t>(result);
        } else if (result == 0) {
            errno = ENOSPC; // only a full file takes nothing of a write that asks for something
            break;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            WaitWritable(fd, -1);
        } else if (errno != EINTR) {
            break;
        }
    }
    return written;
}

// Takes a line that the log took only in part off the end again, so that no later line is glued to
// the piece. The log is written in append mode, so the piece ends where the descriptor's offset
// now is; it is cut only while it is still the end of the file: had another program emptied the
// file or written after the piece meanwhile, cutting would take its bytes or, past a shorter end,
// fill the file with zeros. A file that cannot be cut (a pipe, a device) keeps the piece; nothing
// better can be done there.
void Undo(int fd, std::size_t written) {
    if (written == 0) {
        return;
    }
    const int saved = errno;
    const off_t end = lseek(fd, 0, SEEK_CUR);
    struct stat status {};
    if (end != -1 && fstat(fd, &status) == 0 && status.st_size == end) {
        ftruncate(fd, end - static_cast<off_t>(written));
    }
    errno = saved;
}

// Which file `fd` is.
bool Identify(int fd, LogFile *file) {
    struct stat status {};
    if (fstat(fd, &status) == -1) {
        return false;
    }
    file->dev = status.st_dev;
    file->inode = status.st_ino;
    return true;
}

// The descriptors that reopening standard output reaches the same reader through: a pipe, and a
// terminal's own side (reopening a pseudo-terminal's master side would make a new terminal).
bool ReopensToTheSameReader(const struct stat &status) {
    if (S_ISFIFO(status.st_mode)) {
        return true;
    }
    unsigned int number = 0;
    return S_ISCHR(status.st_mode) && isatty(STDOUT_FILENO) == 1 &&
           ioctl(STDOUT_FILENO, TIOCGPTN, &number) == -1;
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
    // CLOCK_BOOTTIME goes on while the machine is suspended, as Windows' tick count does, so that a
    // stamp after a night asleep says the time since start-up. It never goes backwards, and cannot
    // fail with a valid pointer.
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

// ---- The log file

LogOpen PlatformOpenLog(const char *path, bool empty, LogFile *file, const char **reason) {
    // O_APPEND: every line goes to the end of the file as it is then, so that a file emptied or
    // added to by another program (a rotator's copytruncate, a note appended) gets whole lines and
    // no run of zeros. Not O_TRUNC: the file is emptied only once the lock shows that no other
    // process writes it. O_NONBLOCK: a FIFO without a reader fails at once instead of holding us.
    const int fd =
        open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
    if (fd == -1) {
        return CloseAfterFailure(fd, reason);
    }
    if (flock(fd, LOCK_EX | LOCK_NB) == -1) {
        if (errno != EWOULDBLOCK) {
            return CloseAfterFailure(fd, reason);
        }
        close(fd);
        return LogOpen::kInUse;
    }
    // Only a regular file can be emptied; a device such as /dev/null is written as it is. Writes
    // wait as they always do once it is open.
    struct stat status {};
    if (fstat(fd, &status) == -1 || (empty && S_ISREG(status.st_mode) && ftruncate(fd, 0) == -1) ||
        fcntl(fd, F_SETFL, O_APPEND) == -1 || !Identify(fd, file)) {
        return CloseAfterFailure(fd, reason);
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

bool PlatformLogMoved(const LogFile *file, const char *path) {
    struct stat status {};
    if (stat(path, &status) == -1) {
        // Gone, or its folder is; any other failure says nothing of where the name points.
        return errno == ENOENT || errno == ENOTDIR;
    }
    return status.st_dev != file->dev || status.st_ino != file->inode;
}

// One inotify instance for the log's watch, made when it is first needed.
int Inotify() {
    static const int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    return fd;
}

bool PlatformWatchLog(const char *path) {
    // IN_ATTRIB: the link count falls when the file is removed, or replaced by a rename over it;
    // a write is no attribute change, so the log's own lines raise nothing.
    const int next = Inotify() == -1 ? -1
                                     : inotify_add_watch(Inotify(), path,
                                                         IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF);
    if (next == -1) {
        return false;
    }
    if (logWatch != -1 && logWatch != next) {
        inotify_rm_watch(Inotify(), logWatch);
    }
    logWatch = next;
    return true;
}

bool PlatformLogMayHaveMoved() {
    // The kernel queues an event as the file is moved or removed, so a line after that sees it.
    alignas(inotify_event) char events[4096];
    bool any = false;
    while (read(Inotify(), events, sizeof events) > 0) {
        any = true;
    }
    return any;
}

void PlatformFullPath(const char *path, char *out, std::size_t size) {
    char full[PATH_MAX];
    std::snprintf(out, size, "%s", realpath(path, full) != nullptr ? full : path);
}

int PlatformDuplicateLog(const LogFile *file, LogFile *copy) {
    *copy = *file;
    copy->fd = fcntl(file->fd, F_DUPFD_CLOEXEC, 0);
    return copy->fd == -1 ? -1 : 0;
}

int PlatformSyncLog(const LogFile *file, const char **reason) {
    // The data and the size, not the time stamps: what a reader after a power cut needs.
    if (fdatasync(file->fd) == 0 || errno == EINVAL || errno == EROFS) {
        return 0; // EINVAL, EROFS: a FIFO or a device, which keeps nothing to sync
    }
    *reason = std::strerror(errno);
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
    if (S_ISREG(status.st_mode) || (S_ISCHR(status.st_mode) && major(status.st_rdev) == 1)) {
        // A file, or a memory device such as /dev/null, takes a write at once. It is written
        // through the very descriptor the shell gave: one opened anew would have an offset of its
        // own, so with `>` it would write over what the shell's other writers (our standard error
        // after 2>&1) put there, and it would not append after `>>`.
        tryFd = STDOUT_FILENO;
        return;
    }
    if (S_ISSOCK(status.st_mode)) {
        trySocket = true; // send() can be told not to wait
        return;
    }
    if (!ReopensToTheSameReader(status)) {
        return; // every line goes through the console thread, which works everywhere
    }
    // A pipe or terminal of our own opening, apart from the one we share with the shell and the
    // other programs on it: O_NONBLOCK on the shared one would reach them too. Where it cannot be
    // opened (a pipe whose reader has gone), every line goes through the console thread.
    tryFd = open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat reopened {};
    if (tryFd != -1 && (fstat(tryFd, &reopened) == -1 || reopened.st_dev != status.st_dev ||
                        reopened.st_ino != status.st_ino || reopened.st_rdev != status.st_rdev)) {
        close(tryFd);
        tryFd = -1;
    }
}

std::size_t PlatformConsoleTryWrite(const char *data, std::size_t length) {
    if (tryFd == -1 && !trySocket) {
        return 0;
    }
    const ssize_t result = trySocket
                               ? send(STDOUT_FILENO, data, length, MSG_DONTWAIT | MSG_NOSIGNAL)
                               : write(tryFd, data, length);
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

// ---- Process

void PlatformRecordStdoutAndGuardStandardStreams() {
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
    // In the background on a terminal set to `stty tostop`, a write to it would stop the whole
    // process, the log with it; ignored, the write goes through.
    signal(SIGTTOU, SIG_IGN);
}

void PlatformHoldEndRequests() {
    // Blocked in every thread, they stay pending until PlatformWaitForEndRequest takes them.
    const sigset_t requests = EndRequests();
    pthread_sigmask(SIG_BLOCK, &requests, nullptr);
}

int PlatformWaitForEndRequest() {
    const sigset_t requests = EndRequests();
    int signal = 0;
    while (sigwait(&requests, &signal) != 0) {
    }
    return signal;
}

void PlatformEndAsRequested(int request) {
    // The signal's own status: the process ends by it, as it would have without us.
    std::signal(request, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, request);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    pthread_kill(pthread_self(), request);
    _exit(128 + request); // not reached: the signal ends the process
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
