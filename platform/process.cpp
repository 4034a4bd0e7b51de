#include "platform/platform.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

namespace {

bool stdoutAvailable = false;
const char *abortMessage = "";
int abortStatus = 1;

bool IsOpen(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

void ExitWithAbortMessage(int /*signal*/) {
    // Only async-signal-safe calls here; a short write leaves nothing better to do.
    const ssize_t ignored = write(STDERR_FILENO, abortMessage, std::strlen(abortMessage));
    (void)ignored;
    _exit(abortStatus);
}

} // namespace

void PlatformRecordStdout() {
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

void PlatformIgnoreSigpipe() {
    signal(SIGPIPE, SIG_IGN);
}

void PlatformTrapAbort(const char *message, int status) {
    abortMessage = message;
    abortStatus = status;
    signal(SIGABRT, ExitWithAbortMessage);
}

void PlatformReleaseAbort() {
    signal(SIGABRT, SIG_DFL);
}

void PlatformWaitForever() {
    for (;;) {
        // No handler is installed, so pause() returns only if one ever is; wait again then.
        pause();
    }
}
