// Text decoders: a measuring pass that validates strictly (reporting the
// first fault) and a filling pass into 1-, 2- or 4-byte code units.
//
// Both passes work mostly in blocks of eight or sixteen code units: a block
// without anything that needs attention (surrogates, invalid values,
// windows-1252 bytes 80-9F, non-ASCII UTF-8) is handled with lane-wise vector
// operations (simd.hpp), which lower to SIMD instructions; any other block is
// handled one unit at a time. Leading ASCII is found a word at a time, and a
// measuring pass stops as soon as the storage width is settled when nothing
// is left to validate.
#include "text.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <type_traits>
#include <vector>

#include "../ascii_run.hpp"
#include "../simd.hpp"
#include "windows_1252_index.hpp"

namespace kestrune {
namespace {

using u8 = std::uint8_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;

// The word-at-a-time fast paths read memory in host order and their masks
// assume a little-endian host.
static_assert(std::endian::native == std::endian::little);

constexpr u64 kHighBits = 0x8080808080808080ULL;

inline const u8* bytes_of(std::string_view s) { return reinterpret_cast<const u8*>(s.data()); }

inline u64 load64(const u8* p) {
    u64 w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

// Writes the UTF-8 form of scalar value `c` at `out` and returns the end.
inline char* put_utf8(char* out, u32 c) {
    if (c < 0x80) {
        *out++ = static_cast<char>(c);
    } else if (c < 0x800) {
        *out++ = static_cast<char>(0xC0 | (c >> 6));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (c >> 12));
        *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (c >> 18));
        *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

// ---- UTF-8 validation --------------------------------------------------
//
// A deterministic automaton over bytes. Each state is a multiple of 6 and
// each byte's row packs the next state for every current state, 6 bits each,
// so that one step is a shift and a mask.

enum Utf8State : unsigned {
    kAccept,    // between characters
    kReject,    // absorbing
    kNeed1,     // one continuation byte to go
    kNeed2,     // two to go
    kNeed3,     // three to go
    kAfterE0,   // A0-BF, then one more (no overlong three-byte forms)
    kAfterED,   // 80-9F, then one more (no surrogates)
    kAfterF0,   // 90-BF, then two more (no overlong four-byte forms)
    kAfterF4,   // 80-8F, then two more (nothing above U+10FFFF)
    kStateCount
};

constexpr unsigned utf8_next(unsigned state, unsigned b) {
    const bool c_80_8f = b >= 0x80 && b <= 0x8F;
    const bool c_90_9f = b >= 0x90 && b <= 0x9F;
    const bool c_a0_bf = b >= 0xA0 && b <= 0xBF;
    const bool cont = c_80_8f || c_90_9f || c_a0_bf;
    switch (state) {
        case kAccept:
            if (b < 0x80) return kAccept;
            if (b >= 0xC2 && b <= 0xDF) return kNeed1;
            if (b == 0xE0) return kAfterE0;
            if (b == 0xED) return kAfterED;
            if (b >= 0xE1 && b <= 0xEF) return kNeed2;
            if (b == 0xF0) return kAfterF0;
            if (b == 0xF4) return kAfterF4;
            if (b >= 0xF1 && b <= 0xF3) return kNeed3;
            return kReject;
        case kNeed1: return cont ? kAccept : kReject;
        case kNeed2: return cont ? kNeed1 : kReject;
        case kNeed3: return cont ? kNeed2 : kReject;
        case kAfterE0: return c_a0_bf ? kNeed1 : kReject;
        case kAfterED: return (c_80_8f || c_90_9f) ? kNeed1 : kReject;
        case kAfterF0: return (c_90_9f || c_a0_bf) ? kNeed2 : kReject;
        case kAfterF4: return c_80_8f ? kNeed2 : kReject;
        default: return kReject;
    }
}

constexpr std::array<u64, 256> make_utf8_rows() {
    std::array<u64, 256> rows{};
    for (unsigned b = 0; b < 256; ++b) {
        for (unsigned s = 0; s < kStateCount; ++s) {
            rows[b] |= u64{6 * utf8_next(s, b)} << (6 * s);
        }
    }
    return rows;
}

constexpr std::array<u64, 256> kUtf8Rows = make_utf8_rows();

inline unsigned utf8_step(unsigned shift, u8 b) { return static_cast<unsigned>(kUtf8Rows[b] >> shift) & 63; }

// Where and how UTF-8 validation failed. `length` is 0 when the input ends
// inside a sequence that was valid so far, else the number of bytes (1-3)
// that form the invalid sequence starting at `index`.
struct Utf8Fault {
    std::size_t index;
    unsigned length;
};

// Validates `s` as UTF-8 (no surrogates, no overlong forms, nothing above
// U+10FFFF) from index `from`, where a character starts. Returns true when
// valid, else fills `fault` (indices into `s`).
bool validate_utf8(std::string_view s, std::size_t from, Utf8Fault& fault) {
    const u8* p = bytes_of(s);
    const std::size_t n = s.size();
    constexpr unsigned accept = 6 * kAccept;
    constexpr unsigned reject = 6 * kReject;
    unsigned state = accept;
    std::size_t i = from;
    std::size_t start = from;  // start of the current character
    while (i < n) {
        if (state == accept) {
            while (i + 16 <= n && ((load64(p + i) | load64(p + i + 8)) & kHighBits) == 0) {
                i += 16;
            }
            start = i;
        }
        const std::size_t end = std::min(n, i + 16);
        for (; i < end; ++i) {
            state = utf8_step(state, p[i]);
            start = state == accept ? i + 1 : start;
        }
        if (state == reject) {
            break;
        }
    }
    if (state == accept) {
        return true;
    }
    if (state != reject) {
        fault = {start, 0};
        return false;
    }
    // Replay the failed character to find the byte that was refused: the
    // bytes before it form the invalid sequence (at least one byte).
    unsigned replay = accept;
    std::size_t j = start;
    while ((replay = utf8_step(replay, p[j])) != reject) {
        ++j;
    }
    fault = {start, static_cast<unsigned>(std::max<std::size_t>(1, j - start))};
    return false;
}

// ---- vector helpers ------------------------------------------------------

constexpr std::size_t kBlock = 16;
using u16 = std::uint16_t;
using V8 = KESTRUNE_VECTOR(u8, 16);
using V16 = KESTRUNE_VECTOR(u16, 32);
using V32 = KESTRUNE_VECTOR(u32, 64);
// Comparisons are done on 16-byte vectors only: wider ones are split into
// scalar lanes on baseline x86-64.
using H16 = KESTRUNE_VECTOR(u16, 16);
using Q32 = KESTRUNE_VECTOR(std::int32_t, 16);
using Q16 = KESTRUNE_VECTOR(std::int16_t, 16);
using B16 = KESTRUNE_VECTOR(u8, 16);

// Baseline x86 (SSE2) has no byte shuffle: there big-endian units are put in
// host order by shifts, and the loops that do most of that work are also
// built for SSSE3 and chosen at run time when the processor has it (unless
// KESTRUNE_NO_CLONES, which builds that test the baseline loops define, or
// with the MSVC runtime, which has no processor-feature query for it).
// Other vector targets shuffle bytes natively.
#if KESTRUNE_VECTOR_EXTENSIONS && (defined(__x86_64__) || defined(__i386__)) && !defined(__SSSE3__)
#if defined(KESTRUNE_NO_CLONES) || defined(_MSC_VER)
#define KESTRUNE_SSSE3_CLONES 0
#else
#define KESTRUNE_SSSE3_CLONES 1
#endif
constexpr bool kShuffleBytes = false;
#else
#define KESTRUNE_SSSE3_CLONES 0
constexpr bool kShuffleBytes = KESTRUNE_VECTOR_EXTENSIONS != 0;
#endif

// Vectors are passed by reference: vectors wider than the baseline SIMD
// registers would otherwise change the calling convention.
template <class V>
inline void load_vector(V& v, const u8* p) {
    std::memcpy(&v, p, sizeof v);
}

template <class Unit>
struct UnitVector;
template <>
struct UnitVector<u8> {
    using type = V8;
};
template <>
struct UnitVector<u16> {
    using type = V16;
};
template <>
struct UnitVector<u32> {
    using type = V32;
};

// True when any lane of a comparison mask is set.
template <class M>
inline bool any_lane(const M& mask) {
    static_assert(sizeof(M) % 8 == 0);
    u64 words[sizeof(M) / 8];
    std::memcpy(words, &mask, sizeof mask);
    u64 any = 0;
    for (u64 w : words) {
        any |= w;
    }
    return any != 0;
}

// The bitwise OR of all lanes: at least the largest lane, and below 0x80,
// 0x100 or 0x10000 exactly when the largest lane is.
template <class V>
inline u32 lane_or(const V& v) {
    u32 m = 0;
    for (std::size_t i = 0; i < kBlock; ++i) {
        m |= v[i];
    }
    return m;
}

// The bitwise OR of the eight lanes of a 16-byte vector of 16-bit units.
inline u32 lane_or8(const H16& v) {
    u32 m = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        m |= v[i];
    }
    return m;
}

// Stores sixteen code points (each known to fit Unit) as Units. Widening
// to 32 bits goes through 16 bits, eight lanes at a time, and narrowing from
// 32 bits to 8 through 16: the forms that lower to SIMD packing/unpacking.
using H32 = KESTRUNE_VECTOR(u32, 32);

inline void widen_to_u32(const V16& v, u32* out) {
    for (int half = 0; half < 2; ++half) {
        H16 h;
        std::memcpy(&h, reinterpret_cast<const char*>(&v) + 16 * half, 16);
        H32 d;
        simd::convert(h, d);
        std::memcpy(out + 8 * half, &d, sizeof d);
    }
}

template <class Unit, class V>
inline Unit* store_units(Unit* out, const V& v) {
    using Out = typename UnitVector<Unit>::type;
    if constexpr (std::is_same_v<V, Out>) {
        std::memcpy(out, &v, sizeof v);
    } else if constexpr (sizeof(Unit) == 4) {
        if constexpr (std::is_same_v<V, V8>) {
            V16 w;
            simd::convert(v, w);
            widen_to_u32(w, out);
        } else {
            widen_to_u32(v, out);
        }
    } else if constexpr (sizeof(Unit) == 1 && std::is_same_v<V, V32>) {
        V16 t;
        simd::convert(v, t);
        V8 w;
        simd::convert(t, w);
        std::memcpy(out, &w, sizeof w);
    } else {
        Out w;
        simd::convert(v, w);
        std::memcpy(out, &w, sizeof w);
    }
    return out + kBlock;
}

// ---- UTF-8 ---------------------------------------------------------------

// Length and largest-code-point bound of valid UTF-8: every byte that is not
// a continuation byte starts a character, and the largest byte tells the
// width class of the largest character.
void measure_valid_utf8(const u8* p, std::size_t n, std::size_t& length, char32_t& max_char) {
    std::size_t continuations = 0;
    V8 any{};     // OR of the bytes
    V8 wide{};    // lead bytes C4-FF
    V8 astral{};  // lead bytes F0-FF
    std::size_t i = 0;
    while (i + kBlock <= n) {
        // Per-lane counts of continuation bytes, folded before they can wrap.
        V8 counts{};
        const std::size_t stop = std::min(n - kBlock + 1, i + 255 * kBlock);
        for (; i < stop; i += kBlock) {
            V8 v;
            load_vector(v, p + i);
            // Equality tests only: SSE2 has no unsigned byte comparison.
            counts -= std::bit_cast<V8>((v & 0xC0) == 0x80);
            any |= v;
            wide |= std::bit_cast<V8>(((v & 0xC0) == 0xC0) & ((v & 0xFE) != 0xC2));
            astral |= std::bit_cast<V8>((v & 0xF0) == 0xF0);
        }
        for (std::size_t l = 0; l < kBlock; ++l) {
            continuations += counts[l];
        }
    }
    u32 top = lane_or(any);
    bool beyond_latin1 = lane_or(wide) != 0;
    bool beyond_bmp = lane_or(astral) != 0;
    for (; i < n; ++i) {
        continuations += (p[i] & 0xC0) == 0x80;
        top |= p[i];
        beyond_latin1 = beyond_latin1 || p[i] >= 0xC4;
        beyond_bmp = beyond_bmp || p[i] >= 0xF0;
    }
    length = n - continuations;
    // The lead bytes give the width class: C2-C3 lead U+0080-U+00FF, C4-EF
    // up to U+FFFF, F0-F4 beyond.
    max_char = top < 0x80 ? top : !beyond_latin1 ? 0xFF : !beyond_bmp ? 0xFFFF : 0x10FFFF;
}

// Decodes valid UTF-8 into code units: the leading ASCII run a block at a
// time, the rest in a loop that branches on the lead byte only (which the
// branch predictor follows best when nothing else interrupts it).
template <class Unit>
void fill_utf8(const u8* p, std::size_t n, Unit* out) {
    std::size_t i = 0;
    for (; i + kBlock <= n && ((load64(p + i) | load64(p + i + 8)) & kHighBits) == 0; i += kBlock) {
        V8 v;
        load_vector(v, p + i);
        out = store_units(out, v);
    }
    while (i < n) {
        const u32 b = p[i];
        u32 c;
        if (b < 0x80) {
            c = b;
            i += 1;
        } else if (b < 0xE0 && i + 1 < n) {
            c = (b & 0x1F) << 6 | (p[i + 1] & 0x3F);
            i += 2;
        } else if (b < 0xF0 && i + 2 < n) {
            c = (b & 0x0F) << 12 | (p[i + 1] & 0x3F) << 6 | (p[i + 2] & 0x3F);
            i += 3;
        } else if (i + 3 < n) {
            c = (b & 0x07) << 18 | (p[i + 1] & 0x3F) << 12 | (p[i + 2] & 0x3F) << 6 | (p[i + 3] & 0x3F);
            i += 4;
        } else {
            c = 0xFFFD;  // not reached for validated input; never reads past the end
            i = n;
        }
        *out++ = static_cast<Unit>(c);
    }
}

// ---- UTF-16 --------------------------------------------------------------

template <bool Little>
inline u32 unit16(const u8* p, std::size_t k) {
    const u32 a = p[2 * k];
    const u32 b = p[2 * k + 1];
    return Little ? (a | b << 8) : (a << 8 | b);
}

// Lanes of eight units, as loaded in host order, that hold a surrogate: the
// masks follow the byte order instead of the units.
template <bool Little>
inline auto surrogate_lanes(const H16& raw) {
    constexpr u16 mask = Little ? 0xF800 : 0x00F8;
    constexpr u16 bits = Little ? 0xD800 : 0x00D8;
    return (raw & mask) == bits;
}

// Eight units as loaded, widened to 32-bit code units at `out`. Big-endian
// units take one byte shuffle per four units where shuffles are cheap, else
// shifts.
template <bool Little, bool Shuffle>
inline void widen_units16(const H16& raw, u32* out) {
    H16 units = raw;
    if constexpr (!Little) {
#if KESTRUNE_VECTOR_EXTENSIONS
        if constexpr (Shuffle) {
            const B16 b = std::bit_cast<B16>(raw);
            units = std::bit_cast<H16>(
                __builtin_shufflevector(b, b, 1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14));
        } else
#endif
        {
            units = raw << 8 | raw >> 8;
        }
    }
    H32 wide;
    simd::convert(units, wide);
    std::memcpy(out, &wide, sizeof wide);
}

inline u32 combine_pair(u32 high, u32 low) { return 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00); }

// Checks the pairing of surrogates: false when one is unpaired. A unit must
// be a low surrogate exactly when the unit before it is a high one, so each
// block of eight units is compared with the same block loaded one unit
// earlier, without a branch; the first unit and the tail go one at a time.
template <bool Little>
bool measure_utf16(const u8* p, std::size_t units, std::size_t& length, char32_t& max_char) {
    u32 sor = 0;              // OR of the units taken one at a time
    std::size_t pairs = 0;    // high surrogates, each checked to start a pair
    bool after_high = false;  // the unit before the next one is a high surrogate
    auto one_unit = [&](std::size_t at) {
        const u32 u = unit16<Little>(p, at);
        const bool high = u - 0xD800 < 0x400;
        const bool low = u - 0xDC00 < 0x400;
        const bool paired = low == after_high;
        after_high = high;
        pairs += high;
        sor |= u;
        return paired;
    };
    std::size_t k = 0;
    if (units != 0 && !one_unit(0)) {
        return false;
    }
    k = 1;
    H16 vor{};
    Q16 bad{};
    while (k + 8 <= units) {
        // Per-lane counts of high surrogates, folded before they can wrap.
        H16 counts{};
        for (const std::size_t stop = std::min(units - 7, k + 8 * 0x7FFF); k < stop; k += 8) {
            // Units as loaded: the masks follow the byte order instead.
            constexpr u16 mask = Little ? 0xFC00 : 0x00FC;
            constexpr u16 high_bits = Little ? 0xD800 : 0x00D8;
            constexpr u16 low_bits = Little ? 0xDC00 : 0x00DC;
            H16 v;
            H16 before;
            load_vector(v, p + 2 * k);
            load_vector(before, p + 2 * (k - 1));
            const Q16 high = std::bit_cast<Q16>((v & mask) == high_bits);
            bad |= std::bit_cast<Q16>((v & mask) == low_bits) ^ std::bit_cast<Q16>((before & mask) == high_bits);
            counts -= std::bit_cast<H16>(high);
            vor |= v;
        }
        for (std::size_t l = 0; l < 8; ++l) {
            pairs += counts[l];
        }
        after_high = unit16<Little>(p, k - 1) - 0xD800 < 0x400;
    }
    if (any_lane(bad)) {
        return false;
    }
    for (; k < units; ++k) {
        if (!one_unit(k)) {
            return false;
        }
    }
    if (after_high) {
        return false;  // a high surrogate at the end
    }
    length = units - pairs;
    u32 lanes = lane_or8(vor);  // byte order does not change an OR
    if constexpr (!Little) {
        lanes = (lanes >> 8 | lanes << 8) & 0xFFFF;
    }
    max_char = pairs != 0 ? 0x10FFFF : (sor | lanes);
    return true;
}

// Eight units at a time, widened to 32 bits; a block with a surrogate is
// stored whole when the output has room, the output then moving only past
// the units before it, and the pair is written on its own.
template <bool Little, bool Shuffle>
void fill_utf16_wide(const u8* p, std::size_t units, u32* out, std::size_t length) {
    u32* const end = out + length;
    std::size_t k = 0;
    while (k + 8 <= units) {
        if (k + 16 <= units && static_cast<std::size_t>(end - out) >= 16) {
            H16 a;
            H16 b;
            load_vector(a, p + 2 * k);
            load_vector(b, p + 2 * k + 16);
            if (!any_lane(surrogate_lanes<Little>(a) | surrogate_lanes<Little>(b))) {
                widen_units16<Little, Shuffle>(a, out);
                widen_units16<Little, Shuffle>(b, out + 8);
                out += 16;
                k += 16;
                continue;
            }
        }
        H16 v;
        load_vector(v, p + 2 * k);
        const auto surrogate = surrogate_lanes<Little>(v);
        u64 w[2];
        std::memcpy(w, &surrogate, sizeof w);
        std::size_t plain = 8;
        if ((w[0] | w[1]) != 0) {
            plain = w[0] != 0 ? static_cast<std::size_t>(std::countr_zero(w[0])) / 16
                              : 4 + static_cast<std::size_t>(std::countr_zero(w[1])) / 16;
        }
        if (static_cast<std::size_t>(end - out) >= 8) {
            widen_units16<Little, Shuffle>(v, out);
            out += plain;
        } else {
            for (std::size_t l = 0; l < plain; ++l) {
                *out++ = static_cast<u32>(unit16<Little>(p, k + l));
            }
        }
        k += plain;
        if (plain != 8) {
            // A high surrogate (the text is measured), and its low one.
            *out++ = combine_pair(unit16<Little>(p, k), unit16<Little>(p, k + 1));
            k += 2;
        }
    }
    while (k < units) {
        const u32 u = unit16<Little>(p, k);
        if (u - 0xD800 < 0x400) {
            *out++ = combine_pair(u, unit16<Little>(p, k + 1));
            k += 2;
        } else {
            *out++ = u;
            ++k;
        }
    }
}

// Writes measured (well-paired) UTF-16 as `length` code points. Narrow
// Units only receive text without pairs.
template <bool Little, class Unit, bool Shuffle = kShuffleBytes>
void fill_utf16(const u8* p, std::size_t units, Unit* out, std::size_t length) {
    if constexpr (sizeof(Unit) < 4) {
        // Text measured below U+10000 has no pairs: every unit is a code
        // point, in a plain loop that the compiler vectorises.
        for (std::size_t k = 0; k < units; ++k) {
            u16 u;
            std::memcpy(&u, p + 2 * k, 2);
            out[k] = static_cast<Unit>(Little ? u : static_cast<u16>(u << 8 | u >> 8));
        }
    } else {
        fill_utf16_wide<Little, Shuffle>(p, units, out, length);
    }
}

// ---- UTF-32 --------------------------------------------------------------

template <bool Little>
inline u32 unit32(const u8* q) {
    return Little ? (u32{q[0]} | u32{q[1]} << 8 | u32{q[2]} << 16 | u32{q[3]} << 24)
                  : (u32{q[0]} << 24 | u32{q[1]} << 16 | u32{q[2]} << 8 | u32{q[3]});
}

inline bool is_scalar(u32 u) { return u - 0xD800 >= 0x800 && u <= 0x10FFFF; }

// Lanes of four units, loaded in host order, that are not scalar values.
// Compared as signed lanes: units of 2^31 and above are negative. Big-endian
// units are checked without reordering their bytes: unit u is a scalar
// value when its first byte is 0, its second at most 0x10, and its first
// three bytes are not 00 00 D8-DF.
template <bool Little>
inline Q32 not_scalar(const Q32& x) {
    if constexpr (Little) {
        return (x > 0x10FFFF) | (x < 0) | ((x & ~0x7FF) == 0xD800);
    } else {
        return ((x & 0xFF) != 0) | ((x & 0xFFFF) > 0x1000) | ((x & 0xF8FFFF) == 0xD80000);
    }
}

// Lanes that hold a unit of 0xD800 or above (as loaded in host order).
template <bool Little>
inline Q32 at_or_above_surrogates(const Q32& x) {
    if constexpr (Little) {
        return (x > 0xD7FF) | (x < 0);
    } else {
        return ((x & 0xFFFF) != 0) | ((x & 0xFF0000) > 0xD7FFFF);
    }
}

// False with `bad_unit` set at the first unit that is not a scalar value.
// Blocks of sixteen units are checked as four 16-byte vectors.
template <bool Little>
bool measure_utf32(const u8* p, std::size_t units, char32_t& max_char, u32& bad_unit) {
    Q32 vor{};  // OR of the units as loaded; byte order does not change an OR
    std::size_t k = 0;
    for (; k + kBlock <= units; k += kBlock) {
        Q32 x[4];
        std::memcpy(x, p + 4 * k, sizeof x);
        const Q32 block_or = x[0] | x[1] | x[2] | x[3];
        vor |= block_or;
        // Units below 0xD800 are scalar values: when their OR is, the block
        // needs no closer look.
        if (any_lane(at_or_above_surrogates<Little>(block_or)) &&
            any_lane(not_scalar<Little>(x[0]) | not_scalar<Little>(x[1]) | not_scalar<Little>(x[2]) |
                     not_scalar<Little>(x[3]))) {
            break;  // the scalar loop below finds the unit
        }
    }
    const u32 lanes = static_cast<u32>(vor[0] | vor[1] | vor[2] | vor[3]);
    u32 smax = Little ? lanes : std::byteswap(lanes);
    for (; k < units; ++k) {
        const u32 u = unit32<Little>(p + 4 * k);
        if (!is_scalar(u)) {
            bad_unit = u;
            return false;
        }
        smax = std::max(smax, u);
    }
    max_char = std::min<u32>(smax, 0x10FFFF);  // an OR of scalar values can pass U+10FFFF
    return true;
}

// Sixteen big-endian units put in host order, only as far as the Unit
// needs: the measured code points fit it, so the high bytes are zero.
template <class Unit, bool Shuffle>
inline void load_be_units32(V32& v, const u8* p) {
    load_vector(v, p);
    if constexpr (sizeof(Unit) == 1) {
        v = v >> 24;
    } else if constexpr (sizeof(Unit) == 2) {
        v = v >> 24 | (v >> 8 & 0xFF00);
#if KESTRUNE_VECTOR_EXTENSIONS
    } else if constexpr (Shuffle) {
        B16 q[4];
        std::memcpy(q, &v, sizeof v);
        for (B16& x : q) {
            x = __builtin_shufflevector(x, x, 3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
        }
        std::memcpy(&v, q, sizeof v);
#endif
    } else {
        Q32 q[4];
        std::memcpy(q, &v, sizeof v);
        for (Q32& x : q) {
            simd::byteswap32(x);
        }
        std::memcpy(&v, q, sizeof v);
    }
}

// Every unit is a code point (measured): little-endian units into 32-bit
// code units are a copy, anything else goes in blocks.
template <bool Little, class Unit, bool Shuffle = kShuffleBytes>
void fill_utf32(const u8* p, std::size_t units, Unit* out) {
    std::size_t k = 0;
    if constexpr (Little) {
        if constexpr (sizeof(Unit) == 4) {
            if (units != 0) {
                std::memcpy(out, p, 4 * units);
            }
            return;
        }
    }
    for (; k + kBlock <= units; k += kBlock) {
        V32 v;
        if constexpr (Little) {
            load_vector(v, p + 4 * k);
        } else {
            load_be_units32<Unit, Shuffle>(v, p + 4 * k);
        }
        out = store_units(out, v);
    }
    for (; k < units; ++k) {
        *out++ = static_cast<Unit>(unit32<Little>(p + 4 * k));
    }
}

// ---- single-byte character sets -----------------------------------------

template <class Unit>
void fill_latin1(const u8* p, std::size_t n, Unit* out) {
    if constexpr (sizeof(Unit) == 1) {
        if (n != 0) {
            std::memcpy(out, p, n);
        }
    } else {
        std::size_t i = 0;
        for (; i + kBlock <= n; i += kBlock) {
            V8 v;
            load_vector(v, p + i);
            out = store_units(out, v);
        }
        for (; i < n; ++i) {
            *out++ = p[i];
        }
    }
}

// Bytes 80-9F are the only ones that windows-1252 does not map to themselves.
inline bool any_high_control(const V8& v) { return any_lane((v & 0xE0) == 0x80); }

// Bytes 80-9F that map above U+00FF, one bit per byte (bit 0 for 0x80).
constexpr u32 kWideHighControls = [] {
    u32 bits = 0;
    for (unsigned b = 0x80; b < 0xA0; ++b) {
        bits |= u32{windows_1252::code_point(static_cast<u8>(b)) > 0xFF} << (b - 0x80);
    }
    return bits;
}();

// The code point of every byte, for the blocks that hold bytes 80-9F.
constexpr std::array<char16_t, 256> kWindows1252 = [] {
    std::array<char16_t, 256> table{};
    for (unsigned b = 0; b < 256; ++b) {
        table[b] = static_cast<char16_t>(windows_1252::code_point(static_cast<u8>(b)));
    }
    return table;
}();

// Every code point is below 0x10000: the scan stops at the first byte that
// needs 16-bit units. Short of that, the text is Latin-1 storage (every byte
// then decodes to itself) once a byte is 0x80 or above.
char32_t measure_windows_1252(const u8* p, std::size_t n) {
    std::size_t i = ascii_prefix(p, n);
    if (i == n) {
        return 0x7F;
    }
    while (i < n) {
        if (i + kBlock <= n) {
            V8 v;
            load_vector(v, p + i);
            if (!any_high_control(v)) {
                i += kBlock;
                continue;
            }
        }
        for (const std::size_t end = std::min(n, i + kBlock); i < end; ++i) {
            if ((p[i] & 0xE0) == 0x80 && (kWideHighControls >> (p[i] - 0x80) & 1) != 0) {
                return 0xFFFF;
            }
        }
    }
    return 0xFF;
}

template <class Unit>
void fill_windows_1252(const u8* p, std::size_t n, Unit* out) {
    if constexpr (sizeof(Unit) == 1) {
        fill_latin1(p, n, out);  // measured below 0x100: each byte is its code point
    } else {
        std::size_t i = 0;
        while (i < n) {
            if (i + kBlock <= n) {
                V8 v;
                load_vector(v, p + i);
                if (!any_high_control(v)) {
                    out = store_units(out, v);
                    i += kBlock;
                    continue;
                }
            }
            for (const std::size_t end = std::min(n, i + kBlock); i < end; ++i) {
                *out++ = static_cast<Unit>(kWindows1252[p[i]]);
            }
        }
    }
}

// ---- measuring each decoder ------------------------------------------------

// Checks that p[from, n) is UTF-8 (no surrogates, no overlong forms,
// nothing above U+10FFFF), from a character start, and measures p[0, n),
// whose first `from` bytes are ASCII. False at the first fault (which the
// automaton then locates). A loop that branches on the lead byte only, which
// the branch predictor follows well on text of mixed lengths.
bool check_and_measure_utf8(const u8* p, std::size_t n, std::size_t from, std::size_t& length,
                            char32_t& max_char) {
    std::size_t i = from;
    std::size_t count = from;
    u32 top = 0;  // the largest lead byte
    const auto cont = [&](std::size_t at) { return (p[at] & 0xC0) == 0x80; };
    while (i < n) {
        const u32 b = p[i];
        ++count;
        if (b < 0x80) {
            ++i;
            continue;
        }
        top = std::max(top, b);
        if (b < 0xC2) {
            return false;
        }
        if (b < 0xE0) {
            if (n - i < 2 || !cont(i + 1)) {
                return false;
            }
            i += 2;
        } else if (b < 0xF0) {
            if (n - i < 3) {
                return false;
            }
            const u32 c = p[i + 1];
            const u32 lo = b == 0xE0 ? 0xA0 : 0x80;
            const u32 hi = b == 0xED ? 0x9F : 0xBF;
            if (c < lo || c > hi || !cont(i + 2)) {
                return false;
            }
            i += 3;
        } else {
            if (b > 0xF4 || n - i < 4) {
                return false;
            }
            const u32 c = p[i + 1];
            const u32 lo = b == 0xF0 ? 0x90 : 0x80;
            const u32 hi = b == 0xF4 ? 0x8F : 0xBF;
            if (c < lo || c > hi || !cont(i + 2) || !cont(i + 3)) {
                return false;
            }
            i += 4;
        }
    }
    length = count;
    // The lead bytes give the width class: C2-C3 lead U+0080-U+00FF, C4-EF
    // up to U+FFFF, F0-F4 beyond.
    max_char = top < 0x80 ? 0x7F : top < 0xC4 ? 0xFF : top < 0xF0 ? 0xFFFF : 0x10FFFF;
    return true;
}

Result<MeasuredText> measure_utf8_text(std::string_view bytes) {
    const u8* p = bytes_of(bytes);
    const std::size_t n = bytes.size();
    // ASCII text is its own one-byte storage: a copy fills it.
    const std::size_t ascii = ascii_prefix(p, n);
    if (ascii == n) {
        return MeasuredText{TextForm::Latin1, bytes, n, 0x7F};
    }
    // One pass that checks and measures, character by character; only a
    // failure goes through the automaton, which says where and how.
    MeasuredText m{TextForm::Utf8, bytes, 0, 0};
    if (check_and_measure_utf8(p, n, ascii, m.length, m.max_char)) {
        return m;
    }
    Utf8Fault fault{};
    if (!validate_utf8(bytes, ascii, fault)) {
        if (fault.length == 0) {
            return value_error("Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index " +
                               std::to_string(fault.index));
        }
        return value_error("Invalid UTF-8 bytes: invalid utf-8 sequence of " + std::to_string(fault.length) +
                           " bytes from index " + std::to_string(fault.index));
    }
    // The two checks are meant to accept the same inputs; should the
    // automaton accept what the loop refused, its verdict stands.
    measure_valid_utf8(p + ascii, n - ascii, m.length, m.max_char);
    m.length += ascii;
    return m;
}

Result<MeasuredText> measure_utf16_text(std::string_view bytes, bool little_endian) {
    if (bytes.size() % 2 != 0) {
        return value_error("UTF-16 requires an even number of bytes");
    }
    MeasuredText m{little_endian ? TextForm::Utf16le : TextForm::Utf16be, bytes, 0, 0};
    const bool ok = little_endian ? measure_utf16<true>(bytes_of(bytes), bytes.size() / 2, m.length, m.max_char)
                                  : measure_utf16<false>(bytes_of(bytes), bytes.size() / 2, m.length, m.max_char);
    if (!ok) {
        return value_error("Invalid UTF-16 sequence: invalid utf-16: lone surrogate found");
    }
    return m;
}

Result<MeasuredText> measure_utf32_text(std::string_view bytes, bool little_endian) {
    if (bytes.size() % 4 != 0) {
        return value_error("UTF-32 requires a multiple of 4 bytes");
    }
    MeasuredText m{little_endian ? TextForm::Utf32le : TextForm::Utf32be, bytes, bytes.size() / 4, 0};
    u32 bad_unit = 0;
    const bool ok = little_endian ? measure_utf32<true>(bytes_of(bytes), m.length, m.max_char, bad_unit)
                                  : measure_utf32<false>(bytes_of(bytes), m.length, m.max_char, bad_unit);
    if (!ok) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%08X", static_cast<unsigned>(bad_unit));
        return value_error(std::string("Invalid UTF-32 codepoint: 0x") + hex);
    }
    return m;
}

Result<MeasuredText> measure_utf16_marked(std::string_view bytes) {
    if (bytes.size() < 2 || bytes.size() % 2 != 0) {
        return value_error("UTF-16 requires an even number of bytes with at least 2 bytes");
    }
    const u8* p = bytes_of(bytes);
    if (p[0] == 0xFE && p[1] == 0xFF) {
        return measure_utf16_text(bytes.substr(2), false);
    }
    if (p[0] == 0xFF && p[1] == 0xFE) {
        return measure_utf16_text(bytes.substr(2), true);
    }
    return measure_utf16_text(bytes, false);
}

Result<MeasuredText> measure_utf32_marked(std::string_view bytes) {
    if (bytes.size() < 4 || bytes.size() % 4 != 0) {
        return value_error("UTF-32 requires a multiple of 4 bytes with at least 4 bytes");
    }
    const u8* p = bytes_of(bytes);
    if (p[0] == 0xFF && p[1] == 0xFE && p[2] == 0x00 && p[3] == 0x00) {
        return measure_utf32_text(bytes.substr(4), true);
    }
    if (p[0] == 0x00 && p[1] == 0x00 && p[2] == 0xFE && p[3] == 0xFF) {
        return measure_utf32_text(bytes.substr(4), false);
    }
    return measure_utf32_text(bytes, false);
}

Result<MeasuredText> measure_us_ascii_text(std::string_view bytes) {
    const u8* p = bytes_of(bytes);
    const std::size_t bad = ascii_prefix(p, bytes.size());
    if (bad != bytes.size()) {
        char msg[64];
        std::snprintf(msg, sizeof msg, "Invalid US-ASCII byte: 0x%02X (must be <= 0x7F)", unsigned{p[bad]});
        return value_error(msg);
    }
    return MeasuredText{TextForm::Latin1, bytes, bytes.size(), 0x7F};
}

// Every byte is a code point below 0x100: one byte at or above 0x80 settles
// the storage, so the scan stops there.
MeasuredText measure_iso_8859_1_text(std::string_view bytes) {
    const bool ascii = ascii_prefix(bytes_of(bytes), bytes.size()) == bytes.size();
    return {TextForm::Latin1, bytes, bytes.size(), ascii ? char32_t{0x7F} : char32_t{0xFF}};
}

Result<MeasuredText> measure_windows_1252_text(std::string_view bytes) {
    const u8* p = bytes_of(bytes);
    const std::size_t n = bytes.size();
    // A leading byte-order mark selects UTF-8 or UTF-16 for the rest, which
    // must then be well formed.
    if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
        auto m = measure_utf8_text(bytes.substr(3));
        return m ? m : value_error("Failed to decode Windows-1252 bytes");
    }
    if (n >= 2 && ((p[0] == 0xFF && p[1] == 0xFE) || (p[0] == 0xFE && p[1] == 0xFF))) {
        auto m = measure_utf16_text(bytes.substr(2), p[0] == 0xFF);
        return m ? m : value_error("Failed to decode Windows-1252 bytes");
    }
    return MeasuredText{TextForm::Windows1252, bytes, n, measure_windows_1252(p, n)};
}

// The UTF-8 form of measured text.
std::string utf8_of(const MeasuredText& m) {
    if (m.form == TextForm::Utf8) {
        return std::string(m.body);
    }
    std::vector<u32> code_points(m.length);
    fill_text(m, code_points.data());
    std::string out;
    out.resize_and_overwrite(m.length * 4, [&](char* buf, std::size_t) {
        char* o = buf;
        for (u32 c : code_points) {
            o = put_utf8(o, c);
        }
        return static_cast<std::size_t>(o - buf);
    });
    return out;
}

Result<std::string> utf8_of(const Result<MeasuredText>& m) {
    if (!m) {
        return std::unexpected(m.error());
    }
    return utf8_of(*m);
}

}  // namespace

Result<MeasuredText> measure_text(TextDecoder which, std::string_view bytes) {
    switch (which) {
        case TextDecoder::Utf8: return measure_utf8_text(bytes);
        case TextDecoder::Utf16: return measure_utf16_marked(bytes);
        case TextDecoder::Utf16le: return measure_utf16_text(bytes, true);
        case TextDecoder::Utf16be: return measure_utf16_text(bytes, false);
        case TextDecoder::Utf32: return measure_utf32_marked(bytes);
        case TextDecoder::Utf32le: return measure_utf32_text(bytes, true);
        case TextDecoder::Utf32be: return measure_utf32_text(bytes, false);
        case TextDecoder::UsAscii: return measure_us_ascii_text(bytes);
        case TextDecoder::Iso8859_1: return measure_iso_8859_1_text(bytes);
        case TextDecoder::Windows1252: return measure_windows_1252_text(bytes);
    }
    return value_error("unknown text decoder");
}

#if KESTRUNE_SSSE3_CLONES
// The big-endian loops into 32-bit units built for SSSE3 (everything they
// call is inlined, so all of it is compiled for that target).
[[gnu::target("ssse3"), gnu::flatten]] void fill_utf16be_ssse3(const u8* p, std::size_t units, u32* out,
                                                              std::size_t length) {
    fill_utf16_wide<false, true>(p, units, out, length);
}

[[gnu::target("ssse3"), gnu::flatten]] void fill_utf32be_ssse3(const u8* p, std::size_t units, u32* out) {
    fill_utf32<false, u32, true>(p, units, out);
}
#endif

template <class Unit>
void fill_text(const MeasuredText& text, Unit* out) {
    const u8* p = bytes_of(text.body);
    const std::size_t n = text.body.size();
    switch (text.form) {
        case TextForm::Utf8: return fill_utf8(p, n, out);
        case TextForm::Utf16le: return fill_utf16<true>(p, n / 2, out, text.length);
        case TextForm::Utf16be:
#if KESTRUNE_SSSE3_CLONES
            if constexpr (sizeof(Unit) == 4) {
                if (__builtin_cpu_supports("ssse3")) {
                    return fill_utf16be_ssse3(p, n / 2, out, text.length);
                }
            }
#endif
            return fill_utf16<false>(p, n / 2, out, text.length);
        case TextForm::Utf32le: return fill_utf32<true>(p, n / 4, out);
        case TextForm::Utf32be:
#if KESTRUNE_SSSE3_CLONES
            if constexpr (sizeof(Unit) == 4) {
                if (__builtin_cpu_supports("ssse3")) {
                    return fill_utf32be_ssse3(p, n / 4, out);
                }
            }
#endif
            return fill_utf32<false>(p, n / 4, out);
        case TextForm::Latin1: return fill_latin1(p, n, out);
        case TextForm::Windows1252: return fill_windows_1252(p, n, out);
    }
}

template void fill_text<std::uint8_t>(const MeasuredText&, std::uint8_t*);
template void fill_text<std::uint16_t>(const MeasuredText&, std::uint16_t*);
template void fill_text<std::uint32_t>(const MeasuredText&, std::uint32_t*);

Result<std::string_view> decode_utf8(std::string_view bytes) {
    auto m = measure_utf8_text(bytes);
    if (!m) {
        return std::unexpected(m.error());
    }
    return m->body;
}

Result<std::string> decode_utf16(std::string_view bytes) { return utf8_of(measure_utf16_marked(bytes)); }

Result<std::string> decode_utf16_with_endianness(std::string_view bytes, bool little_endian) {
    return utf8_of(measure_utf16_text(bytes, little_endian));
}

Result<std::string> decode_utf32(std::string_view bytes) { return utf8_of(measure_utf32_marked(bytes)); }

Result<std::string> decode_utf32_with_endianness(std::string_view bytes, bool little_endian) {
    return utf8_of(measure_utf32_text(bytes, little_endian));
}

Result<std::string> decode_us_ascii(std::string_view bytes) { return utf8_of(measure_us_ascii_text(bytes)); }

std::string decode_iso_8859_1(std::string_view bytes) { return utf8_of(measure_iso_8859_1_text(bytes)); }

Result<std::string> decode_windows_1252(std::string_view bytes) {
    return utf8_of(measure_windows_1252_text(bytes));
}

}  // namespace kestrune
