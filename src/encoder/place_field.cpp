// Placing a field's bits into a packet.
#include "place_field.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace kestrune::builder {
namespace {

// The eight source bits that start at field bit `t` (which may lie up to
// seven bits before the field); bits outside the source read as zero.
inline std::uint8_t source_byte(const std::uint8_t* src, std::uint64_t len, std::int64_t t) {
    if (t < 0) {
        return len > 0 ? static_cast<std::uint8_t>(src[0] >> (-t)) : 0;
    }
    const auto q = static_cast<std::uint64_t>(t) / 8;
    const auto r = static_cast<unsigned>(t % 8);
    const unsigned hi = q < len ? src[q] : 0;
    if (r == 0) {
        return static_cast<std::uint8_t>(hi);
    }
    const unsigned lo = q + 1 < len ? src[q + 1] : 0;
    return static_cast<std::uint8_t>((hi << r) | (lo >> (8 - r)));
}

}  // namespace

void place_field(std::uint8_t* packet, std::uint64_t packet_size, std::uint64_t off, const std::uint8_t* src,
                 std::uint64_t len, std::uint32_t bits) noexcept {
    const std::uint64_t first = off / 8;
    if (bits == 0 || first >= packet_size) {
        return;
    }
    // Keep the last `bits` bits of the source: drop whole leading bytes
    // first, so that fewer than eight bits are skipped within a byte.
    std::uint64_t skip = 0;
    if (len > bits / 8) {
        const std::uint64_t excess = len * 8 - bits;
        src += excess / 8;
        len -= excess / 8;
        skip = excess % 8;
    }
    const std::uint64_t shift = off % 8;
    // Bytes of the packet the field touches, clipped to the packet.
    const std::uint64_t span = (shift + bits + 7) / 8;
    const std::uint64_t count = std::min(span, packet_size - first);
    std::uint8_t* dst = packet + first;

    if (shift == 0 && skip == 0) {
        // Byte-aligned field: whole bytes are copied (zero past the source).
        const std::uint64_t whole = std::min<std::uint64_t>(bits / 8, count);
        const std::uint64_t copied = std::min(whole, len);
        std::memcpy(dst, src, static_cast<std::size_t>(copied));
        std::memset(dst + copied, 0, static_cast<std::size_t>(whole - copied));
        const unsigned rest = bits % 8;
        if (rest != 0 && whole < count) {
            const auto mask = static_cast<std::uint8_t>(0xFF << (8 - rest));
            const std::uint8_t b = whole < len ? src[whole] : 0;
            dst[whole] = static_cast<std::uint8_t>((dst[whole] & ~mask) | (b & mask));
        }
        return;
    }
    // Unaligned field: each packet byte is assembled from two source bytes
    // and merged under the mask of the field's bits in that byte.
    const std::uint64_t end_rel = shift + bits;  // field end, counted from dst's first bit
    auto one = [&](std::uint64_t k) {
        const std::uint64_t lo = k == 0 ? shift : 0;
        const std::uint64_t hi = std::min<std::uint64_t>(end_rel - 8 * k, 8);
        const auto mask = static_cast<std::uint8_t>((0xFFu >> lo) & (0xFFu << (8 - hi)));
        const std::int64_t t = static_cast<std::int64_t>(skip) + static_cast<std::int64_t>(8 * k) -
                               static_cast<std::int64_t>(shift);
        const std::uint8_t b = source_byte(src, len, t);
        dst[k] = static_cast<std::uint8_t>((dst[k] & ~mask) | (b & mask));
    };
    one(0);
    // From byte 1 on, every packet byte before the last one the field ends
    // in is whole: eight of them at a time are one word of source bits,
    // shifted by the same amount, while nine source bytes are there to read.
    std::uint64_t k = 1;
    const std::uint64_t t1 = skip + 8 - shift;  // source bit of packet byte 1
    const std::uint64_t q1 = t1 / 8;
    const auto r = static_cast<unsigned>(t1 % 8);
    const std::uint64_t whole_end = std::min(count, end_rel / 8);  // bytes before it are whole
    while (k + 8 <= whole_end && q1 + (k - 1) + 9 <= len) {
        const std::uint8_t* from = src + q1 + (k - 1);
        std::uint64_t word;
        std::memcpy(&word, from, 8);
        if constexpr (std::endian::native == std::endian::little) {
            word = std::byteswap(word);
        }
        if (r != 0) {
            word = (word << r) | (from[8] >> (8 - r));
        }
        if constexpr (std::endian::native == std::endian::little) {
            word = std::byteswap(word);
        }
        std::memcpy(dst + k, &word, 8);
        k += 8;
    }
    for (; k < count; ++k) {
        one(k);
    }
}

}  // namespace kestrune::builder
