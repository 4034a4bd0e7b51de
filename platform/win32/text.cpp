// Windows' text forms: the system's reasons in its own words, and line feeds as CR LF; and the
// writes of the log and the console.

#include "platform/win32/text.h"

#include <cctype>
#include <cstdio>

#include "config/config.h"

const char *FileErrorText(DWORD error) {
    thread_local char text[512];
    if (error == kErrorNothingWritten) {
        return "Windows took none of the bytes, though it said the write was done";
    }
    // Line breaks within a long text become spaces; the one at the end is taken off below.
    const DWORD flags =
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK;
    DWORD length = FormatMessageA(flags, nullptr, error, 0, text, sizeof text, nullptr);
    auto trimBlanks = [&length] {
        while (length > 0 && std::isspace(static_cast<unsigned char>(text[length - 1])) != 0) {
            --length;
        }
    };
    trimBlanks();
    if (length > 0 && text[length - 1] == '.') {
        --length;
        trimBlanks();
    }
    if (length == 0) {
        std::snprintf(text, sizeof text, "Windows error %lu", static_cast<unsigned long>(error));
        return text;
    }
    text[length] = '\0';
    return text;
}

namespace {

// The bytes that the `at`th byte of `data` becomes in its text form: its text form ends in itself,
// so the byte before it in the text is the one before it in `data`.
DWORD TextSize(const char *data, std::size_t at, bool afterCr) {
    const bool crBefore = at == 0 ? afterCr : data[at - 1] == '\r';
    return data[at] == '\n' && !crBefore ? 2 : 1;
}

} // namespace

DWORD ToText(const char *data, std::size_t length, bool afterCr, char *text) {
    DWORD at = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (TextSize(data, i, afterCr) == 2) {
            text[at++] = '\r';
        }
        text[at++] = data[i];
    }
    return at;
}

std::size_t WholeIn(const char *data, std::size_t length, bool afterCr, DWORD written) {
    std::size_t taken = 0;
    for (DWORD out = 0; taken < length; ++taken) {
        out += TextSize(data, taken, afterCr);
        if (out > written) {
            break;
        }
    }
    return taken;
}

DWORD WriteAll(HANDLE file, const char *data, DWORD length, bool atEnd, DWORD *error) {
    DWORD written = 0;
    int nothing = 0; // writes in a row that took nothing
    while (written < length) {
        OVERLAPPED end{};
        end.Offset = 0xFFFFFFFF; // both halves all ones: the end of the file
        end.OffsetHigh = 0xFFFFFFFF;
        DWORD now = 0;
        if (!WriteFile(file, data + written, length - written, &now, atEnd ? &end : nullptr)) {
            *error = GetLastError();
            break;
        }
        written += now;
        // Done, yet nothing taken: a pipe left non-blocking whose reader is behind. GetLastError
        // says nothing of it, and only time can make room.
        nothing = now == 0 ? nothing + 1 : 0;
        if (nothing > kNothingWrittenTries) {
            *error = kErrorNothingWritten;
            break;
        }
        if (nothing > 0) {
            Sleep(kNothingWrittenPauseMs);
        }
    }
    return written;
}
