// The length of the ASCII run at the start of a byte string, a machine word
// at a time: shared by the text decoders and encoders.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kestrune {

// The masks below assume that a word loaded from memory has its first byte
// lowest.
static_assert(std::endian::native == std::endian::little);

inline std::uint64_t load_word(const std::uint8_t* p) {
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

// The index of the first byte of p[0, n) that is 0x80 or above, or n: 32
// bytes per step while they are all ASCII, then a word at a time.
inline std::size_t ascii_prefix(const std::uint8_t* p, std::size_t n) {
    constexpr std::uint64_t high = 0x8080808080808080ULL;
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        if (((load_word(p + i) | load_word(p + i + 8) | load_word(p + i + 16) | load_word(p + i + 24)) & high) != 0) {
            break;
        }
    }
    for (; i + 8 <= n; i += 8) {
        if (const std::uint64_t w = load_word(p + i) & high; w != 0) {
            return i + static_cast<std::size_t>(std::countr_zero(w)) / 8;
        }
    }
    for (; i < n; ++i) {
        if (p[i] >= 0x80) {
            return i;
        }
    }
    return n;
}

}  // namespace kestrune
