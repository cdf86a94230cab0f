// Shared pieces of the fuzz harnesses: a check that stops the run with a
// readable account of the disagreement, and input helpers that favour the
// values where codecs break (powers of two and their neighbours).
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "error.hpp"

#define FUZZ_CHECK(cond, ...)                                                         \
    do {                                                                              \
        if (!(cond)) {                                                                \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::fprintf(stderr, __VA_ARGS__);                                        \
            std::fputc('\n', stderr);                                                 \
            std::abort();                                                             \
        }                                                                             \
    } while (0)

namespace fuzz {

// A 64-bit value near a power of two (either sign) or any value at all.
inline std::uint64_t edgy_u64(FuzzedDataProvider& in) {
    if (in.ConsumeBool()) {
        return in.ConsumeIntegral<std::uint64_t>();
    }
    const unsigned k = in.ConsumeIntegralInRange<unsigned>(0, 63);
    const auto delta = static_cast<std::uint64_t>(in.ConsumeIntegralInRange<std::int64_t>(-2, 2));
    const std::uint64_t base = std::uint64_t{1} << k;
    return (in.ConsumeBool() ? std::uint64_t{0} - base : base) + delta;
}

inline std::int64_t edgy_i64(FuzzedDataProvider& in) { return static_cast<std::int64_t>(edgy_u64(in)); }

// A width: mostly around the 64-bit pattern, sometimes any 32-bit value.
inline std::uint32_t edgy_bits(FuzzedDataProvider& in) {
    return in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint32_t>(0, 80) : in.ConsumeIntegral<std::uint32_t>();
}

// The outcome of a codec call or of a reference, comparable as text.
template <class T>
std::string outcome(const kestrune::Result<T>& r, std::string (*show)(const T&)) {
    return r ? "ok " + show(*r) : "error " + r.error().message;
}

inline std::string show_u64(const std::uint64_t& v) { return std::to_string(v); }
inline std::string show_i64(const std::int64_t& v) { return std::to_string(v); }

}  // namespace fuzz
