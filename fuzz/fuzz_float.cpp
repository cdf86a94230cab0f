// IEEE 754 codecs against slow references: binary16 rounding by search for
// the nearest of all binary16 values, and decoding through the compiler's own
// _Float16 and __float128 types.
#include <bit>
#include <cmath>
#include <cstring>

#include "decoder/float.hpp"
#include "encoder/float.hpp"
#include "fuzz_check.hpp"

using namespace kestrune;

namespace {

// The value of a finite binary16 pattern, by the compiler's conversion.
double half_value(std::uint16_t h) { return static_cast<double>(std::bit_cast<_Float16>(h)); }

// binary32 -> binary16 by search: the nearest finite binary16, ties to the
// even pattern; from 65520 (halfway between the largest finite value and
// 2^16) up, infinity.
std::uint16_t ref_encode_f16(float value) {
    const std::uint32_t x = std::bit_cast<std::uint32_t>(value);
    const auto sign = static_cast<std::uint16_t>((x >> 16) & 0x8000);
    if (std::isnan(value)) {
        return static_cast<std::uint16_t>(sign | 0x7E00 | ((x & 0x7FFFFF) >> 13));
    }
    const double a = std::fabs(static_cast<double>(value));
    if (a >= 65520.0) {
        return sign | 0x7C00;
    }
    std::uint16_t lo = 0, hi = 0x7BFF;  // largest pattern whose value is <= a
    while (lo < hi) {
        const auto mid = static_cast<std::uint16_t>((lo + hi + 1) / 2);
        if (half_value(mid) <= a) {
            lo = mid;
        } else {
            hi = static_cast<std::uint16_t>(mid - 1);
        }
    }
    if (half_value(lo) == a) {
        return sign | lo;
    }
    // Compare 2a with the sum of the two neighbours: both sides are exact.
    const double twice = 2 * a, sum = half_value(lo) + half_value(static_cast<std::uint16_t>(lo + 1));
    const bool up = twice > sum || (twice == sum && (lo & 1) != 0);
    return static_cast<std::uint16_t>(sign | (up ? lo + 1 : lo));
}

bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

// A quiet binary32 NaN with the sign and payload of `image`, widened.
double quiet_nan(std::uint32_t image) { return static_cast<double>(std::bit_cast<float>(image | 0x00400000)); }

// binary128 -> double, truncated toward zero; below the normal doubles 0,
// beyond them infinity, every NaN the one positive quiet NaN.
double ref_decode_f128(unsigned __int128 pattern) {
    const auto q = std::bit_cast<__float128>(pattern);
    if (q != q) {
        return std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});
    }
    const bool negative = (pattern >> 127) != 0;
    const __float128 a = negative ? -q : q;
    double d;
    if (a >= static_cast<__float128>(0x1p1023) * 2) {
        d = HUGE_VAL;
    } else if (a < static_cast<__float128>(0x1p-1022)) {
        d = 0.0;
    } else {
        d = static_cast<double>(a);
        if (static_cast<__float128>(d) > a) {
            d = std::nextafter(d, 0.0);
        }
    }
    return negative ? -d : d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const std::uint64_t word = fuzz::edgy_u64(in);
    const std::uint64_t high = fuzz::edgy_u64(in);

    // binary16 encoding of any binary32 value.
    const auto single = std::bit_cast<float>(static_cast<std::uint32_t>(word));
    const std::uint16_t h = encode_ieee754_f16(single);
    FUZZ_CHECK(h == ref_encode_f16(single), "f16(%a [%08x]): got %04x, expected %04x", double(single),
               static_cast<unsigned>(word), h, ref_encode_f16(single));

    // binary16 decoding: only the low 16 bits count; finite and infinite
    // values are exact, NaNs come out quiet with sign and payload.
    const auto h16 = static_cast<std::uint16_t>(word);
    const double half = decode_ieee754_f16(word);
    if (std::isnan(half_value(h16))) {
        const std::uint32_t image = ((h16 & 0x8000u) << 16) | 0x7F800000 | ((h16 & 0x3FFu) << 13);
        FUZZ_CHECK(same_bits(half, quiet_nan(image)), "f16 NaN %04x", h16);
    } else {
        FUZZ_CHECK(same_bits(half, half_value(h16)), "f16 %04x: got %a", h16, half);
        FUZZ_CHECK(encode_ieee754_f16(static_cast<float>(half)) == h16, "f16 round trip %04x", h16);
    }

    // binary32 and binary64 images.
    const auto image32 = static_cast<std::uint32_t>(word);
    const double wide = decode_ieee754_f32(word);
    if (std::isnan(single)) {
        FUZZ_CHECK(same_bits(wide, quiet_nan(image32)), "f32 NaN %08x", image32);
    } else {
        FUZZ_CHECK(same_bits(wide, static_cast<double>(single)), "f32 %08x", image32);
        FUZZ_CHECK(encode_ieee754_f32(static_cast<float>(wide)) == image32, "f32 round trip %08x", image32);
    }
    FUZZ_CHECK(encode_ieee754_f64(decode_ieee754_f64(word)) == word, "f64 round trip %016llx",
               static_cast<unsigned long long>(word));

    // binary128 decoding.
    const unsigned __int128 pattern = (static_cast<unsigned __int128>(high) << 64) | word;
    const double d128 = decode_ieee754_f128(pattern);
    FUZZ_CHECK(same_bits(d128, ref_decode_f128(pattern)), "f128 %016llx%016llx: got %a, expected %a",
               static_cast<unsigned long long>(high), static_cast<unsigned long long>(word), d128,
               ref_decode_f128(pattern));
    return 0;
}
