// Text encoders: text in fixed-width code units (as a str stores it) -> bytes.
//
// Each encoder makes one pass: the caller provides a buffer of
// encoded_size_bound bytes (an upper bound that follows from the text's
// length and unit width), encode_text_into writes the encoding into it and
// says how many bytes it wrote, or reports the first character the encoder
// cannot hold. The caller then shrinks its buffer to the written size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "../error.hpp"

namespace kestrune {

enum class TextEncoder : std::uint8_t {
    Utf8,
    Utf16,  // FE FF, then big-endian
    Utf16be,
    Utf16le,
    Utf32,  // 00 00 FE FF, then big-endian
    Utf32be,
    Utf32le,
    UsAscii,
    Iso8859_1,
    Windows1252,
};

// `length` code points stored at `data` in units of `width` bytes (1, 2 or
// 4, host byte order). `ascii` promises that every code point is below 0x80
// (it only tightens the bound); code points above U+10FFFF in 4-byte units
// are refused like surrogates.
struct TextView {
    const void* data;
    std::size_t length;
    unsigned width;
    bool ascii;
};

// The error message for text that holds a surrogate code point (or, in
// 4-byte units, a value above U+10FFFF): no Unicode form can encode it, and
// neither can the single-byte charsets. `index` is its position.
std::string surrogate_message(std::size_t index);

// True when the text holds a surrogate code point or a 4-byte unit above
// U+10FFFF.
bool has_surrogate(TextView text);

// True when the units of `text` are already its encoding by `which`: ASCII
// in one-byte units for the encoders that extend ASCII, any one-byte units
// for ISO-8859-1. Such text encodes by a copy.
bool is_own_encoding(TextEncoder which, TextView text);

// An upper bound of the size in bytes of the encoding of `text`, or nothing
// when the bound would exceed PTRDIFF_MAX (no buffer of that size can exist).
std::optional<std::size_t> encoded_size_bound(TextEncoder which, TextView text);

// Writes the encoding of `text` to `out`, which holds at least
// encoded_size_bound(which, text) bytes, and returns the number of bytes
// written, or the encoder's error (the contents of `out` are then
// unspecified). A surrogate fails every encoder with surrogate_message,
// unless a character before it already failed a single-byte charset.
Result<std::size_t> encode_text_into(TextEncoder which, TextView text, char* out);

// Replaces the contents of `out` with the encoding of `text` (one pass into
// the string sized to the bound, then cut to the written size), or fails with
// the encoder's error. A bound that encoded_size_bound refuses throws
// std::length_error, as any std::string of that size would: a caller that
// must not throw checks the bound first.
Result<void> encode_text_to(TextEncoder which, TextView text, std::string& out);

}  // namespace kestrune
