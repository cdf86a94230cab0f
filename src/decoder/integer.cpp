#include "integer.hpp"

namespace kestrune {
namespace {

constexpr std::uint64_t low_mask(std::uint32_t bits) {
    return bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
}

}  // namespace

std::int64_t decode_sign_magnitude(std::uint64_t value, std::uint32_t bits) {
    // A width of 0 or 1 leaves no magnitude bits; widths above 64 read the
    // top bit of the 64-bit pattern as the sign.
    if (bits <= 1) {
        return 0;
    }
    const std::uint32_t s = bits > 64 ? 63 : bits - 1;
    const std::uint64_t m = value & low_mask(s);  // at most 2^63 - 1
    const bool negative = ((value >> s) & 1) != 0;
    return negative ? -static_cast<std::int64_t>(m) : static_cast<std::int64_t>(m);
}

std::int64_t decode_ones_complement(std::uint64_t value, std::uint32_t bits) {
    if (bits >= 64) {
        const auto v = static_cast<std::int64_t>(value);
        return v < 0 ? v + 1 : v;
    }
    if (bits == 0) {
        return 0;
    }
    if ((value >> (bits - 1)) & 1) {
        // value - (2^bits - 1), computed in the unsigned domain (value may
        // carry bits above the width when called directly).
        return static_cast<std::int64_t>(value - low_mask(bits));
    }
    return static_cast<std::int64_t>(value);
}

std::int64_t decode_twos_complement(std::uint64_t value, std::uint32_t bits) {
    if (bits >= 64) {
        return static_cast<std::int64_t>(value);
    }
    if (bits == 0) {
        return 0;
    }
    if ((value >> (bits - 1)) & 1) {
        const std::uint64_t m = (0 - value) & low_mask(bits);
        return -static_cast<std::int64_t>(m);
    }
    return static_cast<std::int64_t>(value);
}

}  // namespace kestrune
