// Text encoders: UTF-8 text (as the str conversion delivers it) -> bytes.
//
// Each encoder makes one pass: the caller provides a buffer of
// encoded_size_bound bytes (an upper bound that follows from the UTF-8 length
// alone), encode_text_into writes the encoding into it and says how many
// bytes it wrote, or reports the first character the encoder cannot hold.
// The caller then shrinks its buffer to the written size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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

// An upper bound of the size in bytes of the encoding of any text whose UTF-8
// form has `utf8_size` bytes (exact for ASCII text), or nothing when the bound
// would exceed PTRDIFF_MAX (no buffer of that size can exist).
std::optional<std::size_t> encoded_size_bound(TextEncoder which, std::size_t utf8_size);

// Writes the encoding of `text` to `out`, which holds at least
// encoded_size_bound(which, text.size()) bytes, and returns the number of
// bytes written, or the encoder's error (the contents of `out` are then
// unspecified). Never writes past the bound, whatever the bytes of `text`.
Result<std::size_t> encode_text_into(TextEncoder which, std::string_view text, char* out);

// The same encoders returning std::string, thin wrappers of the pass above.
// The text is valid UTF-8 (lone surrogates are refused before it gets here).
// encode_utf8 is the text itself: the caller copies it once into the result.
inline std::string_view encode_utf8(std::string_view text) { return text; }
std::string encode_utf16(std::string_view text);    // FE FF, then big-endian
std::string encode_utf16be(std::string_view text);
std::string encode_utf16le(std::string_view text);
std::string encode_utf32(std::string_view text);    // 00 00 FE FF, then big-endian
std::string encode_utf32be(std::string_view text);
std::string encode_utf32le(std::string_view text);
Result<std::string> encode_us_ascii(std::string_view text);
Result<std::string> encode_iso_8859_1(std::string_view text);
Result<std::string> encode_windows_1252(std::string_view text);

// Replaces the contents of `out` with the encoding of `text` (one pass into
// the string sized to the bound, then cut to the written size), or fails with
// the encoder's error. A bound that encoded_size_bound refuses throws
// std::length_error, as any std::string of that size would: a caller that
// must not throw checks the bound first.
Result<void> encode_text_to(TextEncoder which, std::string_view text, std::string& out);

}  // namespace kestrune
