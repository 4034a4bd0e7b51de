#include "platform/platform.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool stdoutAvailable = false;
const char *abortMessage = "";
int abortStatus = 1;
bool abortTrapped = false; // between PlatformTrapAbort and PlatformReleaseAbort

void ExitWithAbortMessage(int /*signal*/) {
    _write(2, abortMessage, static_cast<unsigned>(std::strlen(abortMessage)));
    _exit(abortStatus);
}

// Windows Sockets counts its start-ups and, when the count returns to zero, resets every socket
// still open in the process: the start-up is released once, at exit, when no channel is left.
void ReleaseSockets() {
    WSACleanup();
}

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

// A file that another program holds so that we may not empty it: open without sharing writes (a
// second chanlog, an editor), mapped into memory, or with a part of it locked.
bool InUse(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_USER_MAPPED_FILE ||
           error == ERROR_LOCK_VIOLATION;
}

// Room for the longest line the log is given; its text form may double in size.
constexpr std::size_t kLogLineMax = 2048;

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

// Takes a line that the log took only in part off its end again, so that no later line is glued to
// the piece.
void Undo(HANDLE file, DWORD written) {
    if (written == 0) {
        return;
    }
    const DWORD error = GetLastError();
    LARGE_INTEGER back{};
    back.QuadPart = -static_cast<LONGLONG>(written);
    if (SetFilePointerEx(file, back, nullptr, FILE_CURRENT)) {
        SetEndOfFile(file);
    }
    SetLastError(error);
}

// The log could not be opened or emptied: in use, or failed for `*reason`. It is left as it was.
LogOpen Failed(HANDLE file, const char **reason) {
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

// ---- Threads

// Allegro starts its threads with the C runtime's _beginthreadex and ignores what it returns, so a
// thread that Windows refuses would be a thread that never runs, and a process that waits for it
// forever. The link wraps the runtime's import of it (cmake/windows.cmake): every thread start of
// the process comes through StartThread, which can tell. The names are those that ld's --wrap
// gives the import; they hold the prefix of C symbols, "_" on 32-bit x86 and none on 64-bit.
using ThreadProc = unsigned(__stdcall *)(void *);
using ThreadStart = std::uintptr_t(__cdecl *)(void *, unsigned, ThreadProc, void *, unsigned,
                                              unsigned *);
#ifdef _WIN64
#define REAL_THREAD_START __real___imp__beginthreadex
#define WRAPPED_THREAD_START __wrap___imp__beginthreadex
#else
#define REAL_THREAD_START __real__imp___beginthreadex
#define WRAPPED_THREAD_START __wrap__imp___beginthreadex
#endif
extern "C" ThreadStart REAL_THREAD_START;

namespace {

std::uintptr_t __cdecl StartThread(void *security, unsigned stackSize, ThreadProc proc,
                                   void *argument, unsigned flags, unsigned *id) {
    const std::uintptr_t thread = REAL_THREAD_START(security, stackSize, proc, argument, flags, id);
    // Refused while the trap is set: said as the abort that the thread library calls elsewhere.
    if (thread == 0 && abortTrapped) {
        ExitWithAbortMessage(SIGABRT);
    }
    return thread;
}

} // namespace

extern "C" {
ThreadStart WRAPPED_THREAD_START = StartThread;
}

// ---- Sockets

int PlatformNetStartup(std::uint16_t version, NetData *data) {
    const int result = WSAStartup(version, data);
    if (result == 0) {
        std::atexit(ReleaseSockets);
    }
    return result;
}

void PlatformNetCleanup() {}

Socket PlatformSocketOpen() {
    return socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
}

int PlatformSocketConnect(Socket socket, const sockaddr_in *address) {
    return connect(socket, reinterpret_cast<const sockaddr *>(address), sizeof *address);
}

int PlatformSocketReceive(Socket socket, char *buffer, std::size_t length) {
    return recv(socket, buffer, static_cast<int>(length), 0);
}

int PlatformSocketClose(Socket socket) {
    return closesocket(socket);
}

int PlatformSocketError() {
    return WSAGetLastError();
}

// ---- Clock

std::uint64_t PlatformTickMs() {
    // The 64-bit count: GetTickCount's 32 bits wrap after 49.7 days.
    return GetTickCount64();
}

// ---- The log file

LogOpen PlatformOpenLog(const char *path, LogFile *file, const char **reason) {
    // Readers may share the file; a second writer is refused with a sharing violation, and the
    // file is emptied only once that cannot happen.
    HANDLE handle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return Failed(handle, reason);
    }
    if (!SetEndOfFile(handle)) {
        return Failed(handle, reason);
    }
    file->handle = handle;
    return LogOpen::kOpened;
}

int PlatformLogAppend(LogFile *file, const char *line, std::size_t length, const char **reason) {
    // A text file's line ends are CR LF, also for the line feeds inside a received text.
    char text[2 * kLogLineMax];
    const DWORD size = ToText(line, std::min(length, kLogLineMax), text);
    DWORD written = 0;
    while (written < size) {
        DWORD now = 0;
        if (!WriteFile(file->handle, text + written, size - written, &now, nullptr) || now == 0) {
            *reason = FileErrorText(GetLastError());
            Undo(file->handle, written);
            return -1;
        }
        written += now;
    }
    return 0;
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

// ---- The console

void PlatformConsolePrepare() {
    // A console write cannot be told not to wait (selection mode holds it), so every line goes
    // through the console thread.
}

std::size_t PlatformConsoleTryWrite(const char * /*data*/, std::size_t /*length*/) {
    return 0;
}

void PlatformConsoleWrite(Stream stream, const char *data, std::size_t length) {
    // Text mode: the runtime writes each line feed as CR LF.
    std::FILE *file = stream == Stream::kOut ? stdout : stderr;
    std::fwrite(data, 1, length, file);
    std::fflush(file);
}

// ---- Process

void PlatformRecordStdout() {
    // Windows' closed standard output: a process started without one (detached, or with a null
    // handle in its start-up information) has no handle, or one that is not open in it, and
    // GetFileType fails on either. Windows opens nothing in its place, so there is nothing to
    // guard.
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    SetLastError(NO_ERROR);
    stdoutAvailable = out != INVALID_HANDLE_VALUE &&
                      (GetFileType(out) != FILE_TYPE_UNKNOWN || GetLastError() == NO_ERROR);
}

bool PlatformStdoutAvailable() {
    return stdoutAvailable;
}

void PlatformIgnoreSignals() {
    // Windows has neither signal: a write to a pipe whose reader has gone fails and is ignored.
}

void PlatformForgetDisplay() {
    // A console program on Windows reaches no display server.
}

const char *PlatformHelpSwitch() {
    return "/?";
}

const char *PlatformManual() {
    // Windows has no man, and the zip holds the manual as its README.
    return "README.txt beside chanlog.exe";
}

void PlatformTrapAbort(const char *message, int status) {
    abortMessage = message;
    abortStatus = status;
    abortTrapped = true;
    std::signal(SIGABRT, ExitWithAbortMessage);
}

void PlatformReleaseAbort() {
    abortTrapped = false;
    std::signal(SIGABRT, SIG_DFL);
}

void PlatformWaitForever() {
    for (;;) {
        Sleep(INFINITE);
    }
}
