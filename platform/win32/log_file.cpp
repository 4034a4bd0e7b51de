// The log file: written at its end, locked by its share mode, which also keeps it from being moved
// or removed while it is open, and put on the disk.

#include "platform/platform.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "platform/win32/text.h"

namespace {

// A file that another program holds so that we may not empty it: open without sharing writes (a
// second chanlog, an editor), mapped into memory, or with a part of it locked.
bool InUse(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_USER_MAPPED_FILE ||
           error == ERROR_LOCK_VIOLATION;
}

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

// The log could not be opened or emptied: closes what was opened of it, and tells whether that
// was because another program holds it (in use) or for another reason, which `*reason` then
// says. It is left as it was.
LogOpen CloseAndClassifyFailure(HANDLE file, const char **reason) {
    const DWORD error = GetLastError();
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    if (InUse(error)) {
        return LogOpen::kInUse;
    }
    *reason = FileErrorText(error);
    return LogOpen::kFailed;
}

} // namespace

LogOpen PlatformOpenLog(const char *path, bool empty, LogFile *file, const char **reason) {
    // Readers may share the file; a second writer is refused with a sharing violation, and the
    // file is emptied only once that cannot happen. Without FILE_SHARE_DELETE nobody can move or
    // remove it while it is open, so its name always stands for it.
    HANDLE handle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return CloseAndClassifyFailure(handle, reason);
    }
    if (empty && !SetEndOfFile(handle)) {
        return CloseAndClassifyFailure(handle, reason);
    }
    file->handle = handle;
    return LogOpen::kOpened;
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

bool PlatformWatchLog(const char * /*path*/) {
    return false; // nothing to watch: the log cannot be moved or removed while it is open
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

int PlatformDuplicateLog(const LogFile *file, LogFile *copy) {
    HANDLE process = GetCurrentProcess();
    HANDLE handle = nullptr;
    if (!DuplicateHandle(process, static_cast<HANDLE>(file->handle), process, &handle, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
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
