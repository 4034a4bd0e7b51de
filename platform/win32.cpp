#include "platform/platform.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace {

bool stdoutAvailable = false;
const char *abortMessage = "";
int abortStatus = 1;

void ExitWithAbortMessage(int /*signal*/) {
    _write(2, abortMessage, static_cast<unsigned>(std::strlen(abortMessage)));
    _exit(abortStatus);
}

// Windows Sockets counts its start-ups and, when the count returns to zero, resets every socket
// still open in the process: the start-up is released once, at exit, when no channel is left.
void ReleaseSockets() {
    WSACleanup();
}

// The system's reason for a failed file call, in the words strerror uses on every platform.
const char *FileErrorText(DWORD error) {
    switch (error) {
    case ERROR_ACCESS_DENIED:
        return std::strerror(EACCES);
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return std::strerror(ENOENT);
    case ERROR_WRITE_PROTECT:
        return std::strerror(EROFS);
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return std::strerror(ENOSPC);
    case ERROR_TOO_MANY_OPEN_FILES:
        return std::strerror(EMFILE);
    default:
        return std::strerror(EIO);
    }
}

LogOpen Failed(HANDLE file, const char **reason) {
    *reason = FileErrorText(GetLastError());
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    return LogOpen::kFailed;
}

} // namespace

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

LogOpen PlatformOpenLog(const char *path, std::FILE **file, const char **reason) {
    // Readers may share the file; a second writer is refused with a sharing violation, and the
    // file is emptied only once that cannot happen.
    HANDLE handle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_SHARING_VIOLATION) {
            return LogOpen::kInUse;
        }
        return Failed(handle, reason);
    }
    if (!SetEndOfFile(handle)) {
        return Failed(handle, reason);
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_TEXT);
    if (fd == -1) {
        *reason = std::strerror(errno); // the runtime's failure, not the system's
        CloseHandle(handle);
        return LogOpen::kFailed;
    }
    *file = _fdopen(fd, "wt");
    if (*file == nullptr) {
        *reason = std::strerror(errno);
        _close(fd);
        return LogOpen::kFailed;
    }
    return LogOpen::kOpened;
}

// ---- Process

void PlatformRecordStdout() {
    // Only the invalid handle value means there is none: a process started without standard
    // output attached gets a null handle, and printing to it is harmless.
    stdoutAvailable = GetStdHandle(STD_OUTPUT_HANDLE) != INVALID_HANDLE_VALUE;
}

bool PlatformStdoutAvailable() {
    return stdoutAvailable;
}

void PlatformIgnoreSigpipe() {
    // Windows has no such signal: a write to a pipe whose reader has gone fails and is ignored.
}

void PlatformTrapAbort(const char *message, int status) {
    abortMessage = message;
    abortStatus = status;
    std::signal(SIGABRT, ExitWithAbortMessage);
}

void PlatformReleaseAbort() {
    std::signal(SIGABRT, SIG_DFL);
}

void PlatformWaitForever() {
    for (;;) {
        Sleep(INFINITE);
    }
}
