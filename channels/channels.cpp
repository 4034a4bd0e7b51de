#include "channels/channels.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>

#include "channels/globals.h"
#include "channels/log.h"
#include "config/config.h"
#include "console/console.h"
#include "net/net.h"

namespace {

char failedTag;

// Creates the socket and connects it; a failed connect has closed the socket.
int ConnectChannel(Socket *socket, sockaddr_in *address, std::uint16_t port) {
    if (NetCreateSocket(socket, address, port) == 1) {
        return 1;
    }
    return NetConnect(socket, address);
}

// One time stamp for both lines, so that the console and the log say the same. The line is in the
// log before it is offered to the console, which never holds the log up.
void ReportMessage(const char *text, std::size_t length) {
    char line[kLineMax];
    const std::size_t lineLength = FormatReportLine(ElapsedMs(), text, length, line);
    LogReport(line, lineLength);
}

// Receives until the peer closes or a receive fails, and returns the last receive's result: 0
// for an orderly close (every later receive would return 0 bytes at once), -1 for a failure.
int ReceiveLoop(Socket *socket, char *recvbuf, int bufLen, char *msgCopy) {
    int result = 0;
    do {
        result = NetReceive(socket, recvbuf, bufLen);
        const Message message =
            TakeMessage(recvbuf, result, msgCopy, static_cast<std::size_t>(bufLen));
        if (message.reported) {
            ReportMessage(msgCopy, message.length);
        }
    } while (result > 0);
    return result;
}

} // namespace

void *const kChannelFailed = &failedTag;

Message TakeMessage(const char *recvbuf, int received, char *msgCopy, std::size_t copySize) {
    const std::size_t limit = std::min(static_cast<std::size_t>(std::max(received, 0)), copySize);
    const void *zero = std::memchr(recvbuf, 0, limit);
    const std::size_t length =
        zero != nullptr ? static_cast<std::size_t>(static_cast<const char *>(zero) - recvbuf)
                        : limit;
    std::memcpy(msgCopy, recvbuf, length);
    if (length < copySize) {
        msgCopy[length] = '\0';
    }
    const bool reported =
        length >= kReportPrefixLen && std::memcmp(msgCopy, kReportPrefix, kReportPrefixLen) == 0;
    return {length, reported};
}

std::int64_t ElapsedMs() {
    return static_cast<std::int64_t>(PlatformTickMs() - g_startTick);
}

std::size_t FormatReportLine(std::int64_t elapsedMs, const char *text, std::size_t length,
                             char *line) {
    // The stamp takes at most 20 characters, so the whole line fits in kLineMax.
    const int stamp = std::snprintf(line, kLineMax, "%" PRId64 ": ", elapsedMs);
    auto at = static_cast<std::size_t>(std::max(stamp, 0));
    length = std::min(length, static_cast<std::size_t>(kBufLen));
    std::memcpy(line + at, text, length);
    at += length;
    line[at++] = '\n';
    return at;
}

void *Channel1Thread(ALLEGRO_THREAD * /*thread*/, void * /*argument*/) {
    if (!PlatformStdoutAvailable()) {
        return nullptr;
    }
    Socket ConnectSocket1 = kInvalidSocket;
    sockaddr_in clientService1{};
    if (ConnectChannel(&ConnectSocket1, &clientService1, kHoldPort) == 1) {
        return kChannelFailed;
    }
    PlatformWaitForever(); // the connection stays open until the process ends
}

// Channel 2 is the log's only writer: on every way out it closes the log, so that a channel that
// will never write it does not keep it locked from the next chanlog.
void *Channel2Thread(ALLEGRO_THREAD * /*thread*/, void * /*argument*/) {
    Socket ConnectSocket2 = kInvalidSocket;
    sockaddr_in clientService2{};
    const int bufLen = kBufLen;
    char recvbuf2[kBufLen] = {};
    if (!PlatformStdoutAvailable()) {
        LogClose();
        return nullptr;
    }
    if (ConnectChannel(&ConnectSocket2, &clientService2, kFeedPort) == 1) {
        LogClose();
        return kChannelFailed;
    }
    auto msgCopy = std::make_unique<char[]>(static_cast<std::size_t>(bufLen));
    const int last = ReceiveLoop(&ConnectSocket2, recvbuf2, bufLen, msgCopy.get());
    LogClose();
    msgCopy.reset();
    if (last == 0) {
        ConsoleSay(Stream::kErr,
                   "The feed service closed the connection: nothing more will be logged\n");
    }
    const int closed = NetClose(&ConnectSocket2);
    return last < 0 || closed == 1 ? kChannelFailed : nullptr;
}
