#pragma once

// The feed's bytes taken as lines, for services whose messages are lines (--lines): a line ends
// at its line feed, whatever receives it arrived in, and is one message. The decision "where does
// a line end, what is its text and is it reported" is made here, on bytes, without sockets.

#include <cstddef>

#include "config/config.h"

// A line begun in one receive and not yet ended. Its first kBufLen bytes are kept, so that
// memory stays bounded whatever a service sends; of the rest, only what decides the line's text
// is remembered. A zero byte is looked for only among the kept bytes and the one after them: past
// those the text is longer than kBufLen and cut in any case.
struct LineBuffer {
    char kept[kBufLen];
    std::size_t length = 0;            // bytes of the line so far, kept or not
    bool stopped = false;              // a zero byte has ended its text...
    std::size_t stoppedAt = 0;         // ...this many bytes long
    bool lastIsCarriageReturn = false; // so that a CR LF that ends it is no part of its text
};

// One line that has ended, its own LF or CR LF left off.
struct Line {
    const char *text;   // valid until the next call with the same buffer and data
    std::size_t length; // at most kBufLen
    bool reported;      // it begins with the report prefix
    bool cut;           // its text was longer than kBufLen bytes; `text` has the first kBufLen
};

// Takes the bytes of `data` up to and including its first line feed, or all of them where it has
// none, into the line in `buffer`. Returns how many bytes were taken; when a line feed was among
// them, `*ended` is set and `*line` is the line it ended, and the buffer is empty again. The text
// of a line stops at its first zero byte, as a receive's does.
std::size_t TakeLine(LineBuffer *buffer, const char *data, std::size_t size, Line *line,
                     bool *ended);

// The feed has closed, or its connection was lost, with a line not yet ended: that line as it
// stands, and the buffer empty again. False when no line was begun.
bool TakeUnendedLine(LineBuffer *buffer, Line *line);
