#pragma once

// What the Windows log file and console share: Windows' text forms.

#include <windows.h>

#include <cstddef>

// The system's reason for a failed file call in Windows' own words (the user's language, or
// English), on one line, without the period it ends in: the messages it goes into end as ours do.
// Each thread has a text of its own, which stays until the thread's next call.
const char *FileErrorText(DWORD error);
// Copies `line` into `text` with every line feed as CR LF, and returns the length.
DWORD ToText(const char *line, std::size_t length, char *text);
