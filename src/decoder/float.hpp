// Floating-point decoders: raw pattern -> double.
#pragma once

#include <cstdint>

#include "../encoder/float.hpp"
#include "../error.hpp"
#include "../u128.hpp"

namespace kestrune {

// Only the low 16 / 32 bits of the pattern are read.
double decode_ieee754_f16(std::uint64_t value);
double decode_ieee754_f32(std::uint64_t value);
double decode_ieee754_f64(std::uint64_t value);
double decode_ieee754_f128(u128 value);

// Recognised formats without a decoder: every call fails with
// NotImplementedError "... format not yet implemented". ieee754_f128 has a
// real decoder and is not a valid argument here.
Error float_decode_stub_error(FloatStub format);

}  // namespace kestrune
