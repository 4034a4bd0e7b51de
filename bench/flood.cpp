#include "bench/flood.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "harness/io.h"
#include "harness/reports.h"

namespace {

constexpr std::string_view kPrefix = "50;";
constexpr std::size_t kDrainChunk = 65536;

bool AllDigits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// A whole message without its line feed: "50;<digits>".
bool IsMessage(std::string_view line) {
    return line.starts_with(kPrefix) && AllDigits(line.substr(kPrefix.size()));
}

// The report being read: the messages its text holds whole so far, and whether its last line
// (not known to be whole until another line of the same text follows) is one.
struct Report {
    bool open = false;
    long messages = 0;
    bool lastIsMessage = false;
};

void FinishReport(const Report &report, FloodResult *result) {
    if (!report.open) {
        return;
    }
    ++result->reports;
    result->logged += report.messages;
    result->glued += report.messages > 1 ? 1 : 0;
}

// The messages not yet handed to the connection, each in a send() of its own.
struct Sender {
    int feed = -1;
    long count = 0;
    long next = 1;       // the number of the next message to begin
    std::string pending; // what the connection did not take yet of the message begun
};

bool SentAll(const Sender &sender) {
    return sender.pending.empty() && sender.next > sender.count;
}

// Sends until the connection takes no more for now. False on a failure.
bool SendWhatFits(Sender *sender) {
    while (!SentAll(*sender)) {
        if (sender->pending.empty()) {
            sender->pending = std::string(kPrefix) + std::to_string(sender->next++) + "\n";
        }
        const ssize_t sent = send(sender->feed, sender->pending.data(), sender->pending.size(),
                                  MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0) {
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        }
        sender->pending.erase(0, static_cast<std::size_t>(sent));
    }
    return true;
}

// Reads what waits on the client's standard output and drops it; false once the client has
// closed it.
bool Drain(int fd) {
    char chunk[kDrainChunk];
    const ssize_t got = read(fd, chunk, sizeof chunk);
    return got > 0 || (got < 0 && errno == EINTR);
}

// After our close of the sending side: true once the client has closed its end too (a receive of
// 0 bytes or a reset), having read everything.
bool ClientClosed(int feed) {
    char byte = 0;
    const ssize_t got = recv(feed, &byte, sizeof byte, MSG_DONTWAIT);
    return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

} // namespace

void CountReports(const std::string &log, FloodResult *result) {
    Report report;
    for (const std::string &line : Lines(log)) {
        if (IsStamped(line)) {
            FinishReport(report, result);
            report = {true, 0, IsMessage(StampedText(line))};
        } else if (report.open) {
            report.messages += report.lastIsMessage ? 1 : 0;
            report.lastIsMessage = IsMessage(line);
        }
    }
    FinishReport(report, result);
}

void CountLines(const std::string &log, FloodResult *result) {
    long last = 0;
    for (const std::string &line : Lines(log)) {
        if (!IsStamped(line)) {
            continue;
        }
        ++result->reports;
        const std::string_view text = StampedText(line);
        if (!IsMessage(text)) {
            continue;
        }
        const long number =
            std::strtol(std::string(text.substr(kPrefix.size())).c_str(), nullptr, 10);
        if (number > last) {
            ++result->logged;
            last = number;
        }
    }
}

bool RunFlood(Client *client, long count, bool readConsole, bool asLines, int limitMs,
              FloodResult *result) {
    *result = FloodResult{};
    Sender sender{client->feed, count, 1, {}};
    bool consoleOpen = readConsole;
    bool shut = false;
    const std::int64_t start = NowNs();
    const std::int64_t deadline = start + static_cast<std::int64_t>(limitMs) * 1000000;
    while (!StopRequested() && NowNs() < deadline) {
        if (!SendWhatFits(&sender)) {
            std::fprintf(stderr, "flood: send failed after %ld messages: %s\n", sender.next - 1,
                         std::strerror(errno));
            return false;
        }
        if (!shut && SentAll(sender)) {
            shutdown(client->feed, SHUT_WR); // the client's next receive after the last is empty
            shut = true;
        }
        pollfd waits[2] = {{client->feed, static_cast<short>(shut ? POLLIN : POLLOUT), 0},
                           {consoleOpen ? client->process.out : -1, POLLIN, 0}};
        if (poll(waits, 2, MsUntil(deadline)) <= 0) {
            continue; // the deadline, or a signal: both are looked at above
        }
        if (waits[1].revents != 0) {
            consoleOpen = Drain(client->process.out);
        }
        if (shut && waits[0].revents != 0 && ClientClosed(client->feed)) {
            result->finished = true;
            break;
        }
    }
    result->seconds = static_cast<double>((result->finished ? NowNs() : deadline) - start) / 1e9;
    const std::string log = ReadWholeFile(client->dir + "/log.txt");
    (asLines ? CountLines : CountReports)(log, result);
    return true;
}
