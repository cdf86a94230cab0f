// Text decoders: bytes -> UTF-8 text, which the boundary turns into a str.
#pragma once

#include <string>
#include <string_view>

#include "../error.hpp"

namespace kestrune {

// Validates strictly and returns the input itself (it is already UTF-8).
Result<std::string_view> decode_utf8(std::string_view bytes);
Result<std::string> decode_utf16(std::string_view bytes);
Result<std::string> decode_utf16_with_endianness(std::string_view bytes, bool little_endian);
Result<std::string> decode_utf32(std::string_view bytes);
Result<std::string> decode_utf32_with_endianness(std::string_view bytes, bool little_endian);
Result<std::string> decode_us_ascii(std::string_view bytes);
std::string decode_iso_8859_1(std::string_view bytes);
Result<std::string> decode_windows_1252(std::string_view bytes);

}  // namespace kestrune
