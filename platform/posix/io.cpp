// Writes that wait their turn, for the log and the console alike.

#include "platform/posix/io.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

// Waits until `fd` takes a write, for at most `timeoutMs` (-1: as long as it takes). False when
// the time ran out.
bool WaitWritable(int fd, int timeoutMs) {
    pollfd p{fd, POLLOUT, 0};
    int result = 0;
    do {
        result = poll(&p, 1, timeoutMs);
    } while (result == -1 && errno == EINTR);
    return result > 0;
}

// Writes until all of `data` is out or a write fails, and returns how much was written; when that
// is less than `length`, errno says why. A descriptor left in non-blocking mode by whoever shares
// it is waited for, never given up on.
std::size_t WriteAll(int fd, const char *data, std::size_t length) {
    std::size_t written = 0;
    while (written < length) {
        const ssize_t result = write(fd, data + written, length - written);
        if (result > 0) {
            written += static_cast<std::size_t>(result);
        } else if (result == 0) {
            errno = ENOSPC; // only a full file takes nothing of a write that asks for something
            break;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            WaitWritable(fd, -1);
        } else if (errno != EINTR) {
            break;
        }
    }
    return written;
}
