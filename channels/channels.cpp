#include "channels/channels.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "channels/globals.h"
#include "channels/lines.h"
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

// ---- The feed as lines (--lines)

// Where the count of lines cut to their first kBufLen bytes stands with standard error.
enum class CutCount {
    kNeverSaid, // the first count is said at once
    kSaid,      // the next waits until a second has passed since cutSaidAt
    kEnded,     // the end of the process has said the last: the console may be gone
};

// Channel 2 counts the cut lines and says the count; the end of the process says what is left.
// The count is said with the lock held: the console takes a message without waiting while its
// thread runs, which it does until after the end has said its count.
std::mutex cutMutex;
unsigned long cutUnsaid = 0; // cut lines that standard error has not been told of
std::uint64_t cutSaidAt = 0;
CutCount cutCount = CutCount::kNeverSaid;

// With cutMutex held: says the count, if there is one, and moves to `next`. The one place where
// cutCount changes.
void SayCut(CutCount next) {
    if (cutUnsaid == 1) {
        ConsoleSay(Stream::kErr, "1 line longer than %d bytes was cut to its first %d\n", kBufLen,
                   kBufLen);
    } else if (cutUnsaid > 1) {
        ConsoleSay(Stream::kErr, "%lu lines longer than %d bytes were cut to their first %d\n",
                   cutUnsaid, kBufLen, kBufLen);
    }
    cutUnsaid = 0;
    cutSaidAt = PlatformTickMs();
    cutCount = next;
}

// Before the line is logged: an end of the process that comes meanwhile finds it counted.
void CountCutLine() {
    const std::lock_guard lock(cutMutex);
    ++cutUnsaid;
}

// Says the count of cut lines once a second has passed since the last; returns how long until
// then, or -1 when no count waits.
int SayCutLinesWhenDue() {
    const std::lock_guard lock(cutMutex);
    if (cutUnsaid == 0 || cutCount == CutCount::kEnded) {
        return -1;
    }
    const std::uint64_t since = PlatformTickMs() - cutSaidAt;
    if (cutCount == CutCount::kSaid && since < static_cast<std::uint64_t>(kCutNoticeIntervalMs)) {
        return kCutNoticeIntervalMs - static_cast<int>(since);
    }
    SayCut(CutCount::kSaid);
    return -1;
}

// The connection has ended: its count is said now, whatever the time, before its end is.
void SayCutLinesNow() {
    const std::lock_guard lock(cutMutex);
    if (cutUnsaid > 0 && cutCount != CutCount::kEnded) {
        SayCut(CutCount::kSaid);
    }
}

void ReportLine(const Line &line) {
    if (!line.reported) {
        return;
    }
    if (line.cut) {
        CountCutLine();
    }
    ReportMessage(line.text, line.length);
}

// Reports each line that a receive of `received` bytes ends.
void ReportLines(LineBuffer *buffer, const char *recvbuf, int received) {
    const auto size = static_cast<std::size_t>(std::max(received, 0));
    for (std::size_t at = 0; at < size;) {
        Line line{};
        bool ended = false;
        at += TakeLine(buffer, recvbuf + at, size - at, &line, &ended);
        if (ended) {
            ReportLine(line);
        }
    }
}

// Before a receive: while a count of cut lines waits to be said, the socket is waited for only
// until it is due, so that it is said though nothing else comes. 0, or 1 when the wait failed.
int AwaitFeed(const Socket *socket) {
    for (int due = SayCutLinesWhenDue(); due >= 0; due = SayCutLinesWhenDue()) {
        bool readable = false;
        if (NetWaitReadable(socket, due, &readable) == 1) {
            return 1;
        }
        if (readable) {
            return 0;
        }
    }
    return 0;
}

// As ReceiveLoop, but a message is a line, whatever receives it came in. A line that the end of
// the connection cuts short is reported as it stands; the buffer is then empty for the next
// connection.
int ReceiveLines(Socket *socket, char *recvbuf, int bufLen, LineBuffer *buffer) {
    int result = 0;
    do {
        if (AwaitFeed(socket) == 1) {
            result = -1;
            break;
        }
        result = NetReceive(socket, recvbuf, bufLen);
        ReportLines(buffer, recvbuf, result);
    } while (result > 0);
    Line line{};
    if (TakeUnendedLine(buffer, &line)) {
        ReportLine(line);
    }
    SayCutLinesNow();
    return result;
}

} // namespace

void *const kChannelFailed = &failedTag;

void SayCutLinesAtEnd() {
    const std::lock_guard lock(cutMutex);
    SayCut(CutCount::kEnded);
}

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
    const auto *options = static_cast<const ChannelOptions *>(argument);
    const bool again = options->reconnect;
    if (!PlatformStdoutAvailable()) {
        LogClose();
        return nullptr;
    }
    Service feed{"feed", kFeedPort};
    const int bufLen = kBufLen;
    char recvbuf2[kBufLen] = {};
    auto msgCopy = std::make_unique<char[]>(static_cast<std::size_t>(bufLen));
    LineBuffer lines;
    for (;;) {
        Socket socket = kInvalidSocket;
        if (ConnectService(&feed, again, &socket) == 1) {
            LogClose();
            return kChannelFailed;
        }
        const int last = options->lines ? ReceiveLines(&socket, recvbuf2, bufLen, &lines)
                                        : ReceiveLoop(&socket, recvbuf2, bufLen, msgCopy.get());
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
