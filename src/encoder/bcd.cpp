// Binary-coded decimal encoders.
//
// The raw pattern is 64 bits wide, so it holds at most 16 packed nibbles or 8
// unpacked bytes. For wider fields the pattern carries the field's low 64
// bits: digit positions above them are not written (they are zero in the
// unsigned forms), and a value that would need one of them fails with the
// too-many-digits message naming the number of digits the pattern can hold.
// No shift ever reaches 64.
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

std::unexpected<Error> too_many_digits(std::int64_t value, std::uint32_t digits) {
    return value_error("Value " + std::to_string(value) + " has too many digits for " + std::to_string(digits) +
                       " BCD digits");
}

std::unexpected<Error> negative_unsigned() { return value_error("Cannot encode negative value in unsigned BCD"); }

}  // namespace

Result<std::uint64_t> encode_packed_bcd(std::int64_t value, std::uint32_t bits, bool is_signed) {
    if (bits < 4) {
        return value_error("bits must be >= 4 for packed BCD");
    }
    if (value < 0 && !is_signed) {
        return negative_unsigned();
    }
    // Positions of the field that fit the pattern; the sign nibble (signed
    // form) takes position 0, so one digit fewer.
    const std::uint32_t positions = std::min(bits / 4, kMaxNibbles);
    const std::uint32_t digits = is_signed ? positions - 1 : positions;
    const unsigned first_shift = is_signed ? 4 : 0;

    std::uint64_t m = magnitude(value);
    std::uint64_t pattern = 0;
    for (std::uint32_t i = 0; i < digits; ++i) {
        pattern |= (m % 10) << (first_shift + 4 * i);  // at most 4 * 15 = 60
        m /= 10;
    }
    if (m != 0) {
        return too_many_digits(value, digits);
    }
    if (is_signed) {
        pattern |= value < 0 ? 0xDu : 0xCu;
    }
    return pattern;
}

Result<std::uint64_t> encode_unpacked_bcd(std::int64_t value, std::uint32_t bits, bool is_signed) {
    if (bits / 8 == 0) {
        return value_error("bits must be >= 8 for unpacked BCD");
    }
    if (value < 0 && !is_signed) {
        return negative_unsigned();
    }
    const std::uint32_t digits = std::min(bits / 8, kMaxBytes);
    // Zones: none in the unsigned form; 0xF0 on every digit byte of the signed
    // form except the units byte, whose zone carries the sign.
    const std::uint64_t digit_zone = is_signed ? 0xF0 : 0x00;
    const std::uint64_t units_zone = !is_signed ? 0x00 : (value < 0 ? 0xD0 : 0xC0);

    std::uint64_t m = magnitude(value);
    std::uint64_t pattern = 0;
    for (std::uint32_t i = 0; i < digits; ++i) {
        const std::uint64_t zone = i == 0 ? units_zone : digit_zone;
        pattern |= (zone | (m % 10)) << (8 * i);  // at most 8 * 7 = 56
        m /= 10;
    }
    if (m != 0) {
        return too_many_digits(value, digits);
    }
    return pattern;
}

}  // namespace kestrune
