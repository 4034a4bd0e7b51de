// Threads that Windows refuses: said as a start-up failure, not left as threads that never run.

#include "platform/platform.h"

#include <io.h>
#include <windows.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

const char *abortMessage = "";
int abortStatus = 1;
bool abortTrapped = false; // between PlatformTrapAbort and PlatformReleaseAbort

void ExitWithAbortMessage(int /*signal*/) {
    _write(2, abortMessage, static_cast<unsigned>(std::strlen(abortMessage)));
    _exit(abortStatus);
}

} // namespace

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
