// The log file: written at its end, locked by its share mode, which also keeps it from being moved
// or removed while it is open, one left by an earlier run moved aside, and put on the disk.

#include "platform/platform.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "platform/win32/text.h"

namespace {

// Room for the longest line the log is given; its text form may double in size.
constexpr std::size_t kLogLineMax = 2048;

// Takes a line that the log took only in part off its end again, so that no later line is glued to
// the piece. Nobody else writes the file while it is open (it is shared for reading only), so the
// piece is the end of the file.
void Undo(HANDLE file, DWORD written) {
    if (written == 0) {
        return;
    }
    LARGE_INTEGER size{};
    if (GetFileSizeEx(file, &size) && size.QuadPart >= static_cast<LONGLONG>(written)) {
        size.QuadPart -= written;
        if (SetFilePointerEx(file, size, nullptr, FILE_BEGIN)) {
            SetEndOfFile(file);
        }
    }
}

// The log could not be opened: tells whether that was because another program holds it without
// sharing writes (a second chanlog, an editor), or for another reason, which `*reason` then says.
LogOpen ClassifyFailure(const char **reason) {
    const DWORD error = GetLastError();
    if (error == ERROR_SHARING_VIOLATION) {
        return LogOpen::kInUse;
    }
    *reason = FileErrorText(error);
    return LogOpen::kFailed;
}

// Whether the file holds anything that a new run must not write after: a file on a disk that is
// not empty. A device such as NUL keeps nothing, and an empty file nothing worth keeping.
bool HoldsLines(HANDLE file) {
    LARGE_INTEGER size{};
    return GetFileType(file) == FILE_TYPE_DISK && GetFileSizeEx(file, &size) && size.QuadPart > 0;
}

// How many names a log moved aside tries, the plain one and then numbered ones, before it gives up:
// more than any number of starts within one second.
constexpr unsigned kAsideNamesMax = 1000;

// Moves the file `path` names to its name with `suffix` after it, numbered where that name is
// taken (MoveFileEx without MOVEFILE_REPLACE_EXISTING replaces nothing), and writes where it went
// into `movedTo`. Refused while another program holds it without sharing deletion.
bool MoveAside(const char *path, const char *suffix, char *movedTo, std::size_t size,
               const char **reason) {
    char to[MAX_PATH];
    DWORD error = ERROR_FILE_EXISTS;
    for (unsigned number = 0; number < kAsideNamesMax && error == ERROR_FILE_EXISTS; ++number) {
        const int length = number == 0
                               ? std::snprintf(to, sizeof to, "%s%s", path, suffix)
                               : std::snprintf(to, sizeof to, "%s%s.%u", path, suffix, number);
        if (length < 0 || static_cast<std::size_t>(length) >= sizeof to) {
            error = ERROR_FILENAME_EXCED_RANGE;
            break;
        }
        if (MoveFileExA(path, to, 0)) {
            PlatformFullPath(to, movedTo, size);
            return true;
        }
        error = GetLastError();
        error = error == ERROR_ALREADY_EXISTS ? ERROR_FILE_EXISTS : error;
    }
    *reason = FileErrorText(error);
    return false;
}

} // namespace

LogOpen PlatformOpenLog(const char *path, LogFile *file, const char **reason) {
    // Readers may share the file; a second writer is refused with a sharing violation. Without
    // FILE_SHARE_DELETE nobody can move or remove it while it is open, so its name always stands
    // for it.
    HANDLE handle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return ClassifyFailure(reason);
    }
    file->handle = handle;
    return LogOpen::kOpened;
}

LogOpen PlatformOpenNewLog(const char *path, const char *suffix, LogFile *file, char *movedTo,
                           std::size_t size, const char **reason) {
    movedTo[0] = '\0';
    // Opened first as the log is: another chanlog's log is in use, and nothing is moved.
    LogFile earlier = kNoLogFile;
    const LogOpen opened = PlatformOpenLog(path, &earlier, reason);
    if (opened != LogOpen::kOpened || !HoldsLines(earlier.handle)) {
        *file = earlier;
        return opened;
    }
    // Our own handle, which does not share deletion, would refuse the move: it is let go of first.
    CloseHandle(earlier.handle);
    if (!MoveAside(path, suffix, movedTo, size, reason)) {
        return LogOpen::kNotMoved;
    }
    return PlatformOpenLog(path, file, reason);
}

int PlatformLogAppend(LogFile *file, const char *line, std::size_t length, const char **reason) {
    // A text file's line ends are CR LF, also for the line feeds inside a received text; one that
    // came as CR LF stays so. A line begins with its time stamp, so no CR is before it.
    char text[2 * kLogLineMax];
    const DWORD size = ToText(line, std::min(length, kLogLineMax), false, text);
    DWORD error = 0;
    const DWORD written = WriteAll(file->handle, text, size, true, &error);
    if (written == size) {
        return 0;
    }
    *reason = FileErrorText(error);
    Undo(file->handle, written);
    return -1;
}

bool PlatformLogMoved(const LogFile * /*file*/, const char * /*path*/) {
    return false; // the log is opened without FILE_SHARE_DELETE: it cannot be moved or removed
}

bool PlatformLogStillNamed(const LogFile * /*file*/) {
    return true;
}

bool PlatformNameTaken(const char *path) {
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

int PlatformWatchLog(const char * /*path*/) {
    return -1; // nothing to watch: the log cannot be moved or removed while it is open
}

bool PlatformLogMayHaveMoved() {
    return false;
}

void PlatformFullPath(const char *path, char *out, std::size_t size) {
    const DWORD length = GetFullPathNameA(path, static_cast<DWORD>(size), out, nullptr);
    if (length == 0 || length >= size) {
        std::snprintf(out, size, "%s", path);
    }
}

int PlatformAbsolutePath(const char *name, char *out, std::size_t size, const char **reason) {
    const DWORD length = GetFullPathNameA(name, static_cast<DWORD>(size), out, nullptr);
    if (length == 0 || length >= size) {
        *reason = FileErrorText(length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE);
        return -1;
    }
    return 0;
}

int PlatformDuplicateLog(const LogFile *file, LogFile *copy, const char **reason) {
    HANDLE process = GetCurrentProcess();
    HANDLE handle = nullptr;
    if (!DuplicateHandle(process, static_cast<HANDLE>(file->handle), process, &handle, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        *reason = FileErrorText(GetLastError());
        return -1;
    }
    copy->handle = handle;
    return 0;
}

int PlatformSyncLog(const LogFile *file, const char **reason) {
    if (FlushFileBuffers(static_cast<HANDLE>(file->handle))) {
        return 0;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_INVALID_HANDLE || error == ERROR_INVALID_FUNCTION) {
        return 0; // a device such as NUL, which keeps nothing to flush
    }
    *reason = FileErrorText(error);
    return -1;
}

void PlatformUnlockLog(const LogFile * /*file*/) {
    // The log is locked by its share mode, which lasts as long as it is open; on Windows it is
    // never moved away while open, so it never needs letting go of sooner.
}

int PlatformCloseLog(LogFile *file, const char **reason) {
    if (file->handle == nullptr) {
        return 0;
    }
    const BOOL closed = CloseHandle(file->handle);
    file->handle = nullptr;
    if (!closed) {
        *reason = FileErrorText(GetLastError());
        return -1;
    }
    return 0;
}
