// Binary-coded decimal decoders.
//
// Digit positions above the 64-bit raw pattern (nibble 16 and up, byte 8 and
// up, reachable only when bits > 64) read as zero, so no shift reaches 64 and
// a sum of at most 16 decimal digits always fits the signed 64-bit result.
#include "bcd.hpp"

#include <cstdio>
#include <string>

namespace kestrune {
namespace {

// Nibble or byte `index` of the pattern, each `width` bits wide; zero beyond
// the pattern's 64 bits.
std::uint64_t position(std::uint64_t value, std::uint32_t index, unsigned width) {
    const std::uint64_t shift = std::uint64_t{index} * width;
    if (shift >= 64) {
        return 0;
    }
    return (value >> shift) & ((std::uint64_t{1} << width) - 1);
}

std::string hex_byte(std::uint64_t byte) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", static_cast<unsigned>(byte & 0xFF));
    return text;
}

std::unexpected<Error> invalid_digit(std::uint64_t digit) {
    return value_error("Invalid BCD digit: " + std::to_string(digit) + " (must be 0-9)");
}

// Digits only ever add up to 16 decimal places (sums < 10^16), far from the
// signed 64-bit limit; the unsigned sum keeps any overflow well defined anyway.
std::int64_t apply_sign(std::uint64_t sum, bool negative) {
    const auto v = static_cast<std::int64_t>(sum);
    return negative ? -v : v;
}

}  // namespace

Result<std::int64_t> decode_packed_bcd(std::uint64_t value, std::uint32_t bits, bool is_signed) {
    const std::uint32_t n = bits / 4;
    if (n == 0) {
        return 0;
    }
    bool negative = false;
    std::uint32_t first = 0;
    if (is_signed) {
        const std::uint64_t sign = value & 0xF;
        if (sign < 0xA) {
            return value_error("Invalid BCD sign nibble: expected 0xA-0xF for signed packed BCD");
        }
        negative = sign == 0xB || sign == 0xD;
        first = 1;
    }
    std::uint64_t sum = 0;
    std::uint64_t weight = 1;
    // Nibbles from 16 up read as zero and add nothing.
    for (std::uint32_t k = first; k < n && k < 16; ++k) {
        const std::uint64_t digit = position(value, k, 4);
        if (digit > 9) {
            return invalid_digit(digit);
        }
        sum += digit * weight;
        weight *= 10;
    }
    return apply_sign(sum, negative);
}

Result<std::int64_t> decode_unpacked_bcd(std::uint64_t value, std::uint32_t bits, bool is_signed) {
    const std::uint32_t n = bits / 8;
    if (n == 0) {
        return 0;
    }
    std::uint64_t sum = 0;
    std::uint64_t weight = 1;
    if (!is_signed) {
        // Bytes from 8 up read as zero and add nothing.
    for (std::uint32_t k = 0; k < n && k < 8; ++k) {
            const std::uint64_t byte = position(value, k, 8);
            if (byte > 9) {
                return invalid_digit(byte);
            }
            sum += byte * weight;
            weight *= 10;
        }
        return static_cast<std::int64_t>(sum);
    }

    const std::uint64_t units = value & 0xFF;
    const std::uint64_t zone = units & 0xF0;
    const bool negative = zone == 0xD0;
    const bool accepted = (units & 0xF) <= 9 && (zone == 0xC0 || zone == 0xD0 || zone == 0xF0 || zone == 0x30);
    if (!accepted) {
        return value_error("Invalid zoned decimal signed byte: 0x" + hex_byte(units) +
                           " (expected 0x30-0x39, 0xC0-0xC9, 0xD0-0xD9, or 0xF0-0xF9)");
    }
    sum = units & 0xF;
    weight = 10;
    // Positions beyond the pattern read as 0x00, which is not a zoned digit:
    // the loop stops at the first of them at the latest.
    for (std::uint32_t k = 1; k < n; ++k) {
        const std::uint64_t byte = position(value, k, 8);
        std::uint64_t digit;
        if (byte >= 0x30 && byte <= 0x39) {
            digit = byte - 0x30;
        } else if (byte >= 0xF0 && byte <= 0xF9) {
            digit = byte - 0xF0;
        } else {
            return value_error("Invalid zoned decimal byte: 0x" + hex_byte(byte) +
                               " (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)");
        }
        sum += digit * weight;
        weight *= 10;
    }
    return apply_sign(sum, negative);
}

}  // namespace kestrune
