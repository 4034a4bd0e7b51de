// Windows' text forms: the system's reasons in its own words, and line feeds as CR LF.

#include "platform/win32/text.h"

#include <cctype>
#include <cstdio>

// The system's reason for a failed file call in Windows' own words (the user's language, or
// English), on one line, without the period it ends in: the messages it goes into end as ours do.
// Each thread has a text of its own, which stays until the thread's next call.
const char *FileErrorText(DWORD error) {
    thread_local char text[512];
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

// Copies `line` into `text` with every line feed as CR LF, and returns the length.
DWORD ToText(const char *line, std::size_t length, char *text) {
    DWORD at = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (line[i] == '\n') {
            text[at++] = '\r';
        }
        text[at++] = line[i];
    }
    return at;
}
