// BCD codecs: round trips at every width, the limits of the 64-bit pattern,
// and the order of the checks.
#include <cstdint>
#include <limits>
#include <string>

#include "check.hpp"
#include "decoder/bcd.hpp"
#include "encoder/bcd.hpp"

using namespace kestrune;

namespace {

template <class T>
std::string message_of(const Result<T>& r) {
    return r ? std::string("<no error>") : r.error().message;
}

std::int64_t pow10(unsigned n) {
    std::int64_t v = 1;
    while (n-- > 0) v *= 10;
    return v;
}

}  // namespace

TEST_CASE("BCD round trips at the capacity limits of every width") {
    for (std::uint32_t bits = 4; bits <= 64; ++bits) {
        const unsigned packed_digits = bits / 4;
        const std::int64_t packed_max = pow10(packed_digits) - 1;
        const std::int64_t packed_signed_max = pow10(packed_digits - 1) - 1;
        for (std::int64_t v : {std::int64_t{0}, packed_max, packed_max / 7}) {
            auto p = encode_packed_bcd(v, bits, false);
            CHECK(p && decode_packed_bcd(*p, bits, false) == v);
        }
        for (std::int64_t v : {std::int64_t{0}, packed_signed_max, -packed_signed_max, -packed_signed_max / 3}) {
            auto p = encode_packed_bcd(v, bits, true);
            CHECK(p && decode_packed_bcd(*p, bits, true) == v);
        }
        CHECK(message_of(encode_packed_bcd(packed_max + 1, bits, false)) ==
              "Value " + std::to_string(packed_max + 1) + " has too many digits for " +
                  std::to_string(packed_digits) + " BCD digits");
        CHECK(!encode_packed_bcd(-packed_signed_max - 1, bits, true));

        if (bits >= 8) {
            const unsigned digits = bits / 8;
            const std::int64_t max = pow10(digits) - 1;
            for (bool is_signed : {false, true}) {
                for (std::int64_t v : {std::int64_t{0}, max, max / 3, is_signed ? -max : max / 11}) {
                    auto p = encode_unpacked_bcd(v, bits, is_signed);
                    CHECK(p && decode_unpacked_bcd(*p, bits, is_signed) == v);
                }
                CHECK(message_of(encode_unpacked_bcd(max + 1, bits, is_signed)) ==
                      "Value " + std::to_string(max + 1) + " has too many digits for " + std::to_string(digits) +
                          " BCD digits");
            }
        }
    }
}

TEST_CASE("BCD encoders: extreme values and widths above 64") {
    const std::int64_t lo = std::numeric_limits<std::int64_t>::min();
    CHECK(message_of(encode_packed_bcd(lo, 64, true)) ==
          "Value -9223372036854775808 has too many digits for 15 BCD digits");
    CHECK(message_of(encode_unpacked_bcd(lo, 64, true)) ==
          "Value -9223372036854775808 has too many digits for 8 BCD digits");
    // A wider field keeps its low 64 bits: the pattern's capacity is the limit.
    CHECK(encode_packed_bcd(9999999999999999, 200, false) == 0x9999999999999999u);
    CHECK(message_of(encode_packed_bcd(10000000000000000, 200, false)) ==
          "Value 10000000000000000 has too many digits for 16 BCD digits");
    CHECK(encode_packed_bcd(-999999999999999, 72, true) == 0x999999999999999Du);
    CHECK(message_of(encode_packed_bcd(std::numeric_limits<std::int64_t>::max(), 0xFFFFFFFF, true)) ==
          "Value 9223372036854775807 has too many digits for 15 BCD digits");
    CHECK(encode_unpacked_bcd(12345678, 72, false) == 0x0102030405060708u);
    CHECK(encode_unpacked_bcd(-12345678, 0xFFFFFFFF, true) == 0xF1F2F3F4F5F6F7D8u);
    CHECK(message_of(encode_unpacked_bcd(100000000, 72, false)) ==
          "Value 100000000 has too many digits for 8 BCD digits");
    // The width check comes before the sign check.
    CHECK(message_of(encode_packed_bcd(-1, 3, false)) == "bits must be >= 4 for packed BCD");
    CHECK(message_of(encode_unpacked_bcd(-1, 7, false)) == "bits must be >= 8 for unpacked BCD");
}

TEST_CASE("BCD decoders: positions beyond the pattern and check order") {
    CHECK(decode_packed_bcd(0x9999999999999999u, 0xFFFFFFFF, false) == 9999999999999999);
    CHECK(decode_packed_bcd(0x999999999999999Bu, 68, true) == -999999999999999);
    CHECK(decode_unpacked_bcd(0x0909090909090909u, 0xFFFFFFFF, false) == 99999999);
    CHECK(message_of(decode_unpacked_bcd(0xF9F9F9F9F9F9F9D9u, 72, true)) ==
          "Invalid zoned decimal byte: 0x00 (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)");
    CHECK(decode_unpacked_bcd(0xF9F9F9F9F9F9F9D9u, 64, true) == -99999999);
    // The least significant bad digit is reported, and the sign comes first.
    CHECK(message_of(decode_packed_bcd(0xB0C0, 16, false)) == "Invalid BCD digit: 12 (must be 0-9)");
    CHECK(message_of(decode_packed_bcd(0xFFF5, 16, true)) ==
          "Invalid BCD sign nibble: expected 0xA-0xF for signed packed BCD");
    CHECK(message_of(decode_unpacked_bcd(0x0A0B, 16, false)) == "Invalid BCD digit: 11 (must be 0-9)");
    CHECK(message_of(decode_unpacked_bcd(0x00CA, 16, true)) ==
          "Invalid zoned decimal signed byte: 0xCA (expected 0x30-0x39, 0xC0-0xC9, 0xD0-0xD9, or 0xF0-0xF9)");
    CHECK(message_of(decode_unpacked_bcd(0x0A3AF1, 24, true)) ==
          "Invalid zoned decimal byte: 0x3A (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)");
    CHECK(decode_packed_bcd(0xD, 4, true) == 0);
    CHECK(decode_unpacked_bcd(0xD0, 8, true) == 0);
}
