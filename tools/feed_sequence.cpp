#include "tools/feed_sequence.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

namespace {

// The most one receive of the client takes: a longer message reaches it in several pieces, and
// only the first of them can be reported.
constexpr std::size_t kOneReceiveMax = 1024;
constexpr std::size_t kReadChunk = 4096;

// The byte-order marks that may begin the input, and what each says of the rest.
struct ByteOrderMark {
    std::string_view bytes;
    Encoding encoding;
};
constexpr ByteOrderMark kByteOrderMarks[] = {
    {"\xef\xbb\xbf", Encoding::kBytes}, // UTF-8, which is sent as it is
    {"\xff\xfe", Encoding::kUtf16Le},
    {"\xfe\xff", Encoding::kUtf16Be},
};

// UTF-16's surrogates: a character past U+FFFF is a high one followed by a low one.
constexpr char32_t kHighSurrogate = 0xd800;
constexpr char32_t kLowSurrogate = 0xdc00;
constexpr char32_t kSurrogateEnd = 0xe000;
constexpr char32_t kFirstBeyondUnits = 0x10000;
constexpr int kSurrogateBits = 10;

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

// The byte-order mark that `head`, the first bytes of the input, is or begins; nullptr for none.
const ByteOrderMark *MarkStartedBy(const std::string &head) {
    for (const ByteOrderMark &mark : kByteOrderMarks) {
        if (mark.bytes.starts_with(head)) {
            return &mark;
        }
    }
    return nullptr;
}

// Takes off the start of `input` the bytes of a byte-order mark at the start of the sequence's
// input, and takes the encoding it says. They may come split over several reads: those that could
// still be one wait in `partial` until the next byte tells.
void TakeByteOrderMark(Sequence *sequence, std::string_view *input) {
    while (sequence->atStart && !input->empty()) {
        std::string head = sequence->partial + input->front();
        const ByteOrderMark *mark = MarkStartedBy(head);
        if (mark == nullptr) {
            sequence->atStart = false; // text, kept whole in `partial` and `input`
            return;
        }
        input->remove_prefix(1);
        sequence->partial = std::move(head);
        if (sequence->partial == mark->bytes) {
            sequence->encoding = mark->encoding;
            sequence->offset = mark->bytes.size();
            sequence->partial.clear();
            sequence->atStart = false;
        }
    }
}

char32_t UnitAt(const std::string &bytes, std::size_t at, Encoding encoding) {
    const auto first = static_cast<unsigned char>(bytes[at]);
    const auto second = static_cast<unsigned char>(bytes[at + 1]);
    return encoding == Encoding::kUtf16Le ? first | (second << 8U) : (first << 8U) | second;
}

void AppendUtf8(std::string *text, char32_t c) {
    auto byte = [text](char32_t value) { text->push_back(static_cast<char>(value)); };
    if (c < 0x80) {
        byte(c);
    } else if (c < 0x800) {
        byte(0xc0 | (c >> 6U));
        byte(0x80 | (c & 0x3fU));
    } else if (c < kFirstBeyondUnits) {
        byte(0xe0 | (c >> 12U));
        byte(0x80 | ((c >> 6U) & 0x3fU));
        byte(0x80 | (c & 0x3fU));
    } else {
        byte(0xf0 | (c >> 18U));
        byte(0x80 | ((c >> 12U) & 0x3fU));
        byte(0x80 | ((c >> 6U) & 0x3fU));
        byte(0x80 | (c & 0x3fU));
    }
}

bool IsHigh(char32_t unit) {
    return unit >= kHighSurrogate && unit < kLowSurrogate;
}

bool IsLow(char32_t unit) {
    return unit >= kLowSurrogate && unit < kSurrogateEnd;
}

void SetFault(Sequence *sequence, const char *what, std::size_t at) {
    char text[96];
    std::snprintf(text, sizeof text, "not valid UTF-16: %s at offset %zu", what, at);
    sequence->fault = text;
}

// The UTF-16 input that `undecoded` and `input` make, as UTF-8, as far as it holds whole
// characters; the rest waits in `undecoded` for the next read. A zero character, which no text
// holds (it is how UTF-32 looks as UTF-16), or a surrogate without its other half is a fault.
std::string DecodeUtf16(Sequence *sequence, std::string_view input) {
    std::string bytes = std::move(sequence->undecoded);
    bytes.append(input);
    std::string text;
    std::size_t at = 0;
    while (at + 2 <= bytes.size() && sequence->fault.empty()) {
        const char32_t unit = UnitAt(bytes, at, sequence->encoding);
        if (unit == 0 || IsLow(unit)) {
            SetFault(sequence, unit == 0 ? "a zero character" : "an unpaired surrogate",
                     sequence->offset + at);
        } else if (!IsHigh(unit)) {
            AppendUtf8(&text, unit);
            at += 2;
        } else if (at + 4 > bytes.size()) {
            break; // its low half comes with the next read
        } else if (const char32_t low = UnitAt(bytes, at + 2, sequence->encoding); IsLow(low)) {
            AppendUtf8(&text, kFirstBeyondUnits + ((unit - kHighSurrogate) << kSurrogateBits) +
                                  (low - kLowSurrogate));
            at += 4;
        } else {
            SetFault(sequence, "an unpaired surrogate", sequence->offset + at);
        }
    }
    sequence->offset += at;
    sequence->undecoded = bytes.substr(at);
    return text;
}

// Adds each complete line of `text` as one message; see AppendInput.
void AddText(Sequence *sequence, std::string_view text) {
    std::size_t start = 0;
    std::size_t end = 0;
    while ((end = text.find('\n', start)) != std::string_view::npos) {
        sequence->partial.append(text.substr(start, end + 1 - start));
        // The CR may have come in the read before the line feed's: it is in `partial` by now.
        if (sequence->partial.ends_with("\r\n")) {
            sequence->partial.erase(sequence->partial.size() - 2, 1);
        }
        AddMessage(sequence, std::move(sequence->partial));
        sequence->partial.clear();
        start = end + 1;
    }
    sequence->partial.append(text.substr(start));
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
    if (!sequence->fault.empty()) {
        return;
    }
    std::string_view input(data, length);
    TakeByteOrderMark(sequence, &input);
    if (sequence->encoding == Encoding::kBytes) {
        AddText(sequence, input);
        return;
    }
    AddText(sequence, DecodeUtf16(sequence, input));
}

void FinishInput(Sequence *sequence) {
    if (sequence->fault.empty() && !sequence->undecoded.empty()) {
        SetFault(sequence, "half a character", sequence->offset); // at its end
    }
    if (!sequence->partial.empty()) {
        AddMessage(sequence, std::move(sequence->partial));
        sequence->partial.clear();
    }
    sequence->complete = true;
}

bool LoadFile(const char *path, Sequence *sequence, std::string *why) {
    std::FILE *file = std::fopen(path, "rb");
    if (file == nullptr) {
        *why = std::strerror(errno);
        return false;
    }
    *sequence = PendingInput(path);
    char chunk[kReadChunk];
    std::size_t got = 0;
    while (sequence->fault.empty() && (got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        AppendInput(sequence, chunk, got);
    }
    const bool failed = std::ferror(file) != 0;
    const int saved = errno;
    std::fclose(file);
    if (failed) {
        *why = std::strerror(saved);
        return false;
    }
    FinishInput(sequence);
    *why = sequence->fault;
    return why->empty();
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
