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
#include <string>

namespace {

bool stdoutAvailable = false;
int logWatch = -1;      // the inotify watch on the log, or -1
int folderWatch = -1;   // the inotify watch on the log's folder, for its name, or -1
char logName[256] = ""; // the log's name in its folder
// How a stream is written without holding up the caller: through `fd`, or not at all (-1).
struct Direct {
    int fd = -1;
    bool socket = false; // send() is told not to wait
};
Direct direct[2]; // standard output, standard error
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

// The signals that ask the process to end and that PlatformHoldEndRequests leaves to one thread:
// those not ignored when it started (nohup ignores SIGHUP, a shell SIGINT for a job in the
// background), which stay ignored.
sigset_t endRequests;

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
// fill the file with zeros. (One that does so between the look and the cut, a matter of
// microseconds, cannot be told from here.) A file that cannot be cut (a pipe, a device) keeps the
// piece; nothing better can be done there.
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
    // A device such as /dev/null or /dev/full is no file that two writers could spoil: it is not
    // locked, so that chanlogs in other folders may all log there.
    struct stat status {};
    if (fstat(fd, &status) == -1) {
        return CloseAfterFailure(fd, reason);
    }
    if (!S_ISCHR(status.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == -1) {
        if (errno != EWOULDBLOCK) {
            return CloseAfterFailure(fd, reason);
        }
        close(fd);
        return LogOpen::kInUse;
    }
    // Only a regular file can be emptied; a device is written as it is. Writes wait as they always
    // do once it is open.
    if ((empty && S_ISREG(status.st_mode) && ftruncate(fd, 0) == -1) ||
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
    if (Inotify() == -1) {
        return false;
    }
    // The file: IN_ATTRIB, since its link count falls when it is removed, or replaced by a rename
    // over it; a write is no attribute change, so the log's own lines raise nothing. IN_MOVE_SELF:
    // where the log's name is a link, the file it points to may be moved under another name, which
    // no event of the log's name shows.
    const int file = inotify_add_watch(Inotify(), path, IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF);
    // Its folder, for the name: a link that comes to point elsewhere changes no file.
    const char *slash = std::strrchr(path, '/');
    const std::string folder = slash == nullptr ? "." : std::string(path, slash);
    const int names =
        inotify_add_watch(Inotify(), folder.empty() ? "/" : folder.c_str(),
                          IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR);
    if (file == -1 || names == -1) {
        return false;
    }
    if (logWatch != -1 && logWatch != file && logWatch != names) {
        inotify_rm_watch(Inotify(), logWatch);
    }
    logWatch = file;
    folderWatch = names;
    std::snprintf(logName, sizeof logName, "%s", slash == nullptr ? path : slash + 1);
    return true;
}

bool PlatformLogMayHaveMoved() {
    // The kernel queues an event as the file is moved or removed, so a line after that sees it.
    alignas(inotify_event) char events[4096];
    bool moved = false;
    ssize_t length = 0;
    while ((length = read(Inotify(), events, sizeof events)) > 0) {
        for (ssize_t at = 0; at < length;) {
            const auto *event = reinterpret_cast<const inotify_event *>(events + at);
            // Of the folder's names, only the log's own matters; a watch given up (the file
            // before the log's last move) says nothing of the file written now.
            const bool name = event->wd == folderWatch;
            moved = moved || (!name && (event->mask & IN_IGNORED) == 0) ||
                    (name && event->len > 0 && std::strcmp(event->name, logName) == 0);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    return moved;
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

void PlatformUnlockLog(const LogFile *file) {
    flock(file->fd, LOCK_UN);
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
    struct stat out {};
    struct stat err {};
    const bool haveOut = stdoutAvailable && fstat(STDOUT_FILENO, &out) == 0;
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
    sigemptyset(&endRequests);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction now {};
        if (sigaction(signal, nullptr, &now) == 0 && now.sa_handler != SIG_IGN) {
            sigaddset(&endRequests, signal);
        }
    }
    // Blocked in every thread, they stay pending until PlatformWaitForEndRequest takes them.
    pthread_sigmask(SIG_BLOCK, &endRequests, nullptr);
}

int PlatformWaitForEndRequest() {
    int signal = 0;
    while (sigwait(&endRequests, &signal) != 0) {
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
