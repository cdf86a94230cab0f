// Floating-point encoders: value -> raw pattern (the format's bit image).
#pragma once

#include <cstdint>

#include "../error.hpp"

namespace kestrune {

// binary32 value -> binary16 pattern, round to nearest, ties to even.
std::uint16_t encode_ieee754_f16(float value);
// The bit images of a binary32 and a binary64 value.
std::uint32_t encode_ieee754_f32(float value);
std::uint64_t encode_ieee754_f64(double value);

// Recognised formats without an encoder: every call fails with
// NotImplementedError "... encoding not yet implemented".
enum class FloatStub : std::uint8_t {
    ieee754_f128,
    ieee754_1985_f32,
    ieee754_1985_f64,
    ieee754_1985_f80,
    mil_std_1750a_f32,
    mil_std_1750a_f48,
    dec_f32,
    dec_f64,
    ibm_f32,
    ibm_f64,
    ti_f32,
    ti_f40,
};
Error float_encode_stub_error(FloatStub format);

// The format's name as the stub messages spell it, e.g. "IEEE 754-1985 f32".
const char* float_stub_name(FloatStub format);

}  // namespace kestrune
