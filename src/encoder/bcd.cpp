// Binary-coded decimal encoders.
//
// A value is checked against the digits the field holds, then (BcdLimit::
// Pattern) against the digits the 64-bit raw pattern holds; each failure names
// its own count. Digit positions above the pattern are never written, and no
// shift ever reaches 64.
#include "bcd.hpp"

#include <algorithm>
#include <string>

namespace kestrune {
namespace {

constexpr std::uint32_t kMaxNibbles = 64 / 4;
constexpr std::uint32_t kMaxBytes = 64 / 8;

// |value| as an unsigned number; defined for INT64_MIN too.
std::uint64_t magnitude(std::int64_t value) {
    const auto u = static_cast<std::uint64_t>(value);
    return value < 0 ? std::uint64_t{0} - u : u;
}

// Number of decimal digits of m, none for 0.
std::uint32_t decimal_digits(std::uint64_t m) {
    std::uint32_t n = 0;
    for (; m != 0; m /= 10) {
        ++n;
    }
    return n;
}

std::unexpected<Error> too_many_digits(std::int64_t value, std::uint32_t digits) {
    return value_error("Value " + std::to_string(value) + " has too many digits for " + std::to_string(digits) +
                       " BCD digits");
}

// The sign check and the two digit-count checks shared by both encoders.
Result<void> check_value(std::int64_t value, bool is_signed, std::uint32_t field_digits,
                         std::uint32_t pattern_digits, BcdLimit limit) {
    if (value < 0 && !is_signed) {
        return value_error("Cannot encode negative value in unsigned BCD");
    }
    const std::uint32_t needed = decimal_digits(magnitude(value));
    if (needed > field_digits) {
        return too_many_digits(value, field_digits);
    }
    if (limit == BcdLimit::Pattern && needed > pattern_digits) {
        return too_many_digits(value, pattern_digits);
    }
    return {};
}

}  // namespace

Result<std::uint64_t> encode_packed_bcd(std::int64_t value, std::uint32_t bits, bool is_signed, BcdLimit limit) {
    if (bits < 4) {
        return value_error("bits must be >= 4 for packed BCD");
    }
    // The sign nibble (signed form) takes position 0, so one digit fewer.
    const std::uint32_t sign_positions = is_signed ? 1 : 0;
    const std::uint32_t positions = std::min(bits / 4, kMaxNibbles);
    if (auto ok = check_value(value, is_signed, bits / 4 - sign_positions, positions - sign_positions, limit); !ok) {
        return std::unexpected(std::move(ok.error()));
    }
    std::uint64_t m = magnitude(value);
    std::uint64_t pattern = is_signed ? (value < 0 ? 0xDu : 0xCu) : 0u;
    for (std::uint32_t i = sign_positions; i < positions; ++i) {
        pattern |= (m % 10) << (4 * i);  // at most 4 * 15 = 60
        m /= 10;
    }
    return pattern;
}

Result<std::uint64_t> encode_unpacked_bcd(std::int64_t value, std::uint32_t bits, bool is_signed, BcdLimit limit) {
    if (bits / 8 == 0) {
        return value_error("bits must be >= 8 for unpacked BCD");
    }
    const std::uint32_t positions = std::min(bits / 8, kMaxBytes);
    if (auto ok = check_value(value, is_signed, bits / 8, positions, limit); !ok) {
        return std::unexpected(std::move(ok.error()));
    }
    // Zones: none in the unsigned form; 0xF0 on every digit byte of the signed
    // form except the units byte, whose zone carries the sign.
    const std::uint64_t digit_zone = is_signed ? 0xF0 : 0x00;
    const std::uint64_t units_zone = !is_signed ? 0x00 : (value < 0 ? 0xD0 : 0xC0);

    std::uint64_t m = magnitude(value);
    std::uint64_t pattern = 0;
    for (std::uint32_t i = 0; i < positions; ++i) {
        const std::uint64_t zone = i == 0 ? units_zone : digit_zone;
        pattern |= (zone | (m % 10)) << (8 * i);  // at most 8 * 7 = 56
        m /= 10;
    }
    return pattern;
}

}  // namespace kestrune
