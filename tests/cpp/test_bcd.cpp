// BCD codecs at the edges of the 64-bit raw pattern: the widest fields, the
// extreme values, positions beyond bit 63.
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

}  // namespace

TEST_CASE("BCD encoders: extreme values and widths above 64") {
    const std::int64_t lo = std::numeric_limits<std::int64_t>::min();
    CHECK(message_of(encode_packed_bcd(lo, 64, true)) ==
          "Value -9223372036854775808 has too many digits for 15 BCD digits");
    CHECK(message_of(encode_unpacked_bcd(lo, 64, true)) ==
          "Value -9223372036854775808 has too many digits for 8 BCD digits");
    // A wider field keeps its low 64 bits: a value with more digits than the
    // field is named with the field's count, one that only overflows the
    // pattern with the pattern's.
    CHECK(encode_packed_bcd(9999999999999999, 200, false) == 0x9999999999999999u);
    CHECK(message_of(encode_packed_bcd(123456789012345678, 68, false)) ==
          "Value 123456789012345678 has too many digits for 17 BCD digits");
    CHECK(message_of(encode_packed_bcd(12345678901234567, 68, false)) ==
          "Value 12345678901234567 has too many digits for 16 BCD digits");
    // Without the pattern's limit only the field's checks apply.
    CHECK(encode_packed_bcd(12345678901234567, 68, false, BcdLimit::Field) == 0x2345678901234567u);
    CHECK(message_of(encode_unpacked_bcd(1234567890, 72, true, BcdLimit::Field)) ==
          "Value 1234567890 has too many digits for 9 BCD digits");
    CHECK(message_of(encode_packed_bcd(10000000000000000, 200, false)) ==
          "Value 10000000000000000 has too many digits for 16 BCD digits");
    CHECK(encode_packed_bcd(-999999999999999, 72, true) == 0x999999999999999Du);
    CHECK(message_of(encode_packed_bcd(std::numeric_limits<std::int64_t>::max(), 0xFFFFFFFF, true)) ==
          "Value 9223372036854775807 has too many digits for 15 BCD digits");
    CHECK(encode_unpacked_bcd(12345678, 72, false) == 0x0102030405060708u);
    CHECK(encode_unpacked_bcd(-12345678, 0xFFFFFFFF, true) == 0xF1F2F3F4F5F6F7D8u);
    CHECK(message_of(encode_unpacked_bcd(100000000, 72, false)) ==
          "Value 100000000 has too many digits for 8 BCD digits");
}

TEST_CASE("BCD decoders: positions beyond the pattern") {
    CHECK(decode_packed_bcd(0x9999999999999999u, 0xFFFFFFFF, false) == 9999999999999999);
    CHECK(decode_packed_bcd(0x999999999999999Bu, 68, true) == -999999999999999);
    CHECK(decode_unpacked_bcd(0x0909090909090909u, 0xFFFFFFFF, false) == 99999999);
    CHECK(message_of(decode_unpacked_bcd(0xF9F9F9F9F9F9F9D9u, 72, true)) ==
          "Invalid zoned decimal byte: 0x00 (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)");
    CHECK(decode_unpacked_bcd(0xF9F9F9F9F9F9F9D9u, 64, true) == -99999999);
}
