// Standard output and standard error, written by handle.

#include "platform/platform.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/win32/text.h"

namespace {

// Writes all of `data` to `handle` with each line feed as CR LF; returns how many bytes of `data`
// got out, and leaves GetLastError's reason when that is not all.
std::size_t WriteText(HANDLE handle, const char *data, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        char text[2 * 512];
        const std::size_t piece = std::min<std::size_t>(length - done, 512);
        const DWORD size = ToText(data + done, piece, text);
        DWORD written = 0;
        while (written < size) {
            DWORD now = 0;
            if (!WriteFile(handle, text + written, size - written, &now, nullptr) || now == 0) {
                // The bytes of `data` whose text form is out whole; a line feed whose CR alone got
                // out is not, and comes again with its CR.
                std::size_t taken = 0;
                for (DWORD out = 0; taken < piece; ++taken) {
                    out += data[done + taken] == '\n' ? 2 : 1;
                    if (out > written) {
                        break;
                    }
                }
                return done + taken;
            }
            written += now;
        }
        done += piece;
    }
    return length;
}

struct LastWords {
    HANDLE handle;
    std::size_t length;
    char data[1]; // `length` bytes
};

DWORD WINAPI WriteLastWords(void *argument) {
    const auto *words = static_cast<const LastWords *>(argument);
    WriteText(words->handle, words->data, words->length);
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

std::size_t PlatformStdoutTryWrite(const char * /*data*/, std::size_t /*length*/) {
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
    *written = WriteText(handle, data, length);
    if (*written == length) {
        return ConsoleWrite::kDone;
    }
    const DWORD error = GetLastError();
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
