// Integer encoders and the raw-pattern-to-bytes operations of the packet builder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "../error.hpp"
#include "../u128.hpp"

namespace kestrune {

// Sign-magnitude, ones' and two's complement: signed value -> raw pattern whose
// low `bits` bits hold the field.
Result<std::uint64_t> encode_sign_magnitude(std::int64_t value, std::uint32_t bits);
Result<std::uint64_t> encode_ones_complement(std::int64_t value, std::uint32_t bits);
Result<std::uint64_t> encode_twos_complement(std::int64_t value, std::uint32_t bits);

// Byte form of a numeric field: (bits + 7) / 8 bytes, big-endian, the raw
// pattern right-aligned. Held inline so that numeric fields need no heap.
struct FieldBytes {
    std::uint8_t data[16];
    std::uint32_t size;
};

// The field that a raw pattern lays into a packet, as a number: its low
// `bits` bits, mirrored within the width when `reverse_bits` is set. Fails
// with "Cannot encode {bits} bits from a 64-bit value" above 64 bits.
Result<std::uint64_t> integer_field_in_full(std::uint64_t pattern, std::uint32_t bits, bool reverse_bits);
inline Result<std::uint64_t> integer_field(std::uint64_t pattern, std::uint32_t bits, bool reverse_bits) {
    if (bits < 64 && !reverse_bits) {
        return pattern & ((std::uint64_t{1} << bits) - 1);  // the common case, inline
    }
    return integer_field_in_full(pattern, bits, reverse_bits);
}
// Byte form of the raw pattern; what it lays into a packet is integer_field.
// Fails like integer_field.
Result<FieldBytes> encode_integer_to_bytes(std::uint64_t pattern, std::uint32_t bits, bool reverse_bits);
// Same on a 128-bit pattern; fails above 128 bits.
Result<FieldBytes> encode_integer_to_bytes_u128(u128 pattern, std::uint32_t bits,
                                                bool reverse_bits);
// Raw bits: (bits + 7) / 8 bytes, `data` right-aligned (longer data loses its
// leading bytes), the partial first byte masked, optionally bit-mirrored.
std::vector<std::uint8_t> encode_binary_to_bytes(std::span<const std::uint8_t> data, std::uint32_t bits,
                                                 bool reverse_bits);

}  // namespace kestrune
