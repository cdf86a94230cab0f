#include "integer.hpp"

#include <algorithm>
#include <array>
#include <string>

namespace kestrune {
namespace {

// Magnitude of a signed 64-bit value; -2^63 gives 2^63.
constexpr std::uint64_t magnitude(std::int64_t value) {
    return value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
}

// 2^bits - 1 for bits in 0..64.
constexpr std::uint64_t low_mask(std::uint32_t bits) {
    return bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
}

std::string dec(std::int64_t v) { return std::to_string(v); }
std::string dec(std::uint32_t v) { return std::to_string(v); }

}  // namespace

Result<std::uint64_t> encode_sign_magnitude(std::int64_t value, std::uint32_t bits) {
    if (bits < 2 || bits > 64) {
        return value_error("bits must be between 2 and 64 for sign-magnitude encoding");
    }
    const std::uint64_t m = magnitude(value);
    if ((m >> (bits - 1)) != 0) {
        return value_error("Magnitude of " + dec(value) + " is too large for " + dec(bits) + " bits");
    }
    return value < 0 ? (m | (std::uint64_t{1} << (bits - 1))) : m;
}

Result<std::uint64_t> encode_ones_complement(std::int64_t value, std::uint32_t bits) {
    if (bits > 64) {
        return value_error("bits must be <= 64 for ones' complement encoding");
    }
    // Largest positive value: 2^(bits-1) - 1 (nothing fits a zero-width field
    // but zero).
    const std::uint64_t max_positive = bits == 0 ? 0 : low_mask(bits - 1);
    if (value >= 0) {
        if (static_cast<std::uint64_t>(value) > max_positive) {
            return value_error("Value " + dec(value) + " is too large for " + dec(bits) + " bits");
        }
        return static_cast<std::uint64_t>(value);
    }
    if (magnitude(value) > max_positive) {
        return value_error("Value " + dec(value) + " is too large (magnitude) for " + dec(bits) + " bits");
    }
    // The complement of the magnitude within the width.
    return ~magnitude(value) & low_mask(bits);
}

Result<std::uint64_t> encode_twos_complement(std::int64_t value, std::uint32_t bits) {
    if (bits > 64) {
        return value_error("bits must be <= 64 for two's complement encoding");
    }
    if (bits == 64) {
        return static_cast<std::uint64_t>(value);
    }
    // A zero-width field holds only zero: its range is 0 to 0.
    const std::int64_t min = bits == 0 ? 0 : -static_cast<std::int64_t>(std::uint64_t{1} << (bits - 1));
    const std::int64_t max = bits == 0 ? 0 : static_cast<std::int64_t>(low_mask(bits - 1));
    if (value < min || value > max) {
        return value_error("Value " + dec(value) + " out of range for " + dec(bits) + " bits (range: " + dec(min) +
                           " to " + dec(max) + ")");
    }
    return static_cast<std::uint64_t>(value) & low_mask(bits);
}

namespace {

template <class U>
U mirror_low_bits(U pattern, std::uint32_t bits) {
    U out = 0;
    for (std::uint32_t i = 0; i < bits; ++i) {
        out = static_cast<U>((out << 1) | ((pattern >> i) & 1));
    }
    return out;
}

std::unexpected<Error> too_wide_for_64(std::uint32_t bits) {
    return value_error("Cannot encode " + dec(bits) + " bits from a 64-bit value");
}

template <class U>
FieldBytes big_endian_bytes(U pattern, std::uint32_t bits) {
    FieldBytes out{};
    out.size = (bits + 7) / 8;
    for (std::uint32_t j = 0; j < out.size; ++j) {
        out.data[j] = static_cast<std::uint8_t>(pattern >> (8 * (out.size - 1 - j)));
    }
    return out;
}

}  // namespace

Result<std::uint64_t> integer_field_in_full(std::uint64_t pattern, std::uint32_t bits, bool reverse_bits) {
    if (bits > 64) {
        return too_wide_for_64(bits);
    }
    return reverse_bits ? mirror_low_bits(pattern, bits) : pattern & low_mask(bits);
}

Result<FieldBytes> encode_integer_to_bytes(std::uint64_t pattern, std::uint32_t bits, bool reverse_bits) {
    if (bits > 64) {
        return too_wide_for_64(bits);
    }
    if (reverse_bits) {
        pattern = mirror_low_bits(pattern, bits);
    }
    return big_endian_bytes(pattern, bits);
}

Result<FieldBytes> encode_integer_to_bytes_u128(u128 pattern, std::uint32_t bits, bool reverse_bits) {
    if (bits > 128) {
        return value_error("Cannot encode " + dec(bits) + " bits from a 128-bit value");
    }
    if (reverse_bits) {
        pattern = mirror_low_bits(pattern, bits);
    }
    return big_endian_bytes(pattern, bits);
}

namespace {

// Each byte with its bits in the opposite order.
constexpr auto kMirroredByte = [] {
    std::array<std::uint8_t, 256> table{};
    for (unsigned b = 0; b < 256; ++b) {
        unsigned m = 0;
        for (unsigned i = 0; i < 8; ++i) {
            m |= ((b >> i) & 1u) << (7 - i);
        }
        table[b] = static_cast<std::uint8_t>(m);
    }
    return table;
}();

}  // namespace

std::vector<std::uint8_t> encode_binary_to_bytes(std::span<const std::uint8_t> data, std::uint32_t bits,
                                                 bool reverse_bits) {
    const std::size_t n = (static_cast<std::size_t>(bits) + 7) / 8;
    std::vector<std::uint8_t> out(n, 0);
    if (n == 0) {
        return out;
    }
    const std::size_t take = std::min(data.size(), n);
    std::copy(data.end() - static_cast<std::ptrdiff_t>(take), data.end(), out.end() - static_cast<std::ptrdiff_t>(take));
    const std::uint32_t lead = static_cast<std::uint32_t>(8 * n - bits);  // 0..7 bits in front of the field
    out[0] &= static_cast<std::uint8_t>(0xFF >> lead);
    if (reverse_bits) {
        // Field bit k (counted from the field's first bit) moves to bits-1-k,
        // in place: mirroring all 8n bits (the byte order and the bits of
        // each byte) puts the field first and the `lead` zero bits last,
        // then everything moves down by `lead` bits.
        std::reverse(out.begin(), out.end());
        for (std::uint8_t& b : out) {
            b = kMirroredByte[b];
        }
        if (lead != 0) {
            for (std::size_t i = n - 1; i > 0; --i) {
                out[i] = static_cast<std::uint8_t>((out[i] >> lead) | (out[i - 1] << (8 - lead)));
            }
            out[0] = static_cast<std::uint8_t>(out[0] >> lead);
        }
    }
    return out;
}

}  // namespace kestrune
