#pragma once

// The flood run: the feed sends its messages as fast as it can, each in a send() of its own, and
// whatever the client cannot take at once piles up in the connection and arrives glued together,
// up to a full receive at a time. It measures how many messages a second reach the client's
// log.txt, and how many of the client's receives held more than one.

#include <string>

#include "bench/services.h"

struct FloodResult {
    double seconds = 0;    // from the first send until the client closed the feed, or the limit
    bool finished = false; // the client read all of it and closed the feed within the limit
    long logged = 0;       // messages whole in log.txt
    long reports = 0;      // lines of log.txt: one per reported receive
    long glued = 0;        // of them, those whose text holds more than one message
};

// What log.txt says of messages "50;<n>\n" that arrived glued: each report line "<ms>: <text>\n"
// is one receive, whose text may run over several lines. The last line of a text is either empty
// (the receive ended with a message) or the start of a message the receive cut, whose rest began
// the next receive (which does not begin with "50;", so it was not reported).
void CountReports(const std::string &log, FloodResult *result);
// The same of a log that holds a message a line (chanlog --lines): each report line is a whole
// message, counted once, in the order they were sent; none is glued.
void CountLines(const std::string &log, FloodResult *result);

// Sends "50;<n>\n" for n = 1..count to the connected client, closes the sending side, and waits
// until the client closes the feed in turn: by then its log holds everything it will log. Reads
// the client's standard output all along when `readConsole`, or leaves it unread. Gives up after
// `limitMs`. Its log is read as CountLines reads it when `asLines`. False (with a message) when
// sending failed.
bool RunFlood(Client *client, long count, bool readConsole, bool asLines, int limitMs,
              FloodResult *result);
