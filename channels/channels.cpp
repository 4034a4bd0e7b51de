#include "channels/channels.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <memory>

#include "app/config.h"
#include "app/globals.h"
#include "net/net.h"

namespace {

char failedTag;

// Creates the socket and connects it; after a failed connect the networking layer is released
// here, since the connect operation only closes the socket.
int ConnectChannel(Socket *socket, sockaddr_in *address, std::uint16_t port) {
    if (NetCreateSocket(socket, address, port) == 1) {
        return 1;
    }
    if (NetConnect(socket, address) == 1) {
        PlatformNetCleanup();
        return 1;
    }
    return 0;
}

// A log that cannot be written is said once; the console lines go on regardless.
void ReportLogFailure() {
    static bool reported = false;
    if (!reported) {
        std::fprintf(stderr, "Could not write %s: %s\n", kLogFileName, std::strerror(errno));
        reported = true;
    }
}

void ReportMessage(const char *text, std::size_t length) {
    // Each line reads the clock itself, the console line first.
    WriteReportLine(stdout, ElapsedMs(), text, length);
    // Flushed per line: the process usually ends by being killed, and standard output may be a
    // pipe. A reader that went away is not our failure; the log goes on.
    std::fflush(stdout);
    if (WriteReportLine(g_logFile, ElapsedMs(), text, length) < 0) {
        ReportLogFailure();
    }
}

void FlushLog() {
    if (std::fflush(g_logFile) != 0) {
        ReportLogFailure();
    }
}

void CloseLog() {
    if (std::fclose(g_logFile) != 0) {
        ReportLogFailure();
    }
    g_logFile = nullptr;
}

// Receives until the peer closes or a receive fails. An orderly close ends the loop too: every
// later receive would return 0 bytes at once.
void ReceiveLoop(Socket *socket, char *recvbuf, int bufLen, char *msgCopy) {
    int result = 0;
    do {
        result = NetReceive(socket, recvbuf, bufLen);
        const Message message =
            TakeMessage(recvbuf, result, msgCopy, static_cast<std::size_t>(bufLen));
        if (message.reported) {
            ReportMessage(msgCopy, message.length);
        }
        FlushLog();
    } while (result > 0);
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

int WriteReportLine(std::FILE *stream, std::int64_t elapsedMs, const char *text,
                    std::size_t length) {
    return std::fprintf(stream, "%" PRId64 ": %.*s\n", elapsedMs, static_cast<int>(length), text);
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

void *Channel2Thread(ALLEGRO_THREAD * /*thread*/, void * /*argument*/) {
    Socket ConnectSocket2 = kInvalidSocket;
    sockaddr_in clientService2{};
    const int bufLen = kBufLen;
    char recvbuf2[kBufLen] = {};
    if (!PlatformStdoutAvailable()) {
        return nullptr;
    }
    if (ConnectChannel(&ConnectSocket2, &clientService2, kFeedPort) == 1) {
        return kChannelFailed;
    }
    auto msgCopy = std::make_unique<char[]>(static_cast<std::size_t>(bufLen));
    ReceiveLoop(&ConnectSocket2, recvbuf2, bufLen, msgCopy.get());
    CloseLog();
    msgCopy.reset();
    return NetClose(&ConnectSocket2) == 1 ? kChannelFailed : nullptr;
}
