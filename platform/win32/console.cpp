// Standard output and standard error, written by handle.

#include "platform/platform.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/win32/text.h"

namespace {

// Whether the last byte written to standard output, and to standard error, was a CR: a line feed
// that comes next, in a later piece or a later write, ends that CR's line, and gets none of its
// own.
std::atomic<bool> outAfterCr{false};
std::atomic<bool> errAfterCr{false};

// Writes all of `data` to `handle` with each line feed as CR LF, unless a CR is before it already;
// returns how many bytes of `data` got out, and leaves `*error` saying why when that is not all.
// `afterCr` says, and is left saying, whether the last byte written there was a CR.
std::size_t WriteText(HANDLE handle, const char *data, std::size_t length,
                      std::atomic<bool> *afterCr, DWORD *error) {
    std::size_t done = 0;
    while (done < length) {
        char text[2 * 512];
        const std::size_t piece = std::min<std::size_t>(length - done, 512);
        const bool crBefore = *afterCr;
        const DWORD size = ToText(data + done, piece, crBefore, text);
        const DWORD written = WriteAll(handle, text, size, false, error);
        if (written > 0) {
            *afterCr = text[written - 1] == '\r';
        }
        if (written < size) {
            // The bytes of `data` whose text form is out whole. A line feed whose CR alone got out
            // is not, and comes again without it, since a CR is out before it now.
            return done + WholeIn(data + done, piece, crBefore, written);
        }
        done += piece;
    }
    return length;
}

std::atomic<bool> *AfterCr(Stream stream) {
    return stream == Stream::kOut ? &outAfterCr : &errAfterCr;
}

struct LastWords {
    HANDLE handle;
    std::atomic<bool> *afterCr;
    std::size_t length;
    char data[1]; // `length` bytes
};

DWORD WINAPI WriteLastWords(void *argument) {
    const auto *words = static_cast<const LastWords *>(argument);
    DWORD error = 0;
    WriteText(words->handle, words->data, words->length, words->afterCr, &error);
    return 0;
}

bool stderrApart = false; // standard error is a file of its own

bool Usable(HANDLE handle) {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

// Whether standard output's and standard error's handles write one file. Handles of two kinds
// never do; two consoles are one terminal; others are told apart where each says which file it is
// (a disk file does), and are otherwise taken as one, whose order is kept.
bool OneFile(HANDLE out, HANDLE err) {
    const DWORD type = GetFileType(out);
    if (type != GetFileType(err)) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION outFile{};
    BY_HANDLE_FILE_INFORMATION errFile{};
    if (type == FILE_TYPE_CHAR || !GetFileInformationByHandle(out, &outFile) ||
        !GetFileInformationByHandle(err, &errFile)) {
        return true;
    }
    return outFile.dwVolumeSerialNumber == errFile.dwVolumeSerialNumber &&
           outFile.nFileIndexHigh == errFile.nFileIndexHigh &&
           outFile.nFileIndexLow == errFile.nFileIndexLow;
}

} // namespace

void PlatformConsolePrepare() {
    // A console write cannot be told not to wait (selection mode holds it), so every line for
    // standard output goes through the console's writer.
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    stderrApart = Usable(err) && (!Usable(out) || !OneFile(out, err));
}

std::size_t PlatformStdoutTryWrite(const char * /*data*/, std::size_t /*length*/, bool *stalled) {
    *stalled = false; // nothing is tried: a write here may wait
    return 0;
}

bool PlatformStderrApart() {
    return stderrApart;
}

ConsoleWrite PlatformConsoleWrite(Stream stream, const char *data, std::size_t length,
                                  std::size_t *written, const char **reason) {
    // Written by handle, never through the runtime's streams, whose lock a write held up in
    // selection mode would keep from the process's end.
    HANDLE handle = GetStdHandle(stream == Stream::kOut ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        *written = length; // no console attached: nobody to show it to
        return ConsoleWrite::kDone;
    }
    DWORD error = 0;
    *written = WriteText(handle, data, length, AfterCr(stream), &error);
    if (*written == length) {
        return ConsoleWrite::kDone;
    }
    if (error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA) {
        return ConsoleWrite::kGone;
    }
    *reason = FileErrorText(error);
    return ConsoleWrite::kFailed;
}

void PlatformConsoleWriteWithin(Stream stream, const char *data, std::size_t length,
                                int timeoutMs) {
    HANDLE handle = GetStdHandle(stream == Stream::kOut ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || length == 0) {
        return;
    }
    // A thread of its own writes them, so that a console held in selection mode holds only it; it
    // and its copy are left to the process's end if the time runs out.
    auto *words = static_cast<LastWords *>(std::malloc(sizeof(LastWords) + length));
    if (words == nullptr) {
        return;
    }
    words->handle = handle;
    words->afterCr = AfterCr(stream);
    words->length = length;
    std::memcpy(words->data, data, length);
    HANDLE writer = CreateThread(nullptr, 0, WriteLastWords, words, 0, nullptr);
    if (writer == nullptr) {
        std::free(words);
        return;
    }
    if (WaitForSingleObject(writer, static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0) {
        std::free(words);
    }
    CloseHandle(writer);
}
