// Reading fields out of a packet: the packet's bit 0 is the most significant
// bit of its first byte. Pure bit arithmetic on a byte buffer, shared by the
// recipe processor and kept inline for its per-item loop.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace kestrune {

enum class ByteOrder : std::uint8_t { Big, Little };

inline std::uint64_t to_big_endian(std::uint64_t v) {
    if constexpr (std::endian::native == std::endian::little) {
        return std::byteswap(v);
    } else {
        return v;
    }
}

// Up to eight bytes from `p`, the first in the most significant position.
// Only `avail` bytes exist; the missing ones read as zero.
inline std::uint64_t load_be(const unsigned char* p, std::size_t avail) {
    if (avail >= 8) {
        std::uint64_t v;
        std::memcpy(&v, p, 8);
        return to_big_endian(v);
    }
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < avail; ++i) {
        v |= std::uint64_t{p[i]} << (56 - 8 * i);
    }
    return v;
}

// Packet bits pos .. pos+bits-1 as a number, most significant first, for
// 1 <= bits <= 64. The caller has checked that they lie inside the packet.
inline std::uint64_t read_field(const unsigned char* data, std::size_t size, std::uint64_t pos, std::uint32_t bits) {
    const std::size_t first = static_cast<std::size_t>(pos >> 3);
    const unsigned lead = static_cast<unsigned>(pos & 7);
    std::uint64_t v = load_be(data + first, size - first) << lead;
    if (lead + bits > 64) {
        // The field spans nine bytes; the ninth exists (bounds checked).
        v |= static_cast<std::uint64_t>(data[first + 8]) >> (8 - lead);
    }
    return v >> (64 - bits);
}

inline std::uint64_t reverse64(std::uint64_t v) {
    v = ((v >> 1) & 0x5555555555555555ULL) | ((v & 0x5555555555555555ULL) << 1);
    v = ((v >> 2) & 0x3333333333333333ULL) | ((v & 0x3333333333333333ULL) << 2);
    v = ((v >> 4) & 0x0F0F0F0F0F0F0F0FULL) | ((v & 0x0F0F0F0F0F0F0F0FULL) << 4);
    return std::byteswap(v);
}

// The raw pattern of a field of at most 64 bits: the window number (bytes
// reversed for little-endian, whose width is then whole bytes) with its bit
// order mirrored within the width when `reverse_bits` is set.
inline std::uint64_t raw_pattern(std::string_view packet, std::uint64_t pos, std::uint32_t bits, ByteOrder order,
                          bool reverse_bits) {
    if (bits == 0) {
        return 0;
    }
    const auto* data = reinterpret_cast<const unsigned char*>(packet.data());
    std::uint64_t v = read_field(data, packet.size(), pos, bits);
    if (order == ByteOrder::Little) {
        v = std::byteswap(v) >> (64 - bits);
    }
    if (reverse_bits) {
        v = reverse64(v) >> (64 - bits);
    }
    return v;
}

// The n = ceil(bits / 8) byte window of a field: its last `bits` bits are
// the field's bits in packet order, the leading 8n - bits bits are zero.
inline void cut_window(const unsigned char* data, std::uint64_t pos, std::uint64_t bits, unsigned char* out,
                std::size_t n) {
    const std::uint64_t end = pos + bits;
    const unsigned tail = static_cast<unsigned>(end & 7);
    const std::size_t last = static_cast<std::size_t>(end >> 3);
    if (tail == 0) {
        std::memcpy(out, data + last - n, n);
    } else {
        // Window byte i holds the eight packet bits that end at bit
        // end - 8 * (n - 1 - i): the tail of one byte and the head of the next.
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t idx = last - (n - 1 - i);
            const unsigned hi = idx > 0 ? data[idx - 1] : 0u;
            out[i] = static_cast<unsigned char>(((hi << 8) | data[idx]) >> (8 - tail));
        }
    }
    const auto head = static_cast<unsigned>(bits - 8 * (n - 1));  // 1..8
    if (head < 8) {
        out[0] &= static_cast<unsigned char>((1u << head) - 1);
    }
}

}  // namespace kestrune
