// The windows-1252 single-byte index of the WHATWG Encoding Standard, shared
// by the encoder and the decoder.
//
// Bytes 0x00-0x7F are ASCII and bytes 0xA0-0xFF equal their Latin-1 code
// points; only 0x80-0x9F need a table. The five bytes that Windows leaves
// undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the C1 controls of the same
// value, so every byte decodes and the mapping is a bijection on its range.
#pragma once

#include <array>
#include <cstdint>

namespace kestrune::windows_1252 {

inline constexpr char16_t kHighControlRange[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88-8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98-9F
};

// The code point of byte `b`.
constexpr char32_t code_point(std::uint8_t b) noexcept {
    return (b >= 0x80 && b < 0xA0) ? char32_t{kHighControlRange[b - 0x80]} : char32_t{b};
}

// The code points of bytes 80-9F by a hash of the code point that puts
// each of the 32 in a slot of its own (checked below): the slot holds the
// byte, 0 when empty.
constexpr unsigned slot_of(char32_t cp) noexcept { return ((cp * 3) ^ (cp >> 3)) & 127; }

inline constexpr std::array<std::uint8_t, 128> kHighControlSlots = [] {
    std::array<std::uint8_t, 128> slots{};
    for (unsigned i = 0; i < 32; ++i) {
        slots[slot_of(kHighControlRange[i])] = static_cast<std::uint8_t>(0x80 + i);
    }
    return slots;
}();

static_assert([] {
    for (unsigned i = 0; i < 32; ++i) {
        if (kHighControlSlots[slot_of(kHighControlRange[i])] != 0x80 + i) {
            return false;
        }
    }
    return true;
}(), "two code points of bytes 80-9F share a slot");

// The byte of code point `cp`, or -1 when windows-1252 has none.
constexpr int byte_for(char32_t cp) noexcept {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) {
        return static_cast<int>(cp);
    }
    const std::uint8_t b = kHighControlSlots[slot_of(cp)];
    return b != 0 && kHighControlRange[b - 0x80] == cp ? b : -1;
}

}  // namespace kestrune::windows_1252
