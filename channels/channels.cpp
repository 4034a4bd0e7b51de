#include "channels/channels.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>

#include "channels/globals.h"
#include "channels/log.h"
#include "channels/reconnect.h"
#include "config/config.h"
#include "console/console.h"
#include "net/net.h"

namespace {

char failedTag;

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

void *Channel1Thread(ALLEGRO_THREAD * /*thread*/, void *argument) {
    const bool again = static_cast<const ChannelOptions *>(argument)->reconnect;
    if (!PlatformStdoutAvailable()) {
        return nullptr;
    }
    Service hold{"hold", kHoldPort};
    Socket socket = kInvalidSocket;
    if (ConnectService(&hold, again, &socket) == 1) {
        return kChannelFailed;
    }
    if (!again) {
        PlatformWaitForever(); // the connection stays open until the process ends
    }
    for (;;) {
        const Ending ending = NetWaitForHangUp(&socket) == 0 ? Ending::kClosed : Ending::kFailed;
        NetClose(&socket); // a failure is printed; the next connection has a socket of its own
        SayLost(&hold, ending, true);
        ConnectService(&hold, true, &socket);
    }
}

// Channel 2 is the log's only writer: on every way out it closes the log, so that a channel that
// will never write it does not keep it locked from the next chanlog. While it connects again the
// log stays open, and the stamps go on from the same start.
void *Channel2Thread(ALLEGRO_THREAD * /*thread*/, void *argument) {
    const bool again = static_cast<const ChannelOptions *>(argument)->reconnect;
    if (!PlatformStdoutAvailable()) {
        LogClose();
        return nullptr;
    }
    Service feed{"feed", kFeedPort};
    const int bufLen = kBufLen;
    char recvbuf2[kBufLen] = {};
    auto msgCopy = std::make_unique<char[]>(static_cast<std::size_t>(bufLen));
    for (;;) {
        Socket socket = kInvalidSocket;
        if (ConnectService(&feed, again, &socket) == 1) {
            LogClose();
            return kChannelFailed;
        }
        const int last = ReceiveLoop(&socket, recvbuf2, bufLen, msgCopy.get());
        const Ending ending = last == 0 ? Ending::kClosed : Ending::kFailed;
        if (!again) {
            LogClose();
            SayLost(&feed, ending, false);
            const int closed = NetClose(&socket);
            return ending == Ending::kFailed || closed == 1 ? kChannelFailed : nullptr;
        }
        NetClose(&socket);
        SayLost(&feed, ending, true);
    }
}
