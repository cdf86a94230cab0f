// The raw-pattern-to-bytes operations of the packet builder, which have no
// module function of their own.
#include <cstdint>
#include <vector>

#include "check.hpp"
#include "encoder/integer.hpp"

using namespace kestrune;

namespace {

std::vector<std::uint8_t> bytes_of(const FieldBytes& f) { return {f.data, f.data + f.size}; }
using V = std::vector<std::uint8_t>;

// Independent reference: field bit k of a big-endian, right-aligned form.
V reference_bytes(u128 pattern, std::uint32_t bits, bool reverse) {
    const std::uint32_t n = (bits + 7) / 8;
    V out(n, 0);
    for (std::uint32_t i = 0; i < bits; ++i) {
        // Bit i of the pattern (LSB = 0) or, mirrored, bit bits-1-i.
        const std::uint32_t src = reverse ? bits - 1 - i : i;
        if ((pattern >> src) & 1) {
            const std::uint32_t pos = 8 * n - 1 - i;  // from the first byte's MSB
            out[pos / 8] |= static_cast<std::uint8_t>(0x80 >> (pos % 8));
        }
    }
    if (!reverse) {
        // Bits in front of the field come from the pattern unmasked.
        for (std::uint32_t i = bits; i < 8 * n; ++i) {
            if ((pattern >> i) & 1) {
                const std::uint32_t pos = 8 * n - 1 - i;
                out[pos / 8] |= static_cast<std::uint8_t>(0x80 >> (pos % 8));
            }
        }
    }
    return out;
}

}  // namespace

TEST_CASE("integer to bytes: documented examples") {
    CHECK(bytes_of(*encode_integer_to_bytes(0xABC, 12, false)) == (V{0x0A, 0xBC}));
    CHECK(bytes_of(*encode_integer_to_bytes(0xABC, 12, true)) == (V{0x03, 0xD5}));
    CHECK(encode_integer_to_bytes(0xFFFF, 0, false)->size == 0);
    CHECK(encode_integer_to_bytes(0xFFFF, 0, true)->size == 0);
    CHECK(bytes_of(*encode_integer_to_bytes(~std::uint64_t{0}, 64, false)) == V(8, 0xFF));
    CHECK(bytes_of(*encode_integer_to_bytes(1, 64, true)) == (V{0x80, 0, 0, 0, 0, 0, 0, 0}));
    const auto wide = encode_integer_to_bytes(0, 65, false);
    CHECK(!wide && wide.error().kind == ErrorKind::ValueError &&
          wide.error().message == "Cannot encode 65 bits from a 64-bit value");
    const auto huge = encode_integer_to_bytes(0, 4294967295u, true);
    CHECK(!huge && huge.error().message == "Cannot encode 4294967295 bits from a 64-bit value");
}

TEST_CASE("integer to bytes: every width against a bitwise reference") {
    const std::uint64_t samples[] = {0, 1, 0x5A5A5A5A5A5A5A5Aull, 0x8000000000000001ull, ~std::uint64_t{0},
                                     0x0123456789ABCDEFull};
    for (std::uint32_t bits = 0; bits <= 64; ++bits) {
        for (std::uint64_t p : samples) {
            for (bool reverse : {false, true}) {
                CHECK(bytes_of(*encode_integer_to_bytes(p, bits, reverse)) == reference_bytes(p, bits, reverse));
                // The field as a number: the last `bits` bits of the bytes.
                std::uint64_t last = 0;
                for (std::uint8_t b : reference_bytes(p, bits, reverse)) {
                    last = (last << 8) | b;
                }
                CHECK(*integer_field(p, bits, reverse) == (bits == 64 ? last : last & ((std::uint64_t{1} << bits) - 1)));
            }
        }
    }
    CHECK(integer_field(0, 65, false).error().message == "Cannot encode 65 bits from a 64-bit value");
}

TEST_CASE("128-bit pattern to bytes") {
    const u128 p = make_u128(0x3FFF000000000000ull, 0x1234);
    for (std::uint32_t bits = 0; bits <= 128; ++bits) {
        for (bool reverse : {false, true}) {
            CHECK(bytes_of(*encode_integer_to_bytes_u128(p, bits, reverse)) == reference_bytes(p, bits, reverse));
        }
    }
    const auto wide = encode_integer_to_bytes_u128(0, 129, false);
    CHECK(!wide && wide.error().message == "Cannot encode 129 bits from a 128-bit value");
}

TEST_CASE("binary to bytes") {
    const V data{0x12, 0x34, 0x56};
    CHECK(encode_binary_to_bytes(data, 12, false) == (V{0x04, 0x56}));
    CHECK(encode_binary_to_bytes(V{0x01}, 16, false) == (V{0x00, 0x01}));
    CHECK(encode_binary_to_bytes(data, 0, true).empty());
    CHECK(encode_binary_to_bytes(V{}, 9, false) == (V{0, 0}));
    // Mirroring the 12-bit field 0x456 gives 0x6A2.
    CHECK(encode_binary_to_bytes(data, 12, true) == (V{0x06, 0xA2}));
    CHECK(encode_binary_to_bytes(V{0x80}, 1, true) == (V{0x00}));
    CHECK(encode_binary_to_bytes(V{0x01}, 1, true) == (V{0x01}));
    CHECK(encode_binary_to_bytes(V{0x01, 0x80}, 16, true) == (V{0x01, 0x80}));
    CHECK(encode_binary_to_bytes(V{0xC0, 0x01}, 16, true) == (V{0x80, 0x03}));
    // Binary mirroring agrees with the integer form for whole patterns.
    for (std::uint32_t bits = 1; bits <= 64; ++bits) {
        const std::uint64_t p = 0x0123456789ABCDEFull;
        const auto as_int = bytes_of(*encode_integer_to_bytes(p, bits, false));
        const auto mirrored = bytes_of(*encode_integer_to_bytes(p, bits, true));
        CHECK(encode_binary_to_bytes(as_int, bits, true) == mirrored);
    }
}
