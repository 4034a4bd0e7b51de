#include "tools/feed_io.h"

#include <winsock2.h>
// After winsock2.h, which must come before it.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

// Windows' own maximum of connections waiting to be accepted, so that a burst of clients is not
// left to retry their connects.
constexpr int kListenBacklog = SOMAXCONN;
constexpr UINT kExitOnInterrupt = 0;
constexpr WORD kWinsockVersion = MAKEWORD(2, 2);

char lastError[64] = "";

// Windows Sockets' reasons in the words strerror gives them on POSIX systems, so that a message
// reads the same on every platform.
const char *SocketErrorText(int error) {
    switch (error) {
    case WSAEADDRINUSE:
        return "Address already in use";
    case WSAEACCES:
        return "Permission denied";
    case WSAEADDRNOTAVAIL:
        return "Cannot assign requested address";
    case WSAECONNABORTED:
        return "Software caused connection abort";
    case WSAECONNRESET:
        return "Connection reset by peer";
    case WSAENOTCONN:
        return "Transport endpoint is not connected";
    case WSAEMFILE:
        return "Too many open files";
    case WSAENOBUFS:
        return "No buffer space available";
    case WSAENETDOWN:
        return "Network is down";
    case WSAEINVAL:
        return "Invalid argument";
    default:
        return nullptr;
    }
}

void RecordSocketError(int error) {
    const char *text = SocketErrorText(error);
    if (text == nullptr) {
        std::snprintf(lastError, sizeof lastError, "error %d", error);
        return;
    }
    std::snprintf(lastError, sizeof lastError, "%s", text);
}

SOCKET SocketOf(FeedSocket socket) {
    return static_cast<SOCKET>(socket);
}

bool MakeNonBlocking(SOCKET socket) {
    u_long on = 1;
    return ioctlsocket(socket, FIONBIO, &on) == 0;
}

// Started on first use and never released: the process's end releases it with every socket.
bool StartNetwork() {
    static bool started = false;
    if (started) {
        return true;
    }
    WSADATA data{};
    const int error = WSAStartup(kWinsockVersion, &data);
    if (error != 0) {
        RecordSocketError(error);
        return false;
    }
    started = true;
    return true;
}

// Runs on a thread of its own that the console starts: an end that cannot wait for the main one.
BOOL WINAPI EndAtOnce(DWORD /*event*/) {
    TerminateProcess(GetCurrentProcess(), kExitOnInterrupt);
    return TRUE;
}

// Clients are never meant to send anything. One that did and then closed would not look closed
// to WSAPoll until what it sent is read: so what it sends is read and dropped, a bounded amount
// per wait so that a client that never stops cannot hold the others up.
bool PeerLeft(SOCKET socket) {
    constexpr int kMaxReads = 16;
    char sink[4096];
    for (int i = 0; i < kMaxReads; ++i) {
        const int got = recv(socket, sink, sizeof sink, 0);
        if (got == 0) {
            return true;
        }
        if (got == SOCKET_ERROR) {
            return WSAGetLastError() != WSAEWOULDBLOCK;
        }
    }
    return false;
}

SHORT EventsOf(const FeedWait &wait) {
    if (wait.watch == Watch::kAccept) {
        return POLLRDNORM;
    }
    return static_cast<SHORT>(POLLRDNORM | (wait.wantRoom ? POLLWRNORM : 0));
}

void TakeResult(FeedWait *wait, SHORT revents) {
    if (wait->watch == Watch::kAccept) {
        wait->ready = (revents & POLLRDNORM) != 0;
        return;
    }
    wait->gone = (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 ||
                 ((revents & POLLRDNORM) != 0 && PeerLeft(SocketOf(wait->socket)));
    wait->room = (revents & POLLWRNORM) != 0;
}

} // namespace

bool FeedGuardStandardStreams() {
    // Windows gives a new file or socket no standard stream's place, so there is nothing to guard.
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE) {
        return false;
    }
    // A file's or pipe's lines go out as they are, carriage returns included, as on POSIX
    // systems; a console's keep text mode, which takes off the CR that Enter adds.
    if (GetFileType(input) != FILE_TYPE_CHAR) {
        _setmode(_fileno(stdin), _O_BINARY);
    }
    return true;
}

void FeedEndOnInterrupt() {
    SetConsoleCtrlHandler(EndAtOnce, TRUE);
}

const char *FeedInterruptNote() {
    // The console's every event, its window closed too, comes to EndAtOnce.
    return "Ctrl-C, Ctrl-Break or closing its console window ends it.\n";
}

const char *FeedHelpSwitch() {
    return "/?";
}

bool FeedSeek(std::FILE *file, long long offset) {
    return _fseeki64(file, offset, SEEK_SET) == 0;
}

const char *FeedLastError() {
    return lastError;
}

FeedSocket FeedListen(std::uint16_t port) {
    if (!StartNetwork()) {
        return kNoSocket;
    }
    const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET) {
        RecordSocketError(WSAGetLastError());
        return kNoSocket;
    }
    // Without it, Windows lets a listener on 127.0.0.1 share a port that another program already
    // listens on for every address: the port must be refused as taken instead.
    const BOOL on = TRUE;
    setsockopt(listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char *>(&on),
               sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
        listen(listener, kListenBacklog) != 0 || !MakeNonBlocking(listener)) {
        RecordSocketError(WSAGetLastError());
        closesocket(listener);
        return kNoSocket;
    }
    return static_cast<FeedSocket>(listener);
}

AcceptOutcome FeedAccept(FeedSocket listener, FeedSocket *client, std::uint32_t *host,
                         std::uint16_t *port) {
    for (;;) {
        sockaddr_in address{};
        int length = sizeof address;
        const SOCKET accepted =
            accept(SocketOf(listener), reinterpret_cast<sockaddr *>(&address), &length);
        if (accepted != INVALID_SOCKET && MakeNonBlocking(accepted)) {
            *client = static_cast<FeedSocket>(accepted);
            *host = ntohl(address.sin_addr.s_addr);
            *port = ntohs(address.sin_port);
            return AcceptOutcome::kAccepted;
        }
        const int error = WSAGetLastError();
        if (accepted != INVALID_SOCKET) {
            closesocket(accepted);
        }
        if (error == WSAEWOULDBLOCK) {
            return AcceptOutcome::kNoneWaiting;
        }
        // Windows names a connection given up before we took it a reset.
        if (error != WSAECONNRESET && error != WSAEINTR) {
            RecordSocketError(error);
            return AcceptOutcome::kFailed;
        }
    }
}

void FeedNoDelay(FeedSocket socket) {
    const BOOL on = TRUE;
    setsockopt(SocketOf(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on),
               sizeof on);
}

long FeedSend(FeedSocket socket, const char *data, std::size_t length) {
    const int size = static_cast<int>(std::min<std::size_t>(length, INT_MAX));
    const int sent = send(SocketOf(socket), data, size, 0);
    if (sent != SOCKET_ERROR) {
        return sent;
    }
    const int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK || error == WSAEINTR) {
        return 0;
    }
    RecordSocketError(error);
    return kIoFailed;
}

void FeedTaken(const std::vector<FeedSocket> &sockets, std::vector<bool> *taken) {
    // Windows shows neither what the client has acknowledged nor what it has read.
    taken->assign(sockets.size(), true);
}

void FeedClose(FeedSocket socket) {
    closesocket(SocketOf(socket));
}

bool FeedCanWaitForInput() {
    return false; // WSAPoll takes sockets only
}

long FeedReadInput(char *buffer, std::size_t size) {
    const unsigned count = static_cast<unsigned>(std::min<std::size_t>(size, INT_MAX));
    const int got = _read(_fileno(stdin), buffer, count);
    if (got >= 0) {
        return got;
    }
    std::snprintf(lastError, sizeof lastError, "%s", std::strerror(errno));
    return kIoFailed;
}

bool FeedWaitFor(std::vector<FeedWait> *waits, int timeoutMs) {
    // WSAPoll has no entry to skip, so the ones waited on are gathered, with their places.
    std::vector<WSAPOLLFD> fds;
    std::vector<std::size_t> places;
    for (std::size_t i = 0; i < waits->size(); ++i) {
        FeedWait &wait = (*waits)[i];
        wait.ready = wait.gone = wait.room = false;
        if (wait.watch == Watch::kAccept || wait.watch == Watch::kClient) {
            fds.push_back({SocketOf(wait.socket), EventsOf(wait), 0});
            places.push_back(i);
        }
    }
    if (fds.empty()) { // which WSAPoll refuses
        Sleep(timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
        return true;
    }
    if (WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeoutMs) == SOCKET_ERROR) {
        RecordSocketError(WSAGetLastError());
        return false;
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
        TakeResult(&(*waits)[places[i]], fds[i].revents);
    }
    return true;
}
