#pragma once

#include <allegro5/allegro.h>

#include <cstddef>
#include <cstdint>

// What a channel body returns when its socket, connect, receive or close failed; nullptr otherwise.
extern void *const kChannelFailed;

// What main tells both channel bodies, their argument: it outlives them.
struct ChannelOptions {
    bool reconnect; // connect again whenever the service closes, fails or is not there yet
};

// Channel 1: connects to the hold port and keeps the connection open, reading nothing from it.
// Once, until the process ends; or with `reconnect`, noticing the service's close and connecting
// again, for ever. With standard output closed it connects nowhere and returns at once.
void *Channel1Thread(ALLEGRO_THREAD *thread, void *argument);

// Channel 2: connects to the feed port and reports every receive that begins with the prefix, on
// standard output and in the log, until the peer closes or a receive fails; then it closes the
// log, or with `reconnect` connects again and goes on in the same log, for ever. With standard
// output closed it connects nowhere: it closes the log and returns at once.
void *Channel2Thread(ALLEGRO_THREAD *thread, void *argument);

// The text of one receive and whether it is reported.
struct Message {
    std::size_t length; // bytes of text in the copy, which holds no zero byte among them
    bool reported;      // the text begins with the report prefix
};

// Copies the text of a receive of `received` bytes (negative for a failed one) from `recvbuf`
// into `msgCopy`: the bytes up to the first zero byte, the end of the receive or `copySize`,
// whichever comes first. Adds a terminating zero where there is room; a receive that fills the
// copy has none, so print the text by its length.
Message TakeMessage(const char *recvbuf, int received, char *msgCopy, std::size_t copySize);

// Milliseconds since start-up, from a fresh reading of the clock.
std::int64_t ElapsedMs();

// Builds the report line "<elapsedMs>: <text>\n" in `line`, which has room for kLineMax bytes,
// and returns its length. A text longer than a receive is cut to one.
std::size_t FormatReportLine(std::int64_t elapsedMs, const char *text, std::size_t length,
                             char *line);
