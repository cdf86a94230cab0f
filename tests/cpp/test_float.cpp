// binary16 conversions: the encoder against two independent roundings (exact
// double arithmetic, and the processor's own conversion where it has one),
// the decoder over every pattern.
#include <bit>
#include <cmath>
#include <cstdint>
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
