// Floating-point decoders: IEEE 754 binary16/32/64/128 bit images -> double,
// and the stub errors of the formats that are recognised but not implemented.
#include "float.hpp"

#include <bit>
#include <cmath>
#include <string>

namespace kestrune {
namespace {

constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;
constexpr std::uint64_t kDoubleQuietNaN = 0x7FF8000000000000;

// The double image of a binary32 NaN widened the way the hardware does it:
// quiet bit set, the 23-bit payload moved to the top of the 52-bit fraction.
double widen_nan(std::uint32_t f32_image) {
    const std::uint64_t sign = std::uint64_t{f32_image >> 31} << 63;
    const std::uint64_t payload = std::uint64_t{f32_image & 0x7FFFFF} << 29;
    return std::bit_cast<double>(sign | kDoubleQuietNaN | payload);
}

}  // namespace

double decode_ieee754_f16(std::uint64_t value) {
    const auto h = static_cast<std::uint32_t>(value & 0xFFFF);
    const bool negative = (h & 0x8000) != 0;
    const std::uint32_t exponent = (h >> 10) & 0x1F;
    const std::uint32_t fraction = h & 0x3FF;

    double magnitude;
    if (exponent == 31) {
        if (fraction != 0) {
            // Quiet NaN of the same sign, payload kept.
            return widen_nan(((h & 0x8000) << 16) | 0x7FC00000 | (fraction << 13));
        }
        magnitude = HUGE_VAL;
    } else if (exponent == 0) {
        magnitude = std::ldexp(static_cast<double>(fraction), -24);  // zero or subnormal
    } else {
        magnitude = std::ldexp(static_cast<double>(1024 + fraction), static_cast<int>(exponent) - 25);
    }
    return negative ? -magnitude : magnitude;
}

double decode_ieee754_f32(std::uint64_t value) {
    const auto image = static_cast<std::uint32_t>(value & 0xFFFFFFFF);
    if ((image & 0x7F800000) == 0x7F800000 && (image & 0x7FFFFF) != 0) {
        return widen_nan(image);  // a signalling NaN comes out quiet
    }
    return static_cast<double>(std::bit_cast<float>(image));
}

double decode_ieee754_f64(std::uint64_t value) { return std::bit_cast<double>(value); }

// Values outside the normal double range flush to zero or go to infinity; the
// 60 fraction bits that a double cannot hold are dropped (truncation toward
// zero); every NaN becomes the positive quiet NaN.
double decode_ieee754_f128(u128 value) {
    const std::uint64_t hi = high_half(value);
    const std::uint64_t lo = low_half(value);
    const bool negative = (hi & kSignBit) != 0;
    const std::uint64_t E = (hi >> 48) & 0x7FFF;
    const std::uint64_t F = hi & 0xFFFFFFFFFFFF;

    if (E == 0x7FFF && (F != 0 || lo != 0)) {
        return std::bit_cast<double>(kDoubleQuietNaN);
    }
    double magnitude;
    if (E == 0x7FFF || E > 0x43FE) {
        magnitude = HUGE_VAL;
    } else if (E < 0x3C01) {
        magnitude = 0.0;  // zero, binary128 subnormal, or below the normal doubles
    } else {
        const std::uint64_t f = (F << 4) | (lo >> 60);
        const double significand = 1.0 + std::ldexp(static_cast<double>(f), -52);  // exact: f < 2^52
        magnitude = std::ldexp(significand, static_cast<int>(E) - 16383);
    }
    return negative ? -magnitude : magnitude;
}

Error float_decode_stub_error(FloatStub format) {
    return Error{ErrorKind::NotImplementedError, std::string(float_stub_name(format)) + " format not yet implemented"};
}

}  // namespace kestrune
