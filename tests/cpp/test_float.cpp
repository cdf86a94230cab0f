// Floating-point codecs: binary16 against two independent roundings, the
// decoders' exact values and NaN handling, and the stub messages.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "check.hpp"
#include "decoder/float.hpp"
#include "encoder/float.hpp"

using namespace kestrune;

namespace {

// binary32 -> binary16 through exact double arithmetic: scale the value so
// that the binary16 fraction's last place is 1, then let nearbyint round
// (half to even in the default rounding mode).
std::uint16_t reference_f16(float f) {
    const std::uint32_t x = std::bit_cast<std::uint32_t>(f);
    const std::uint16_t sign = static_cast<std::uint16_t>((x >> 16) & 0x8000);
    const double a = std::fabs(static_cast<double>(f));
    if (std::isnan(f)) {
        return static_cast<std::uint16_t>(sign | 0x7E00 | ((x & 0x7FFFFF) >> 13));
    }
    if (a >= 65520.0) {
        return sign | 0x7C00;  // infinities, and everything that rounds past 65504
    }
    if (a < std::ldexp(1.0, -14)) {
        // Subnormal (or zero) result in units of 2^-24; 1024 units is the
        // smallest normal, whose image is 0x0400 as well.
        return static_cast<std::uint16_t>(sign | static_cast<std::uint16_t>(std::nearbyint(std::ldexp(a, 24))));
    }
    int exp2 = 0;
    std::frexp(a, &exp2);  // a = q * 2^exp2, q in [0.5, 1)
    double units = std::nearbyint(std::ldexp(a, 11 - exp2));  // in [1024, 2048]
    int biased = exp2 - 1 + 15;
    if (units == 2048.0) {
        units = 1024.0;
        ++biased;
    }
    if (biased >= 31) {
        return sign | 0x7C00;
    }
    return static_cast<std::uint16_t>(sign | (biased << 10) | (static_cast<int>(units) - 1024));
}

#if defined(__x86_64__)
bool have_f16c() { return __builtin_cpu_supports("f16c"); }

// The processor's own conversion (VCVTPS2PH, round to nearest even).
__attribute__((target("f16c"))) std::uint16_t hardware_f16(float f) {
    return static_cast<std::uint16_t>(_cvtss_sh(f, _MM_FROUND_TO_NEAREST_INT));
}

__attribute__((target("avx2,f16c"))) std::uint64_t sweep_against_hardware(std::uint32_t start, std::uint32_t count) {
    std::uint64_t mismatches = 0;
    alignas(32) std::uint16_t expected[8];
    alignas(32) std::uint32_t images[8];
    for (std::uint64_t base = start; base < std::uint64_t{start} + count; base += 8) {
        for (int j = 0; j < 8; ++j) {
            images[j] = static_cast<std::uint32_t>(base + j);
        }
        const __m256 v = _mm256_castsi256_ps(_mm256_load_si256(reinterpret_cast<const __m256i*>(images)));
        _mm_store_si128(reinterpret_cast<__m128i*>(expected), _mm256_cvtps_ph(v, _MM_FROUND_TO_NEAREST_INT));
        for (int j = 0; j < 8; ++j) {
            if (encode_ieee754_f16(std::bit_cast<float>(images[j])) != expected[j]) {
                ++mismatches;
            }
        }
    }
    return mismatches;
}
#else
bool have_f16c() { return false; }
std::uint16_t hardware_f16(float) { return 0; }
#endif

// Mantissas that exercise every rounding position: for each half bit p, the
// half bit clear or set, the bits below it empty, minimal or full, and the
// bits above it with an even or odd last place (and all ones, for carries).
std::vector<std::uint32_t> boundary_mantissas() {
    std::vector<std::uint32_t> out;
    for (unsigned p = 0; p < 23; ++p) {
        const std::uint32_t below_full = (std::uint32_t{1} << p) - 1;
        const std::uint32_t above_mask = 0x7FFFFF & ~((std::uint32_t{2} << p) - 1);
        const std::uint32_t aboves[] = {0, (std::uint32_t{2} << p) & 0x7FFFFF, above_mask, above_mask & 0x555555,
                                        above_mask & 0x2AAAAA};
        const std::uint32_t belows[] = {0, 1 & below_full, below_full, (below_full + 1) >> 1};
        for (std::uint32_t above : aboves) {
            for (std::uint32_t below : belows) {
                out.push_back(above | below);
                out.push_back(above | (std::uint32_t{1} << p) | below);
            }
        }
    }
    // Plus a fixed pseudo-random spread.
    std::uint32_t state = 0x9E3779B9u;
    for (int i = 0; i < 4096; ++i) {
        state = state * 1664525u + 1013904223u;
        out.push_back(state >> 9);
    }
    return out;
}

}  // namespace

TEST_CASE("f16 encoding: documented values") {
    CHECK(encode_ieee754_f16(1.0f) == 0x3C00);
    CHECK(encode_ieee754_f16(65504.0f) == 0x7BFF);
    CHECK(encode_ieee754_f16(65519.99f) == 0x7BFF);
    CHECK(encode_ieee754_f16(65520.0f) == 0x7C00);
    CHECK(encode_ieee754_f16(-0.0f) == 0x8000);
    CHECK(encode_ieee754_f16(std::bit_cast<float>(0x7FC00000u)) == 0x7E00);
    CHECK(encode_ieee754_f16(std::bit_cast<float>(0xFF800001u)) == 0xFE00);  // signalling NaN made quiet
    CHECK(encode_ieee754_f16(std::bit_cast<float>(0x7FA00000u)) == 0x7F00);
    CHECK(encode_ieee754_f16(std::ldexp(1.0f, -24)) == 1);
    CHECK(encode_ieee754_f16(std::ldexp(1.0f, -25)) == 0);
    CHECK(encode_ieee754_f16(std::ldexp(3.0f, -25)) == 2);
    CHECK(encode_ieee754_f16(std::ldexp(1023.0f, -24) + std::ldexp(1.0f, -25)) == 0x0400);  // carry to normal
    // Rounded twice: 1 + 2^-11 + 2^-40 is 1 + 2^-11 in binary32, a tie to even.
    CHECK(encode_ieee754_f16(static_cast<float>(1.0 + std::ldexp(1.0, -11) + std::ldexp(1.0, -40))) == 0x3C00);
}

TEST_CASE("f16 encoding: every exponent, boundary mantissas, two references") {
    const bool hw = have_f16c();
    const std::vector<std::uint32_t> mantissas = boundary_mantissas();
    long bad_reference = 0, bad_hardware = 0, references_disagree = 0;
    for (std::uint32_t sign = 0; sign < 2; ++sign) {
        for (std::uint32_t e = 0; e < 256; ++e) {
            for (std::uint32_t m : mantissas) {
                const float f = std::bit_cast<float>((sign << 31) | (e << 23) | m);
                const std::uint16_t got = encode_ieee754_f16(f);
                const std::uint16_t ref = reference_f16(f);
                bad_reference += got != ref;
                if (hw) {
                    bad_hardware += got != hardware_f16(f);
                    references_disagree += ref != hardware_f16(f);
                }
            }
        }
    }
    CHECK(bad_reference == 0);
    CHECK(bad_hardware == 0);
    CHECK(references_disagree == 0);
}

// The full sweep of all 2^32 binary32 images takes several seconds, so it
// runs only when KESTRUNE_EXHAUSTIVE is set.
TEST_CASE("f16 encoding: every binary32 pattern (KESTRUNE_EXHAUSTIVE)") {
    if (std::getenv("KESTRUNE_EXHAUSTIVE") == nullptr) {
        return;
    }
    std::uint64_t mismatches = 0;
#if defined(__x86_64__)
    if (have_f16c() && __builtin_cpu_supports("avx2")) {
        for (std::uint64_t start = 0; start < (std::uint64_t{1} << 32); start += std::uint64_t{1} << 24) {
            mismatches += sweep_against_hardware(static_cast<std::uint32_t>(start), 1u << 24);
        }
        CHECK(mismatches == 0);
        return;
    }
#endif
    for (std::uint64_t i = 0; i < (std::uint64_t{1} << 32); ++i) {
        const float f = std::bit_cast<float>(static_cast<std::uint32_t>(i));
        mismatches += encode_ieee754_f16(f) != reference_f16(f);
    }
    CHECK(mismatches == 0);
}

TEST_CASE("f16 decoding: all 65536 patterns, higher bits ignored") {
    long bad = 0;
    for (std::uint32_t h = 0; h < 0x10000; ++h) {
        const std::uint32_t exponent = (h >> 10) & 0x1F;
        const std::uint32_t fraction = h & 0x3FF;
        const bool negative = (h & 0x8000) != 0;
        std::uint64_t expected_image;
        if (exponent == 31 && fraction != 0) {
            expected_image = (std::uint64_t{negative} << 63) | 0x7FF8000000000000 | (std::uint64_t{fraction} << 42);
        } else {
            double v;
            if (exponent == 31) {
                v = INFINITY;
            } else {
                // fraction/1024 (+1 when normal), scaled by halving or doubling.
                v = (exponent == 0 ? 0.0 : 1.0) + fraction / 1024.0;
                int scale = (exponent == 0 ? 1 : static_cast<int>(exponent)) - 15;
                for (; scale < 0; ++scale) v /= 2;
                for (; scale > 0; --scale) v *= 2;
            }
            expected_image = std::bit_cast<std::uint64_t>(negative ? -v : v);
        }
        bad += std::bit_cast<std::uint64_t>(decode_ieee754_f16(h)) != expected_image;
        bad += std::bit_cast<std::uint64_t>(decode_ieee754_f16(0xFFFFFFFFFFFF0000u | h)) != expected_image;
    }
    CHECK(bad == 0);
}

TEST_CASE("f32 and f64 decoding keep values and NaN payloads") {
    CHECK(decode_ieee754_f32(0x3F800000) == 1.0);
    CHECK(decode_ieee754_f32(0x13F800000) == 1.0);
    CHECK(decode_ieee754_f32(0x00000001) == std::ldexp(1.0, -149));
    CHECK(std::bit_cast<std::uint64_t>(decode_ieee754_f32(0x80000000)) == 0x8000000000000000);
    CHECK(std::bit_cast<std::uint64_t>(decode_ieee754_f32(0xFF800001)) == 0xFFF8000020000000);  // made quiet
    CHECK(std::bit_cast<std::uint64_t>(decode_ieee754_f32(0x7FC00003)) == 0x7FF8000060000000);
    CHECK(std::bit_cast<std::uint64_t>(decode_ieee754_f64(0x7FF0000000000001)) == 0x7FF0000000000001);
    CHECK(decode_ieee754_f64(0x3FF0000000000000) == 1.0);
    CHECK(encode_ieee754_f32(1.0f) == 0x3F800000);
    CHECK(encode_ieee754_f64(-2.0) == 0xC000000000000000);
}

TEST_CASE("f128 decoding: range limits, truncation, NaN") {
    using u128 = unsigned __int128;
    auto top = [](std::uint64_t exponent_and_sign, std::uint64_t fraction48, std::uint64_t lo = 0) {
        return (u128{(exponent_and_sign << 48) | fraction48} << 64) | lo;
    };
    CHECK(decode_ieee754_f128(top(0x3FFF, 0)) == 1.0);
    CHECK(decode_ieee754_f128(top(0x3FFF, 0x800000000000)) == 1.5);
    CHECK(decode_ieee754_f128(top(0xBFFF, 0)) == -1.0);
    CHECK(decode_ieee754_f128(top(0x3C01, 0)) == std::ldexp(1.0, -1022));
    CHECK(decode_ieee754_f128(top(0x43FE, 0xFFFFFFFFFFFF, ~std::uint64_t{0})) == std::ldexp(2.0 - std::ldexp(1.0, -52), 1023));
    CHECK(std::bit_cast<std::uint64_t>(decode_ieee754_f128(top(0xBC00, 0xFFFFFFFFFFFF))) == 0x8000000000000000);
    CHECK(std::bit_cast<std::uint64_t>(decode_ieee754_f128(top(0x8000, 0, 1))) == 0x8000000000000000);
    CHECK(decode_ieee754_f128(top(0x43FF, 0)) == INFINITY);
    CHECK(decode_ieee754_f128(top(0xFFFF, 0)) == -INFINITY);
    // The low 60 fraction bits are dropped, not rounded.
    CHECK(decode_ieee754_f128(top(0x3FFF, 0, std::uint64_t{1} << 59)) == 1.0);
    CHECK(decode_ieee754_f128(top(0x3FFF, 0, ~std::uint64_t{0})) == 1.0 + std::ldexp(15.0, -52));
    // Every NaN becomes the positive quiet NaN, whatever the sign or payload.
    CHECK(std::bit_cast<std::uint64_t>(decode_ieee754_f128(top(0xFFFF, 0, 1))) == 0x7FF8000000000000);
    CHECK(std::bit_cast<std::uint64_t>(decode_ieee754_f128(top(0x7FFF, 0x123))) == 0x7FF8000000000000);
}

TEST_CASE("float stub messages") {
    const Error enc = float_encode_stub_error(FloatStub::ieee754_1985_f80);
    CHECK(enc.kind == ErrorKind::NotImplementedError);
    CHECK(enc.message == "IEEE 754-1985 f80 encoding not yet implemented");
    CHECK(float_encode_stub_error(FloatStub::ieee754_f128).message == "IEEE 754 f128 encoding not yet implemented");
    const Error dec = float_decode_stub_error(FloatStub::mil_std_1750a_f48);
    CHECK(dec.kind == ErrorKind::NotImplementedError);
    CHECK(dec.message == "MIL-STD-1750A f48 format not yet implemented");
    CHECK(float_decode_stub_error(FloatStub::ti_f40).message == "TI f40 format not yet implemented");
}
