// Text encoders: UTF-8 text (as the str conversion delivers it) -> bytes.
#pragma once

#include <string>
#include <string_view>

#include "../error.hpp"

namespace kestrune {

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
