// Floating-point encoders: IEEE 754 binary16/32/64 bit images, and the stub
// errors of the formats that are recognised but not implemented.
#include "float.hpp"

#include <bit>
#include <string>

namespace kestrune {

// binary32 -> binary16, round to nearest, ties to even, from the bit image.
// The argument already went through one rounding (double -> binary32), so a
// Python float is rounded twice; that is intended.
std::uint16_t encode_ieee754_f16(float value) {
    const std::uint32_t x = std::bit_cast<std::uint32_t>(value);
    const std::uint32_t s = (x >> 16) & 0x8000;
    const std::uint32_t e = (x >> 23) & 0xFF;
    const std::uint32_t m = x & 0x7FFFFF;

    if (e == 255) {
        // Infinity stays infinity; a NaN is made quiet and keeps the top ten
        // bits of its payload.
        return static_cast<std::uint16_t>(s | 0x7C00 | (m >> 13) | (m != 0 ? 0x0200 : 0));
    }
    if (e > 142) {
        return static_cast<std::uint16_t>(s | 0x7C00);  // |value| >= 65536
    }
    if (e >= 113) {
        // Normal binary16. Round up when the dropped part is above one half,
        // or exactly one half with an odd result. A carry out of the fraction
        // moves into the exponent, up to infinity.
        std::uint32_t r = s | ((e - 112) << 10) | (m >> 13);
        if ((m & 0x1000) != 0 && (m & 0x2FFF) != 0) {
            ++r;
        }
        return static_cast<std::uint16_t>(r);
    }
    if (e < 102) {
        return static_cast<std::uint16_t>(s);  // below 2^-25: rounds to zero
    }
    // Subnormal binary16: shift the full significand right by k + 1, with the
    // same round-half-even rule on bit k. A carry gives the smallest normal.
    const std::uint32_t M = m | 0x800000;
    const std::uint32_t k = 125 - e;  // 13 to 23
    std::uint32_t r = M >> (k + 1);
    if ((M & (std::uint32_t{1} << k)) != 0 && (M & ((std::uint32_t{3} << k) - 1)) != 0) {
        ++r;
    }
    return static_cast<std::uint16_t>(s | r);
}

std::uint32_t encode_ieee754_f32(float value) { return std::bit_cast<std::uint32_t>(value); }

std::uint64_t encode_ieee754_f64(double value) { return std::bit_cast<std::uint64_t>(value); }

const char* float_stub_name(FloatStub format) {
    switch (format) {
        case FloatStub::ieee754_f128: return "IEEE 754 f128";
        case FloatStub::ieee754_1985_f32: return "IEEE 754-1985 f32";
        case FloatStub::ieee754_1985_f64: return "IEEE 754-1985 f64";
        case FloatStub::ieee754_1985_f80: return "IEEE 754-1985 f80";
        case FloatStub::mil_std_1750a_f32: return "MIL-STD-1750A f32";
        case FloatStub::mil_std_1750a_f48: return "MIL-STD-1750A f48";
        case FloatStub::dec_f32: return "DEC f32";
        case FloatStub::dec_f64: return "DEC f64";
        case FloatStub::ibm_f32: return "IBM f32";
        case FloatStub::ibm_f64: return "IBM f64";
        case FloatStub::ti_f32: return "TI f32";
        case FloatStub::ti_f40: return "TI f40";
    }
    return "unknown floating-point";
}

Error float_encode_stub_error(FloatStub format) {
    return Error{ErrorKind::NotImplementedError, std::string(float_stub_name(format)) + " encoding not yet implemented"};
}

}  // namespace kestrune
