// Text encoders: UTF-8 text (as the str conversion delivers it) -> bytes.
//
// Each encoder runs in two passes: encoded_size validates the text for the
// encoder (reporting the first character it cannot hold) and gives the exact
// size of the result; encode_text_into then writes the result into a buffer
// of that size, so that the caller can allocate its result object once.
#pragma once

#include <cstddef>
#include <cstdint>
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

// The size in bytes of the encoding of `text`, or the encoder's error.
Result<std::size_t> encoded_size(TextEncoder which, std::string_view text);

// Writes the encoding of `text` to out[0, size), `size` being what
// encoded_size gave for the same text. Never writes past out + size; returns
// false (a broken precondition) when the encoding does not fill exactly
// `size` bytes or the text cannot be encoded.
bool encode_text_into(TextEncoder which, std::string_view text, char* out, std::size_t size);

// The same encoders returning std::string, built on the two passes above.
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

}  // namespace kestrune
