// Text decoders: bytes -> text.
//
// Each decoder runs in two passes. The measuring pass validates the input
// (reporting the first fault) and finds the text's length in code points and
// its largest code point; the filling pass writes the code points into a
// buffer of 1-, 2- or 4-byte units that the caller sized from the
// measurement. The caller can so build its string once, in the narrowest
// storage that holds the text, with no intermediate UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "../error.hpp"

namespace kestrune {

enum class TextDecoder : std::uint8_t {
    Utf8,
    Utf16,    // byte order from a leading mark, else big-endian
    Utf16le,  // no mark detection
    Utf16be,
    Utf32,    // byte order from a leading mark, else big-endian
    Utf32le,  // no mark detection
    Utf32be,
    UsAscii,
    Iso8859_1,
    Windows1252,
};

// How the measured bytes map to code points.
enum class TextForm : std::uint8_t { Utf8, Utf16le, Utf16be, Utf32le, Utf32be, Latin1, Windows1252 };

struct MeasuredText {
    TextForm form;
    std::string_view body;  // the bytes holding the text (byte-order marks removed)
    std::size_t length;     // in code points
    // The largest code point, or a larger value of the same storage width:
    // below 0x80 exactly when all code points are, and likewise below 0x100
    // and below 0x10000. It selects the same width as the exact value.
    char32_t max_char;
};

// Validates `bytes` for decoder `which` and measures its text.
Result<MeasuredText> measure_text(TextDecoder which, std::string_view bytes);

// Writes the measured text's code points to out[0, text.length). Unit must
// hold text.max_char (uint8_t up to 0xFF, uint16_t up to 0xFFFF, uint32_t).
template <class Unit>
void fill_text(const MeasuredText& text, Unit* out);

extern template void fill_text<std::uint8_t>(const MeasuredText&, std::uint8_t*);
extern template void fill_text<std::uint16_t>(const MeasuredText&, std::uint16_t*);
extern template void fill_text<std::uint32_t>(const MeasuredText&, std::uint32_t*);

// The same decoders returning UTF-8 text, built on the two passes above.
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
