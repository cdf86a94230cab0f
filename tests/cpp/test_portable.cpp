// The portable fallbacks of compiler extensions, checked against the
// extensions themselves where this compiler has them. (A build with
// KESTRUNE_PORTABLE also runs every other test on the fallbacks.)
#include <bit>
#include <cstdint>
#include <cstring>

#include "check.hpp"
#include "simd.hpp"
#include "u128.hpp"

namespace {

std::uint64_t next_random(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Random words, often sparse: most bit patterns that matter (carries
// between the halves, single bits at the edges) come from few set bits.
std::uint64_t random_word(std::uint64_t& state) {
    const std::uint64_t r = next_random(state);
    switch (r % 4) {
        case 0:
            return 0;
        case 1:
            return std::uint64_t{1} << (next_random(state) % 64);
        default:
            return next_random(state);
    }
}

template <class A, class B>
bool same_bytes(const A& a, const B& b) {
    static_assert(sizeof(A) == sizeof(B));
    return std::memcmp(&a, &b, sizeof(A)) == 0;
}

}  // namespace

#if defined(__SIZEOF_INT128__)
TEST_CASE("portable u128 matches the built-in 128-bit integer") {
    using P = kestrune::portable::u128;
    using B = unsigned __int128;
    const auto same = [](P p, B b) {
        return p.high() == static_cast<std::uint64_t>(b >> 64) && p.low() == static_cast<std::uint64_t>(b);
    };
    std::uint64_t state = 1;
    for (int round = 0; round < 300; ++round) {
        const std::uint64_t h = random_word(state), l = random_word(state);
        const std::uint64_t h2 = random_word(state), l2 = random_word(state);
        const P p(h, l), q(h2, l2);
        const B b = static_cast<B>(h) << 64 | l, c = static_cast<B>(h2) << 64 | l2;
        CHECK(same(P(l), static_cast<B>(l)));
        for (std::uint32_t n = 0; n < 128; ++n) {
            CHECK(same(p << n, b << n));
            CHECK(same(p >> n, b >> n));
        }
        CHECK(same(p | q, b | c));
        CHECK(same(p & q, b & c));
        CHECK(same((p >> 3) & 1, (b >> 3) & 1));
        CHECK(static_cast<std::uint8_t>(p) == static_cast<std::uint8_t>(b));
        CHECK(static_cast<std::uint64_t>(p) == static_cast<std::uint64_t>(b));
        CHECK(static_cast<bool>(p) == static_cast<bool>(b));
        CHECK((p == q) == (b == c));
    }
}
#endif

#if KESTRUNE_VECTOR_EXTENSIONS
namespace {

using kestrune::simd::Lanes;

// Every operator the codecs use, on random lanes, with the result compared
// byte for byte (comparison masks included).
template <class V, class T, std::size_t N>
void check_lanes(std::uint64_t& state) {
    using L = Lanes<T, N>;
    static_assert(sizeof(V) == sizeof(L));
    for (int round = 0; round < 200; ++round) {
        V va, vb;
        L la, lb;
        for (std::size_t i = 0; i < N; ++i) {
            va[i] = la[i] = static_cast<T>(random_word(state));
            vb[i] = lb[i] = static_cast<T>(random_word(state));
        }
        const T s = static_cast<T>(random_word(state));
        CHECK(same_bytes(va & vb, la & lb));
        CHECK(same_bytes(va | vb, la | lb));
        CHECK(same_bytes(va ^ vb, la ^ lb));
        CHECK(same_bytes(va & s, la & s));
        CHECK(same_bytes(va | s, la | s));
        CHECK(same_bytes(va == s, la == s));
        CHECK(same_bytes(va != s, la != s));
        CHECK(same_bytes(va < s, la < s));
        CHECK(same_bytes(va > s, la > s));
        CHECK(same_bytes(va == va[0], la == la[0]));  // a mask that holds somewhere
        // Subtraction and shifts only on unsigned lanes, as the codecs use
        // them (signed overflow on vector lanes is undefined).
        if constexpr (std::is_unsigned_v<T>) {
            CHECK(same_bytes(va - vb, la - lb));
            const int n = static_cast<int>(next_random(state) % (8 * sizeof(T)));
            CHECK(same_bytes(va << n, la << n));
            CHECK(same_bytes(va >> n, la >> n));
        }
        V vc = va;
        L lc = la;
        vc |= vb;
        lc |= lb;
        vc &= s;
        lc &= s;
        CHECK(same_bytes(vc, lc));
    }
}

template <class VFrom, class VTo, class From, class To, std::size_t N>
void check_convert(std::uint64_t& state) {
    for (int round = 0; round < 50; ++round) {
        VFrom v;
        Lanes<From, N> l;
        for (std::size_t i = 0; i < N; ++i) {
            v[i] = l[i] = static_cast<From>(random_word(state));
        }
        VTo vout;
        Lanes<To, N> lout;
        kestrune::simd::convert(v, vout);
        kestrune::simd::convert(l, lout);
        CHECK(same_bytes(vout, lout));
    }
}

}  // namespace

TEST_CASE("portable vector lanes match the compiler's vector types") {
    using U8x16 = std::uint8_t __attribute__((vector_size(16)));
    using U16x8 = std::uint16_t __attribute__((vector_size(16)));
    using U16x16 = std::uint16_t __attribute__((vector_size(32)));
    using U32x8 = std::uint32_t __attribute__((vector_size(32)));
    using U32x16 = std::uint32_t __attribute__((vector_size(64)));
    using I32x4 = std::int32_t __attribute__((vector_size(16)));
    std::uint64_t state = 7;
    check_lanes<U8x16, std::uint8_t, 16>(state);
    check_lanes<U16x16, std::uint16_t, 16>(state);
    check_lanes<U32x16, std::uint32_t, 16>(state);
    check_lanes<I32x4, std::int32_t, 4>(state);
    check_convert<U8x16, U16x16, std::uint8_t, std::uint16_t, 16>(state);
    check_convert<U16x16, U8x16, std::uint16_t, std::uint8_t, 16>(state);
    check_convert<U16x8, U32x8, std::uint16_t, std::uint32_t, 8>(state);
    check_convert<U32x16, U16x16, std::uint32_t, std::uint16_t, 16>(state);
    for (int round = 0; round < 50; ++round) {
        I32x4 v;
        Lanes<std::int32_t, 4> l;
        for (std::size_t i = 0; i < 4; ++i) {
            v[i] = l[i] = static_cast<std::int32_t>(random_word(state));
        }
        Lanes<std::int32_t, 4> expected = l;
        for (std::int32_t& x : expected.lane) {
            x = static_cast<std::int32_t>(std::byteswap(static_cast<std::uint32_t>(x)));
        }
        kestrune::simd::byteswap32(v);
        kestrune::simd::byteswap32(l);
        CHECK(same_bytes(v, l) && same_bytes(l, expected));
    }
}
#endif
