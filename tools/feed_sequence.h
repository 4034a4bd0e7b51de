#pragma once

// The messages the sample service sends to each feed client: the built-in sample, or the lines of
// a file or of standard input.

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

// How the input's bytes are text: as they are, or UTF-16 of either byte order, which its
// byte-order mark says.
enum class Encoding { kBytes, kUtf16Le, kUtf16Be };

struct Sequence {
    std::vector<std::string> messages; // the built-in sample's or standard input's
    bool keep = true;                  // false: lines are only counted, and read again when sent
    std::size_t lines = 0;             // lines taken so far, kept or not
    bool complete = true;              // false while standard input may still add lines
    std::string partial;               // the start of a line whose line feed has not come yet
    bool atStart = false;              // no byte of the input taken yet: a byte-order mark may come
    const char *source = nullptr; // where the lines come from, for warnings; nullptr: none said
    Encoding encoding = Encoding::kBytes;
    std::string undecoded; // UTF-16 input that does not make a whole character yet
    long long offset = 0;  // where in the input `undecoded` begins
    std::size_t mark = 0;  // the bytes of the byte-order mark that began the input
    std::string fault;     // why the input is not text; once said, nothing more is taken
    // A file's lines are read from it as they are sent: where its first line begins, and its
    // size when it was checked, which is all that is sent of it.
    std::FILE *file = nullptr;
    long long start = 0;
    long long end = 0;
};

// A short mix of messages that begin with "50;" and messages that do not, so that the client's
// filter shows.
Sequence DefaultSample();

// An empty, incomplete sequence that AppendInput and FinishInput fill from `source`.
Sequence PendingInput(const char *source);

// Adds each complete line of `data` as one message, line feed included; keeps a trailing piece
// until the rest of its line comes. A line that ends in CR LF is sent with the line feed alone,
// and a UTF-8 byte-order mark at the start of the input is not sent: both are how Windows editors
// save text, not part of the lines. Input that begins with a UTF-16 byte-order mark (as
// PowerShell and Notepad save "Unicode") is UTF-16 and becomes lines of UTF-8; where it is no
// UTF-16 text after all, `fault` says why and the rest is not taken. Any other input is taken
// byte for byte.
void AppendInput(Sequence *sequence, const char *data, std::size_t length);

// The input has ended: a last line without a line feed becomes a message as it is. UTF-16 that
// ends within a character is a fault.
void FinishInput(Sequence *sequence);

// Opens the file at `path` as a sequence whose lines are read from the file as each is sent, so
// that its size costs no memory; it is read through once first, to check that it is text, warn of
// lines longer than a receive and count them. False when it cannot be read, or not as text, with
// `*why` saying why.
bool LoadFile(const char *path, Sequence *sequence, std::string *why);

// The messages of the sequence so far.
std::size_t MessageCount(const Sequence &sequence);
// Puts into `*message` the message at `index` of the sequence; of a file, the line that begins at
// `*at` (each client's own place in it), and moves `*at` on to the next one. False when the file
// can no longer be read as it was checked, with `*why` saying why.
bool MessageAt(const Sequence &sequence, std::size_t index, long long *at, std::string *message,
               std::string *why);

// The message as one printable line: line feeds, other control bytes and bytes outside ASCII as
// escapes.
std::string Printable(const std::string &message);
