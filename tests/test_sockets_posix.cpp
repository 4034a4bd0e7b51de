#include "tests/test_sockets.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

const int kRefusedCode = ECONNREFUSED;
const int kNotSocketCode = EBADF;
const int kResetCode = 104; // ECONNRESET on Linux
const bool kCloseSeenPastUnreadData = true;
const int kResetHangUp = 1;

void CloseSocket(Socket socket) {
    close(socket);
}

int QueuedBytes(Socket socket) {
    int queued = 0;
    return ioctl(socket, FIONREAD, &queued) == 0 ? queued : -1;
}

bool IsClosedSocket(Socket socket) {
    return fcntl(socket, F_GETFD) == -1 && errno == EBADF;
}
