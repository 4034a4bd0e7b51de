#include "tools/feed_sequence.h"

#include <cerrno>
#include <cstdio>
#include <string_view>
#include <utility>

namespace {

// The most one receive of the client takes: a longer message reaches it in several pieces, and
// only the first of them can be reported.
constexpr std::size_t kOneReceiveMax = 1024;
constexpr std::size_t kReadChunk = 4096;
constexpr std::string_view kByteOrderMark = "\xef\xbb\xbf";

// Numbered, so that the gaps in the client's output show which ones the filter held back.
const char *const kSample[] = {
    "50;1;boiler;started",
    "49;2;boiler;heartbeat", // another prefix
    "50;3;pump;pressure 1.8 bar",
    "x50;4;pump;pressure 1.9 bar", // the prefix, but at byte 1
    "50",                          // two bytes: shorter than the prefix
    "50;6;valve;opened to 40%",    // a '%' that a careless printf would take for a format
    "50:7;valve;position 40%",     // almost the prefix
    "50;8;pump;pressure 2.1 bar",
    "ALARM;9;none",
    "50;10;boiler;stopped",
};

void AddMessage(Sequence *sequence, std::string message) {
    if (message.size() > kOneReceiveMax) {
        std::fprintf(
            stderr,
            "sample-feed: line %zu of %s is %zu bytes, more than one receive of the client "
            "takes (%zu); it will arrive in pieces\n",
            sequence->messages.size() + 1, sequence->source, message.size(), kOneReceiveMax);
    }
    sequence->messages.push_back(std::move(message));
}

// Takes off the start of `input` the bytes of a byte-order mark at the start of the sequence's
// input. They may come split over several reads: those that could still be one wait in `partial`
// until the next byte tells.
void SkipByteOrderMark(Sequence *sequence, std::string_view *input) {
    while (sequence->atStart && !input->empty()) {
        std::string head = sequence->partial + input->front();
        if (!kByteOrderMark.starts_with(head)) {
            sequence->atStart = false; // text, kept whole in `partial` and `input`
            return;
        }
        input->remove_prefix(1);
        sequence->partial = std::move(head);
        if (sequence->partial == kByteOrderMark) {
            sequence->partial.clear();
            sequence->atStart = false;
        }
    }
}

} // namespace

Sequence DefaultSample() {
    Sequence sequence;
    sequence.source = "the built-in sample";
    for (const char *message : kSample) {
        sequence.messages.emplace_back(message);
    }
    return sequence;
}

Sequence PendingInput(const char *source) {
    Sequence sequence;
    sequence.complete = false;
    sequence.atStart = true;
    sequence.source = source;
    return sequence;
}

void AppendInput(Sequence *sequence, const char *data, std::size_t length) {
    std::string_view input(data, length);
    SkipByteOrderMark(sequence, &input);
    std::size_t start = 0;
    std::size_t end = 0;
    while ((end = input.find('\n', start)) != std::string_view::npos) {
        sequence->partial.append(input.substr(start, end + 1 - start));
        // The CR may have come in the read before the line feed's: it is in `partial` by now.
        if (sequence->partial.ends_with("\r\n")) {
            sequence->partial.erase(sequence->partial.size() - 2, 1);
        }
        AddMessage(sequence, std::move(sequence->partial));
        sequence->partial.clear();
        start = end + 1;
    }
    sequence->partial.append(input.substr(start));
}

void FinishInput(Sequence *sequence) {
    if (!sequence->partial.empty()) {
        AddMessage(sequence, std::move(sequence->partial));
        sequence->partial.clear();
    }
    sequence->complete = true;
}

bool LoadFile(const char *path, Sequence *sequence) {
    std::FILE *file = std::fopen(path, "rb");
    if (file == nullptr) {
        return false;
    }
    *sequence = PendingInput(path);
    char chunk[kReadChunk];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        AppendInput(sequence, chunk, got);
    }
    const bool failed = std::ferror(file) != 0;
    const int saved = errno;
    std::fclose(file);
    if (failed) {
        errno = saved;
        return false;
    }
    FinishInput(sequence);
    return true;
}

std::string Printable(const std::string &message) {
    std::string text;
    for (const char c : message) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            text += "\\n";
        } else if (c == '\\') {
            text += "\\\\";
        } else if (byte < 0x20 || byte >= 0x7f) {
            char escape[sizeof "\\xff"];
            std::snprintf(escape, sizeof escape, "\\x%02x", byte);
            text += escape;
        } else {
            text += c;
        }
    }
    return text;
}
