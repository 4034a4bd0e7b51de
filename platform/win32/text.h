#pragma once

// What the Windows log file and console share: Windows' text forms, and writes that go on until
// all is written.

#include <windows.h>

#include <cstddef>

// The system's reason for a failed file call in Windows' own words (the user's language, or
// English), on one line, without the period it ends in: the messages it goes into end as ours do.
// Each thread has a text of its own, which stays until the thread's next call.
const char *FileErrorText(DWORD error);

// Copies `data` into `text` (room for twice `length`) with each line feed that does not follow a
// carriage return as CR LF, the line end of a Windows text file; a CR LF of the data's own stays
// as it is. `afterCr`: the byte written just before `data` was a CR. Returns the length.
DWORD ToText(const char *data, std::size_t length, bool afterCr, char *text);
// How many bytes of `data` the first `written` bytes of its text form (ToText's, with the same
// `afterCr`) hold whole.
std::size_t WholeIn(const char *data, std::size_t length, bool afterCr, DWORD written);

// The code, of the kind that Windows leaves to applications, for a write that Windows said was
// done every time it was tried, but that took nothing; FileErrorText says it in words of our own.
inline constexpr DWORD kErrorNothingWritten = 0x20000001;
// Writes `length` bytes to `file` with as many WriteFile calls as it takes, each at the end of the
// file as it is then where `atEnd`, and returns how many were written. Short of all, `*error`
// says why: GetLastError's code, or kErrorNothingWritten.
DWORD WriteAll(HANDLE file, const char *data, DWORD length, bool atEnd, DWORD *error);
