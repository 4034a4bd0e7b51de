// The process's own set-up: the standard streams guarded, signals, the requests to end taken by
// one thread, and the trap for a thread the system refuses.

#include "platform/platform.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

bool stdoutAvailable = false;
const char *abortMessage = "";
int abortFd = STDERR_FILENO; // where the abort message goes: standard error as it was
int abortStatus = 1;

bool IsOpen(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

void ExitWithAbortMessage(int /*signal*/) {
    // Only async-signal-safe calls here; a short write leaves nothing better to do.
    const ssize_t ignored = write(abortFd, abortMessage, std::strlen(abortMessage));
    (void)ignored;
    _exit(abortStatus);
}

// The signals that ask the process to end and that PlatformHoldEndRequests leaves to one thread:
// those not ignored when it started (nohup ignores SIGHUP, a shell SIGINT for a job in the
// background), which stay ignored.
sigset_t endRequests;

} // namespace

void PlatformRecordStdoutAndGuardStandardStreams() {
    stdoutAvailable = IsOpen(STDOUT_FILENO);
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        // open() takes the lowest free descriptor, which is this one, since the lower ones are
        // open by now. If even /dev/null cannot be opened there is nothing better to do.
        if (!IsOpen(fd)) {
            open("/dev/null", O_RDWR);
        }
    }
}

bool PlatformStdoutAvailable() {
    return stdoutAvailable;
}

void PlatformIgnoreSignals() {
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    // In the background on a terminal set to `stty tostop`, a write to it would stop the whole
    // process, the log with it; ignored, the write goes through.
    signal(SIGTTOU, SIG_IGN);
}

void PlatformHoldEndRequests() {
    sigemptyset(&endRequests);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction now {};
        if (sigaction(signal, nullptr, &now) == 0 && now.sa_handler != SIG_IGN) {
            sigaddset(&endRequests, signal);
        }
    }
    // Blocked in every thread, they stay pending until PlatformWaitForEndRequest takes them.
    pthread_sigmask(SIG_BLOCK, &endRequests, nullptr);
}

int PlatformWaitForEndRequest() {
    int signal = 0;
    while (sigwait(&endRequests, &signal) != 0) {
    }
    return signal;
}

void PlatformEndAsRequested(int request) {
    // The signal's own status: the process ends by it, as it would have without us.
    std::signal(request, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, request);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    pthread_kill(pthread_self(), request);
    _exit(128 + request); // not reached: the signal ends the process
}

void PlatformForgetDisplay() {
    unsetenv("DISPLAY");
}

const char *PlatformHelpSwitch() {
    return nullptr;
}

const char *PlatformManual() {
    return "man chanlog";
}

void PlatformTrapAbort(const char *message, int status) {
    abortMessage = message;
    abortStatus = status;
    // The library's own complaint goes to /dev/null; the message, to standard error as it was.
    const int saved = dup(STDERR_FILENO);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved != -1 && null != -1 && dup2(null, STDERR_FILENO) != -1) {
        abortFd = saved;
    } else if (saved != -1) {
        close(saved);
    }
    if (null != -1) {
        close(null);
    }
    signal(SIGABRT, ExitWithAbortMessage);
}

void PlatformReleaseAbort() {
    signal(SIGABRT, SIG_DFL);
    if (abortFd != STDERR_FILENO) {
        dup2(abortFd, STDERR_FILENO);
        close(abortFd);
        abortFd = STDERR_FILENO;
    }
}

void PlatformWaitForever() {
    for (;;) {
        // No handler is installed, so pause() returns only if one ever is; wait again then.
        pause();
    }
}
