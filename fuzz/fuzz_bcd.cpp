// BCD codecs against references that work on the value's decimal text: the
// packed pattern is that text read as hexadecimal, the unpacked one its
// digits laid one per byte, each with its zone.
#include <string>

#include "decoder/bcd.hpp"
#include "encoder/bcd.hpp"
#include "fuzz_check.hpp"

using namespace kestrune;
using u128 = unsigned __int128;

namespace {

using Ref = std::string;  // "ok <number>" or "error <message>"
Ref ok(std::uint64_t v) { return "ok " + std::to_string(v); }
Ref ok_signed(std::int64_t v) { return "ok " + std::to_string(v); }
Ref error(const std::string& m) { return "error " + m; }

Ref too_many(std::int64_t value, std::uint64_t digits) {
    return error("Value " + std::to_string(value) + " has too many digits for " + std::to_string(digits) +
                 " BCD digits");
}

// The decimal digits of |value|, most significant first; none for zero.
std::string digits_of(std::int64_t value) {
    const std::uint64_t m = value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    return m == 0 ? std::string() : std::to_string(m);
}

// The field holds `field` digits and the 64-bit pattern `fits` of them.
Ref check_digits(std::int64_t value, std::uint64_t field, std::uint64_t fits, BcdLimit limit) {
    const std::string d = digits_of(value);
    if (d.size() > field) {
        return too_many(value, field);
    }
    if (limit == BcdLimit::Pattern && d.size() > fits) {
        return too_many(value, fits);
    }
    return "";
}

Ref ref_packed(std::int64_t value, std::uint32_t bits, bool is_signed, BcdLimit limit) {
    if (bits < 4) {
        return error("bits must be >= 4 for packed BCD");
    }
    if (value < 0 && !is_signed) {
        return error("Cannot encode negative value in unsigned BCD");
    }
    const std::uint64_t positions = bits / 4;
    const std::uint64_t sign = is_signed ? 1 : 0;
    const std::uint64_t fits = (positions < 16 ? positions : 16) - sign;
    if (Ref r = check_digits(value, positions - sign, fits, limit); !r.empty()) {
        return r;
    }
    std::string hex = digits_of(value);
    if (hex.size() > fits) {
        hex = hex.substr(hex.size() - fits);  // the digits that reach past bit 63 are dropped
    }
    if (is_signed) {
        hex += value < 0 ? "D" : "C";
    }
    return ok(hex.empty() ? 0 : std::stoull(hex, nullptr, 16));
}

Ref ref_unpacked(std::int64_t value, std::uint32_t bits, bool is_signed, BcdLimit limit) {
    if (bits < 8) {
        return error("bits must be >= 8 for unpacked BCD");
    }
    if (value < 0 && !is_signed) {
        return error("Cannot encode negative value in unsigned BCD");
    }
    const std::uint64_t positions = bits / 8;
    const std::uint64_t fits = positions < 8 ? positions : 8;
    if (Ref r = check_digits(value, positions, fits, limit); !r.empty()) {
        return r;
    }
    std::string d = digits_of(value);
    d.insert(0, fits > d.size() ? fits - d.size() : 0, '0');
    d = d.substr(d.size() - fits);
    std::uint64_t pattern = 0;
    for (std::size_t i = 0; i < d.size(); ++i) {
        const bool units = i + 1 == d.size();
        const std::uint64_t zone = !is_signed ? 0x00 : !units ? 0xF0 : value < 0 ? 0xD0 : 0xC0;
        pattern = (pattern << 8) | zone | static_cast<std::uint64_t>(d[i] - '0');
    }
    return ok(pattern);
}

// Position k of a pattern whose positions are `width` bits wide; positions
// past the 64-bit pattern read as zero.
unsigned position(std::uint64_t pattern, std::uint64_t k, unsigned width) {
    return k * width >= 64 ? 0 : static_cast<unsigned>((pattern >> (k * width)) & ((1u << width) - 1));
}

std::string hex2(unsigned byte) {
    const char* digits = "0123456789ABCDEF";
    return {digits[byte >> 4], digits[byte & 15]};
}

Ref ref_decode_packed(std::uint64_t pattern, std::uint32_t bits, bool is_signed) {
    const std::uint64_t n = bits / 4;
    if (n == 0) {
        return ok_signed(0);
    }
    std::uint64_t first = 0;
    bool negative = false;
    if (is_signed) {
        const unsigned s = position(pattern, 0, 4);
        if (s < 0xA) {
            return error("Invalid BCD sign nibble: expected 0xA-0xF for signed packed BCD");
        }
        negative = s == 0xB || s == 0xD;
        first = 1;
    }
    u128 sum = 0;
    u128 weight = 1;
    for (std::uint64_t k = first; k < n && k < 16; ++k, weight *= 10) {
        const unsigned digit = position(pattern, k, 4);
        if (digit > 9) {
            return error("Invalid BCD digit: " + std::to_string(digit) + " (must be 0-9)");
        }
        sum += digit * weight;
    }
    const auto v = static_cast<std::int64_t>(sum);
    return ok_signed(negative ? -v : v);
}

Ref ref_decode_unpacked(std::uint64_t pattern, std::uint32_t bits, bool is_signed) {
    const std::uint64_t n = bits / 8;
    if (n == 0) {
        return ok_signed(0);
    }
    u128 sum = 0;
    u128 weight = 1;
    bool negative = false;
    // Past the pattern every byte is 0x00: a digit 0, or a bad zoned byte.
    for (std::uint64_t k = 0; k < n && k <= 8; ++k, weight *= 10) {
        const unsigned byte = position(pattern, k, 8);
        unsigned digit;
        if (!is_signed) {
            if (byte > 9) {
                return error("Invalid BCD digit: " + std::to_string(byte) + " (must be 0-9)");
            }
            digit = byte;
        } else if (k == 0) {
            const unsigned zone = byte >> 4;
            if ((byte & 15) > 9 || (zone != 0xC && zone != 0xD && zone != 0xF && zone != 0x3)) {
                return error("Invalid zoned decimal signed byte: 0x" + hex2(byte) +
                             " (expected 0x30-0x39, 0xC0-0xC9, 0xD0-0xD9, or 0xF0-0xF9)");
            }
            negative = zone == 0xD;
            digit = byte & 15;
        } else {
            const unsigned zone = byte >> 4;
            if ((byte & 15) > 9 || (zone != 0xF && zone != 0x3)) {
                return error("Invalid zoned decimal byte: 0x" + hex2(byte) +
                             " (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)");
            }
            digit = byte & 15;
        }
        if (k < 8) {
            sum += digit * weight;
        }
    }
    const auto v = static_cast<std::int64_t>(sum);
    return ok_signed(negative ? -v : v);
}

Ref got(const Result<std::uint64_t>& r) { return r ? ok(*r) : error(r.error().message); }
Ref got(const Result<std::int64_t>& r) { return r ? ok_signed(*r) : error(r.error().message); }

// A value with a chosen number of decimal digits, or any 64-bit value.
std::int64_t decimal_value(FuzzedDataProvider& in) {
    if (in.ConsumeBool()) {
        return fuzz::edgy_i64(in);
    }
    const int digits = in.ConsumeIntegralInRange<int>(0, 18);
    std::int64_t v = 0;
    for (int i = 0; i < digits; ++i) {
        v = v * 10 + in.ConsumeIntegralInRange<int>(i == 0 ? 1 : 0, 9);
    }
    return in.ConsumeBool() ? -v : v;
}

// A pattern made of nibbles that are mostly digits, or any 64-bit value.
std::uint64_t bcd_like(FuzzedDataProvider& in) {
    if (in.ConsumeBool()) {
        return fuzz::edgy_u64(in);
    }
    std::uint64_t p = 0;
    for (int i = 0; i < 16; ++i) {
        const unsigned nibble = in.ConsumeBool() ? in.ConsumeIntegralInRange<unsigned>(0, 9)
                                                 : in.ConsumeIntegralInRange<unsigned>(0, 15);
        p = (p << 4) | nibble;
    }
    return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const std::int64_t value = decimal_value(in);
    const std::uint32_t bits = fuzz::edgy_bits(in);
    const bool is_signed = in.ConsumeBool();
    const BcdLimit limit = in.ConsumeBool() ? BcdLimit::Pattern : BcdLimit::Field;
    const std::uint64_t pattern = bcd_like(in);

    const auto packed = encode_packed_bcd(value, bits, is_signed, limit);
    FUZZ_CHECK(got(packed) == ref_packed(value, bits, is_signed, limit),
               "packed(%lld, %u, %d, %d): got %s, expected %s",
               static_cast<long long>(value), bits, is_signed, int(limit), got(packed).c_str(),
               ref_packed(value, bits, is_signed, limit).c_str());
    const auto unpacked = encode_unpacked_bcd(value, bits, is_signed, limit);
    FUZZ_CHECK(got(unpacked) == ref_unpacked(value, bits, is_signed, limit),
               "unpacked(%lld, %u, %d, %d): got %s, expected %s", static_cast<long long>(value), bits, is_signed,
               int(limit), got(unpacked).c_str(), ref_unpacked(value, bits, is_signed, limit).c_str());

    // Every value the module form encodes decodes back; wider fields read
    // their positions past the pattern as zero, which a signed unpacked
    // field refuses.
    if (packed && limit == BcdLimit::Pattern) {
        FUZZ_CHECK(got(decode_packed_bcd(*packed, bits, is_signed)) == ok_signed(value), "packed round trip %lld in %u",
                   static_cast<long long>(value), bits);
    }
    if (unpacked && limit == BcdLimit::Pattern && (bits < 72 || !is_signed)) {
        FUZZ_CHECK(got(decode_unpacked_bcd(*unpacked, bits, is_signed)) == ok_signed(value),
                   "unpacked round trip %lld in %u", static_cast<long long>(value), bits);
    }

    const auto dp = decode_packed_bcd(pattern, bits, is_signed);
    FUZZ_CHECK(got(dp) == ref_decode_packed(pattern, bits, is_signed),
               "decode packed(%llx, %u, %d): got %s, expected %s",
               static_cast<unsigned long long>(pattern), bits, is_signed, got(dp).c_str(),
               ref_decode_packed(pattern, bits, is_signed).c_str());
    const auto du = decode_unpacked_bcd(pattern, bits, is_signed);
    FUZZ_CHECK(got(du) == ref_decode_unpacked(pattern, bits, is_signed),
               "decode unpacked(%llx, %u, %d): got %s, expected %s", static_cast<unsigned long long>(pattern), bits,
               is_signed, got(du).c_str(), ref_decode_unpacked(pattern, bits, is_signed).c_str());
    return 0;
}
