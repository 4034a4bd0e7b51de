// The log file: opened for appending and locked, one left by an earlier run moved aside, each line
// written whole or not at all, followed when its name goes elsewhere, and put on the disk.

#include "platform/platform.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/posix/io.h"

namespace {

// How many names a log moved aside tries, the plain one and then numbered ones, before it gives up:
// more than any number of starts within one second.
constexpr unsigned kAsideNamesMax = 1000;

// Says why the log could not be opened, and closes what was opened of it.
LogOpen CloseAfterFailure(int fd, const char **reason) {
    *reason = std::strerror(errno);
    if (fd != -1) {
        close(fd);
    }
    return LogOpen::kFailed;
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

// Whether the file holds anything that a new run must not write after: a regular file that is not
// empty. A device or FIFO keeps nothing, and an empty file nothing worth keeping.
bool HoldsLines(int fd) {
    struct stat status {};
    return fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0;
}

// Renames `from` to `to` unless a file of that name is there: 0, or -1 with errno (EEXIST when
// one is). A file system that cannot rename so gets a hard link and the old name's removal, which
// replaces nothing either.
int RenameWithoutReplacing(const char *from, const char *to) {
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return -1;
    }
    if (link(from, to) == -1) {
        return -1;
    }
    return unlink(from);
}

// Moves the file that `path` stands for (through any links) to its own name with `suffix` after
// it, numbered where that name is taken, and writes where it went into `movedTo`.
bool MoveAside(const char *path, const char *suffix, char *movedTo, std::size_t size,
               const char **reason) {
    char from[PATH_MAX];
    if (realpath(path, from) == nullptr) {
        *reason = std::strerror(errno);
        return false;
    }
    char to[PATH_MAX];
    for (unsigned number = 0; number < kAsideNamesMax; ++number) {
        const int length = number == 0
                               ? std::snprintf(to, sizeof to, "%s%s", from, suffix)
                               : std::snprintf(to, sizeof to, "%s%s.%u", from, suffix, number);
        if (length < 0 || static_cast<std::size_t>(length) >= sizeof to) {
            errno = ENAMETOOLONG;
            break;
        }
        if (RenameWithoutReplacing(from, to) == 0) {
            std::snprintf(movedTo, size, "%s", to);
            return true;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    *reason = std::strerror(errno);
    return false;
}

} // namespace

LogOpen PlatformOpenLog(const char *path, LogFile *file, const char **reason) {
    // O_APPEND: every line goes to the end of the file as it is then, so that a file emptied or
    // added to by another program (a rotator's copytruncate, a note appended) gets whole lines and
    // no run of zeros. O_NONBLOCK: a FIFO without a reader fails at once instead of holding us.
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
    // Writes wait as they always do once it is open.
    if (fcntl(fd, F_SETFL, O_APPEND) == -1 || !Identify(fd, file)) {
        return CloseAfterFailure(fd, reason);
    }
    file->fd = fd;
    return LogOpen::kOpened;
}

LogOpen PlatformOpenNewLog(const char *path, const char *suffix, LogFile *file, char *movedTo,
                           std::size_t size, const char **reason) {
    movedTo[0] = '\0';
    // Locked first: a log that another chanlog writes is not moved from under it.
    LogFile earlier = kNoLogFile;
    const LogOpen opened = PlatformOpenLog(path, &earlier, reason);
    if (opened != LogOpen::kOpened || !HoldsLines(earlier.fd)) {
        *file = earlier;
        return opened;
    }
    // Still locked while it is moved, so that no other chanlog starts writing it meanwhile.
    if (!MoveAside(path, suffix, movedTo, size, reason)) {
        close(earlier.fd);
        return LogOpen::kNotMoved;
    }
    const LogOpen fresh = PlatformOpenLog(path, file, reason);
    close(earlier.fd);
    return fresh;
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

bool PlatformLogStillNamed(const LogFile *file) {
    struct stat status {};
    return fstat(file->fd, &status) == -1 || status.st_nlink > 0;
}

bool PlatformNameTaken(const char *path) {
    struct stat status {};
    return stat(path, &status) == 0;
}

void PlatformFullPath(const char *path, char *out, std::size_t size) {
    char full[PATH_MAX];
    std::snprintf(out, size, "%s", realpath(path, full) != nullptr ? full : path);
}

int PlatformAbsolutePath(const char *name, char *out, std::size_t size, const char **reason) {
    // getcwd gives the folder's path without links, as the kernel has it.
    const std::size_t used = getcwd(out, size) == nullptr ? 0 : std::strlen(out);
    if (used == 0) {
        *reason = std::strerror(errno);
        return -1;
    }
    const char *slash = out[used - 1] == '/' ? "" : "/";
    const int length = std::snprintf(out + used, size - used, "%s%s", slash, name);
    if (length < 0 || static_cast<std::size_t>(length) >= size - used) {
        *reason = std::strerror(ENAMETOOLONG);
        return -1;
    }
    return 0;
}

int PlatformDuplicateLog(const LogFile *file, LogFile *copy, const char **reason) {
    *copy = *file;
    copy->fd = fcntl(file->fd, F_DUPFD_CLOEXEC, 0);
    if (copy->fd == -1) {
        *reason = std::strerror(errno);
        return -1;
    }
    return 0;
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
