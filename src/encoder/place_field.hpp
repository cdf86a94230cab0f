// Placing a field's bits into a packet: pure bit arithmetic on byte buffers,
// used by the packet builder.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

namespace kestrune::builder {

// Writes exactly `bits` packet bits starting at packet bit `off` from the
// last `bits` bits of `src` (`len` bytes; when `src` holds fewer bits than
// `bits`, it fills the start of the field and the rest is zero). Bits are
// replaced, not ORed; bits that fall outside the packet are not written.
void place_field(std::uint8_t* packet, std::uint64_t packet_size, std::uint64_t off, const std::uint8_t* src,
                 std::uint64_t len, std::uint32_t bits) noexcept;

// place_field for a numeric field of `bits` <= 64 bits held as a number
// (its low `bits` bits, most significant first). Inline: it runs for every
// numeric field.
inline void place_number(std::uint8_t* packet, std::uint64_t packet_size, std::uint64_t off, std::uint64_t field,
                         std::uint32_t bits) noexcept {
    const std::uint64_t first = off / 8;
    if (bits == 0 || first >= packet_size) {
        return;
    }
    const auto shift = static_cast<unsigned>(off % 8);
    const std::uint64_t ones = bits == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
    std::uint8_t* dst = packet + first;
    if (shift + bits <= 64 && packet_size - first >= 8) {
        // The field lies in the eight bytes from dst: one word, merged.
        const unsigned low = 64 - shift - bits;
        const std::uint64_t mask = ones << low;
        std::uint64_t word;
        std::memcpy(&word, dst, 8);
        if constexpr (std::endian::native == std::endian::little) {
            word = std::byteswap(word);
        }
        word = (word & ~mask) | ((field << low) & mask);
        if constexpr (std::endian::native == std::endian::little) {
            word = std::byteswap(word);
        }
        std::memcpy(dst, &word, 8);
        return;
    }
    // Near the end of the packet, or nine bytes: byte by byte, clipped. Byte
    // k holds field bits top .. top + 7 (counted from the field's first bit,
    // top = 8k - shift >= -7): the number shifted down by bits - 8 - top.
    auto byte_of = [bits](std::uint64_t v, int top) {
        const int down = static_cast<int>(bits) - 8 - top;
        return static_cast<std::uint8_t>(down >= 0 ? v >> down : v << -down);
    };
    const std::uint64_t span = (shift + bits + 7) / 8;
    const std::uint64_t count = std::min(span, packet_size - first);
    for (std::uint64_t k = 0; k < count; ++k) {
        const int top = static_cast<int>(8 * k) - static_cast<int>(shift);
        const std::uint8_t m = byte_of(ones, top);
        dst[k] = static_cast<std::uint8_t>((dst[k] & ~m) | (byte_of(field & ones, top) & m));
    }
}

}  // namespace kestrune::builder
