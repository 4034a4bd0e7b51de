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
HANDLE endRequested = nullptr; // set when Windows asks the process to end
bool abortTrapped = false;     // between PlatformTrapAbort and PlatformReleaseAbort

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
// the piece. Nobody else writes the file while it is open (it is shared for reading only), so the
// piece is the end of the file.
void Undo(HANDLE file, DWORD written) {
    if (written == 0) {
        return;
    }
    const DWORD error = GetLastError();
    LARGE_INTEGER size{};
    if (GetFileSizeEx(file, &size) && size.QuadPart >= static_cast<LONGLONG>(written)) {
        size.QuadPart -= written;
        if (SetFilePointerEx(file, size, nullptr, FILE_BEGIN)) {
            SetEndOfFile(file);
        }
    }
    SetLastError(error);
}

// Writes `length` bytes at the end of the file as it is at that moment, as a file opened for
// appending is written; returns how many were written.
DWORD WriteAtEnd(HANDLE file, const char *data, DWORD length) {
    DWORD written = 0;
    while (written < length) {
        OVERLAPPED atEnd{};
        atEnd.Offset = 0xFFFFFFFF; // both halves all ones: the end of the file
        atEnd.OffsetHigh = 0xFFFFFFFF;
        DWORD now = 0;
        if (!WriteFile(file, data + written, length - written, &now, &atEnd) || now == 0) {
            break;
        }
        written += now;
    }
    return written;
}

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

// Asked to end, the process first says what it must; returning would let Windows end it at once.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    SetEvent(endRequested);
    Sleep(INFINITE); // PlatformEndAsRequested ends the process meanwhile
    return TRUE;
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
    // A text file's line ends are CR LF, also for the line feeds inside a received text.
    char text[2 * kLogLineMax];
    const DWORD size = ToText(line, std::min(length, kLogLineMax), text);
    const DWORD written = WriteAtEnd(file->handle, text, size);
    if (written == size) {
        return 0;
    }
    *reason = FileErrorText(GetLastError());
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

// ---- The console

void PlatformConsolePrepare() {
    // A console write cannot be told not to wait (selection mode holds it), so every line goes
    // through the console thread.
}

std::size_t PlatformConsoleTryWrite(Stream /*stream*/, const char * /*data*/,
                                    std::size_t /*length*/) {
    return 0;
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

// ---- Process

void PlatformRecordStdoutAndGuardStandardStreams() {
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
    // Windows has none of these signals: a write to a pipe whose reader has gone fails, and a
    // console program is never stopped for writing to its console.
}

void PlatformHoldEndRequests() {
    endRequested = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (endRequested != nullptr) {
        SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    }
}

int PlatformWaitForEndRequest() {
    if (endRequested == nullptr) {
        PlatformWaitForever(); // no request can reach us; the process ends as Windows ends it
    }
    WaitForSingleObject(endRequested, INFINITE);
    return 0;
}

void PlatformEndAsRequested(int /*request*/) {
    // The status Windows gives a console program ended by Ctrl-C, Ctrl-Break or its window.
    ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
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
