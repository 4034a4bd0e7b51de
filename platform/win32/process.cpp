// The process's own set-up: the standard streams looked at, and the requests to end (Ctrl-C,
// Ctrl-Break, the console window closed) taken by one thread.

#include "platform/platform.h"

#include <windows.h>

namespace {

bool stdoutAvailable = false;
HANDLE endRequested = nullptr; // set when Windows asks the process to end

// Asked to end, the process first says what it must; returning would let Windows end it at once.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    SetEvent(endRequested);
    Sleep(INFINITE); // PlatformEndAsRequested ends the process meanwhile
    return TRUE;
}

} // namespace

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
    // The log and the console are done. ExitProcess would first end every other thread wherever
    // it is, a lock of the heap or of the runtime held, and then run each library's detach code,
    // which may wait for such a lock for ever; nothing of that is needed, so nothing of it runs.
    // The status is the one Windows gives a console program ended by Ctrl-C, Ctrl-Break or its
    // window.
    const auto status = static_cast<UINT>(STATUS_CONTROL_C_EXIT);
    TerminateProcess(GetCurrentProcess(), status);
    ExitProcess(status); // not reached: the process's end ends this thread too
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

void PlatformWaitForever() {
    for (;;) {
        Sleep(INFINITE);
    }
}
