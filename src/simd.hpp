// Fixed-size vectors of integer lanes for the block loops of the text codecs.
//
// With GCC and Clang a vector is the compiler's vector type, whose lane-wise
// operators lower to SIMD instructions. Other compilers (and any build that
// defines KESTRUNE_PORTABLE, which is how the fallback gets built and tested)
// get Lanes, a plain array with the same operators and the same results,
// which compiles to scalar loops.
//
// Spell a vector type as KESTRUNE_VECTOR(lane type, size in bytes); convert
// between lane types with simd::convert and reinterpret a comparison mask
// with std::bit_cast.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#if (defined(__GNUC__) || defined(__clang__)) && !defined(KESTRUNE_PORTABLE)
#define KESTRUNE_VECTOR_EXTENSIONS 1
#define KESTRUNE_VECTOR(T, bytes) T __attribute__((vector_size(bytes)))
#else
#define KESTRUNE_VECTOR_EXTENSIONS 0
#define KESTRUNE_VECTOR(T, bytes) ::kestrune::simd::Lanes<T, (bytes) / sizeof(T)>
#endif

namespace kestrune::simd {

// The fallback, defined everywhere so that it can be checked against the
// vector types where the compiler has them.
template <class T, std::size_t N>
struct Lanes {
    static_assert(std::is_integral_v<T>);
    using Mask = Lanes<std::make_signed_t<T>, N>;

    T lane[N];

    T& operator[](std::size_t i) { return lane[i]; }
    const T& operator[](std::size_t i) const { return lane[i]; }

    template <class F>
    static Lanes map(F f) {
        Lanes r;
        for (std::size_t i = 0; i < N; ++i) {
            r.lane[i] = static_cast<T>(f(i));
        }
        return r;
    }
    // A comparison sets every bit of a lane where it holds, as vector
    // comparisons do.
    template <class F>
    static Mask compare(F f) {
        Mask r;
        for (std::size_t i = 0; i < N; ++i) {
            r.lane[i] = f(i) ? -1 : 0;
        }
        return r;
    }

    // Arithmetic wraps around, as it does on vector lanes: it is done on
    // the unsigned form of the lane type, where overflow is defined.
    using Unsigned = std::make_unsigned_t<T>;
#define KESTRUNE_LANES_OPERATOR(op)                                                                    \
    friend Lanes operator op(const Lanes& a, const Lanes& b) {                                         \
        return map([&](std::size_t i) { return Unsigned(Unsigned(a.lane[i]) op Unsigned(b.lane[i])); }); \
    }                                                                                                  \
    friend Lanes operator op(const Lanes& a, T b) {                                                    \
        return map([&](std::size_t i) { return Unsigned(Unsigned(a.lane[i]) op Unsigned(b)); });         \
    }                                                                                                  \
    Lanes& operator op##=(const Lanes& b) { return *this = *this op b; }                               \
    Lanes& operator op##=(T b) { return *this = *this op b; }
    KESTRUNE_LANES_OPERATOR(&)
    KESTRUNE_LANES_OPERATOR(|)
    KESTRUNE_LANES_OPERATOR(^)
    KESTRUNE_LANES_OPERATOR(-)
#undef KESTRUNE_LANES_OPERATOR

    friend Lanes operator<<(const Lanes& a, int n) {
        return map([&](std::size_t i) { return a.lane[i] << n; });
    }
    friend Lanes operator>>(const Lanes& a, int n) {
        return map([&](std::size_t i) { return a.lane[i] >> n; });
    }
    Lanes& operator<<=(int n) { return *this = *this << n; }
    Lanes& operator>>=(int n) { return *this = *this >> n; }

#define KESTRUNE_LANES_COMPARISON(op)                                                                  \
    friend Mask operator op(const Lanes& a, T b) {                                                     \
        return compare([&](std::size_t i) { return a.lane[i] op b; });                                 \
    }
    KESTRUNE_LANES_COMPARISON(==)
    KESTRUNE_LANES_COMPARISON(!=)
    KESTRUNE_LANES_COMPARISON(<)
    KESTRUNE_LANES_COMPARISON(>)
#undef KESTRUNE_LANES_COMPARISON
};

// Lane-wise value conversion (truncating when narrowing, as a cast does).
template <class T, class U, std::size_t N>
inline void convert(const Lanes<T, N>& v, Lanes<U, N>& out) {
    for (std::size_t i = 0; i < N; ++i) {
        out.lane[i] = static_cast<U>(v.lane[i]);
    }
}

// Reverses the bytes of each 32-bit lane of a 16-byte vector.
template <class T>
inline void byteswap32(Lanes<T, 4>& v) {
    static_assert(sizeof(T) == 4);
    for (T& lane : v.lane) {
        lane = static_cast<T>(std::byteswap(static_cast<std::make_unsigned_t<T>>(lane)));
    }
}

#if KESTRUNE_VECTOR_EXTENSIONS

// The same on vector types: the 16-bit halves swapped by a shuffle, then
// the bytes of each half by shifts (SSE2 has no byte shuffle).
template <class V>
inline void byteswap32(V& v) {
    static_assert(sizeof(V) == 16);
    using H = std::uint16_t __attribute__((vector_size(16)));
    H h = __builtin_shufflevector(std::bit_cast<H>(v), std::bit_cast<H>(v), 1, 0, 3, 2, 5, 4, 7, 6);
    h = h << 8 | h >> 8;
    v = std::bit_cast<V>(h);
}

// The same on vector types. The result is written through a reference:
// returning a vector wider than the baseline SIMD registers by value would
// change the calling convention.
template <class From, class To>
inline void convert(const From& v, To& out) {
    out = __builtin_convertvector(v, To);
}

#endif

}  // namespace kestrune::simd
