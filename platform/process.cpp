#include "platform/platform.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>

namespace {

bool stdoutAvailable = false;

bool IsOpen(int fd) {
    return fcntl(fd, F_GETFD) != -1;
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

void PlatformWaitForever() {
    for (;;) {
        // No handler is installed, so pause() returns only if one ever is; wait again then.
        pause();
    }
}
