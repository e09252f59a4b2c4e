#pragma once

// Bytes from the network or from an operator's file, made safe to show: the one escaping
// that every program of the collector writes names and values with.

#include <cstddef>
#include <string>
#include <string_view>

// `text` with every byte that is not printable ASCII, and the backslash, written as \xNN,
// so that names and values from the network are safe to show.
std::string printable(std::string_view text);

// The same, but a character of valid UTF-8 beyond ASCII is kept, such as the "é" of an
// identifier "été": all but the C1 controls (U+0080 to U+009F) and the marks that turn the
// direction of text (U+202A to U+202E, U+2066 to U+2069), which could steer what is shown.
std::string printableUtf8(std::string_view text);

// The length of the UTF-8 sequence that `text` starts with, or 0 when it starts with none: a
// stray continuation byte, a sequence cut short, an overlong form, a surrogate or a code
// point beyond U+10FFFF. A terminal may take any of these for a control of its own, and a
// reader that wants UTF-8 rejects them.
std::size_t utf8SequenceLength(std::string_view text);

// Where the first byte that is not part of valid UTF-8 is in `text`, or npos when all is.
std::size_t firstInvalidUtf8(std::string_view text);
