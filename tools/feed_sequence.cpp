#include "tools/feed_sequence.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include "tools/feed_io.h"

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
constexpr char32_t kLastCharacter = 0x10ffff;
constexpr char32_t kFirstAfterC1 = 0xa0; // C1, the control characters from U+0080 on, ends here

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

// Takes the line in `partial` as the next message: kept, or only counted where the sequence is
// read again as it is sent (then its room is kept for the next line, instead of freed).
void TakeLine(Sequence *sequence) {
    ++sequence->lines;
    const std::size_t size = sequence->partial.size();
    if (size > kOneReceiveMax && sequence->source != nullptr) {
        std::fprintf(
            stderr,
            "sample-feed: line %zu of %s is %zu bytes, more than one receive of the client "
            "takes (%zu); it will arrive in pieces\n",
            sequence->lines, sequence->source, size, kOneReceiveMax);
    }
    if (sequence->keep) {
        sequence->messages.push_back(std::move(sequence->partial));
    }
    sequence->partial.clear();
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
            sequence->mark = mark->bytes.size();
            sequence->offset = static_cast<long long>(sequence->mark);
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

void SetFault(Sequence *sequence, const char *what, long long at) {
    char text[96];
    std::snprintf(text, sizeof text, "not valid UTF-16: %s at offset %lld", what, at);
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
                     sequence->offset + static_cast<long long>(at));
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
            SetFault(sequence, "an unpaired surrogate",
                     sequence->offset + static_cast<long long>(at));
        }
    }
    sequence->offset += static_cast<long long>(at);
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
        TakeLine(sequence);
        start = end + 1;
    }
    sequence->partial.append(text.substr(start));
}

// Where the first line feed in `raw` from `from` (the start of a character) begins; npos for none.
// A UTF-16 line feed is a unit of its own, never a half of a pair.
std::size_t FindLineFeed(const std::string &raw, std::size_t from, Encoding encoding) {
    if (encoding == Encoding::kBytes) {
        return raw.find('\n', from);
    }
    for (std::size_t at = from; at + 2 <= raw.size(); at += 2) {
        if (UnitAt(raw, at, encoding) == '\n') {
            return at;
        }
    }
    return std::string::npos;
}

// The bytes of the file's line that begins at `at`, its line feed included, up to the end that the
// file had when it was checked. False, with `*why`, when they cannot be read.
bool ReadRawLine(const Sequence &sequence, long long at, std::string *raw, std::string *why) {
    if (!FeedSeek(sequence.file, at)) {
        *why = std::strerror(errno);
        return false;
    }
    const std::size_t unit = sequence.encoding == Encoding::kBytes ? 1 : 2;
    char chunk[kReadChunk];
    std::size_t searched = 0;
    long long left = sequence.end - at;
    while (left > 0) {
        const std::size_t want =
            static_cast<std::size_t>(std::min(left, static_cast<long long>(sizeof chunk)));
        const std::size_t got = std::fread(chunk, 1, want, sequence.file);
        raw->append(chunk, got);
        left -= static_cast<long long>(got);
        const std::size_t lineFeed = FindLineFeed(*raw, searched, sequence.encoding);
        if (lineFeed != std::string::npos) {
            raw->resize(lineFeed + unit);
            return true;
        }
        searched = raw->size() - raw->size() % unit;
        if (got < want) {
            break;
        }
    }
    if (std::ferror(sequence.file) != 0) {
        *why = std::strerror(errno);
        return false;
    }
    if (raw->empty()) {
        *why = "it is shorter now than when sample-feed started";
        return false;
    }
    return true;
}

// The bytes of the character that begins at `at` when it is valid UTF-8 and no control character
// (C0, DEL, or C1, U+0080 to U+009F), and so shows as itself; 0 when it is to be escaped.
std::size_t ShownAsItIs(const std::string &text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) {
        return lead >= 0x20 && lead != 0x7f ? 1 : 0;
    }
    // The lead byte says the length, its low bits begin the character; 0xc0, 0xc1 and from 0xf5
    // on begin none.
    const std::size_t length = lead >= 0xc2 && lead < 0xe0   ? 2
                               : lead >= 0xe0 && lead < 0xf0 ? 3
                               : lead >= 0xf0 && lead < 0xf5 ? 4
                                                             : 0;
    if (length == 0 || at + length > text.size()) {
        return 0;
    }
    char32_t c = lead & (0x7fU >> length);
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xc0U) != 0x80) {
            return 0;
        }
        c = (c << 6U) | (next & 0x3fU);
    }
    // The least character of each length, so that none is said in more bytes than it needs.
    constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, kFirstBeyondUnits};
    const bool control = c < kFirstAfterC1;
    const bool surrogate = c >= kHighSurrogate && c < kSurrogateEnd;
    return c >= kLeast[length] && !control && !surrogate && c <= kLastCharacter ? length : 0;
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
        TakeLine(sequence);
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
    sequence->keep = false;
    char chunk[kReadChunk];
    std::size_t got = 0;
    long long size = 0;
    while (sequence->fault.empty() && (got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        size += static_cast<long long>(got);
        AppendInput(sequence, chunk, got);
    }
    const bool failed = std::ferror(file) != 0;
    const int saved = errno;
    FinishInput(sequence);
    *why = failed ? std::strerror(saved) : sequence->fault;
    if (!why->empty()) {
        std::fclose(file);
        return false;
    }
    sequence->file = file; // open until the process ends
    sequence->start = static_cast<long long>(sequence->mark);
    sequence->end = size;
    return true;
}

std::size_t MessageCount(const Sequence &sequence) {
    return sequence.file != nullptr ? sequence.lines : sequence.messages.size();
}

bool MessageAt(const Sequence &sequence, std::size_t index, long long *at, std::string *message,
               std::string *why) {
    if (sequence.file == nullptr) {
        *message = sequence.messages[index];
        return true;
    }
    if (index == 0) {
        *at = sequence.start;
    }
    std::string raw;
    if (!ReadRawLine(sequence, *at, &raw, why)) {
        return false;
    }
    // Decoded as it was when checked, from where its line begins: a byte-order mark is past.
    Sequence line;
    line.encoding = sequence.encoding;
    line.offset = *at;
    AppendInput(&line, raw.data(), raw.size());
    FinishInput(&line);
    *why = line.fault;
    if (!why->empty()) {
        return false;
    }
    *message = std::move(line.messages.front()); // `raw` is not empty: it makes one line
    *at += static_cast<long long>(raw.size());
    return true;
}

std::string Printable(const std::string &message) {
    std::string text;
    for (std::size_t at = 0; at < message.size();) {
        const char c = message[at];
        const std::size_t shown = c == '\n' || c == '\\' ? 0 : ShownAsItIs(message, at);
        if (shown > 0) {
            text.append(message, at, shown);
            at += shown;
            continue;
        }
        if (c == '\n') {
            text += "\\n";
        } else if (c == '\\') {
            text += "\\\\";
        } else {
            char escape[sizeof "\\xff"];
            std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(c));
            text += escape;
        }
        ++at;
    }
    return text;
}
