// Text encoders: code units of 1, 2 or 4 bytes -> bytes, in one pass into a
// buffer of the bound.
//
// Every walk is written once per unit width (u8, u16, u32). Blocks of
// sixteen units that need no decision (all ASCII, or no surrogates and
// nothing that needs a pair) are converted with lane-wise vector operations
// (simd.hpp); any other block goes one unit at a time. A walk stops at the
// first unit it cannot encode and says where, so that the caller reports it.
#include "text.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <type_traits>

#include "../ascii_run.hpp"
#include "../decoder/windows_1252_index.hpp"
#include "../simd.hpp"

namespace kestrune {
namespace {

using u8 = std::uint8_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;

#if defined(__GNUC__) || defined(__clang__)
#define KESTRUNE_OUT_OF_LINE __attribute__((noinline, aligned(64)))
#elif defined(_MSC_VER)
#define KESTRUNE_OUT_OF_LINE __declspec(noinline)
#else
#define KESTRUNE_OUT_OF_LINE
#endif

constexpr std::size_t kBlock = 16;
constexpr std::size_t kStopped = static_cast<std::size_t>(-1);

using V8 = KESTRUNE_VECTOR(u8, 16);
using V16 = KESTRUNE_VECTOR(u16, 32);
using V32 = KESTRUNE_VECTOR(u32, 64);
// Comparisons and widenings are done on 16-byte vectors only: wider ones are
// split into scalar lanes on baseline x86-64.
using H16 = KESTRUNE_VECTOR(u16, 16);
using H32 = KESTRUNE_VECTOR(u32, 32);
using Q32 = KESTRUNE_VECTOR(std::int32_t, 16);

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

// Vectors are passed by reference: vectors wider than the baseline SIMD
// registers would otherwise change the calling convention.
template <class V>
inline void load_vector(V& v, const void* p) {
    std::memcpy(&v, p, sizeof v);
}

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

inline bool is_surrogate(u32 c) { return c - 0xD800 < 0x800; }
// A surrogate or a value past U+10FFFF: no encoding has it.
inline bool is_invalid(u32 c) { return is_surrogate(c) || c > 0x10FFFF; }

// True when the sixteen units at p are all below 0x80.
template <class Unit>
inline bool ascii_block(const Unit* p) {
    constexpr u64 high = sizeof(Unit) == 1 ? 0x8080808080808080ULL
                         : sizeof(Unit) == 2 ? 0xFF80FF80FF80FF80ULL
                                             : 0xFFFFFF80FFFFFF80ULL;
    const auto* bytes = reinterpret_cast<const u8*>(p);
    u64 any = 0;
    for (std::size_t k = 0; k < 2 * sizeof(Unit); ++k) {
        any |= load_word(bytes + 8 * k);
    }
    return (any & high) == 0;
}

// True when the sixteen 16-bit units are no surrogates.
inline bool no_surrogate(const V16& v) {
    H16 h[2];
    std::memcpy(h, &v, sizeof v);
    return !any_lane(((h[0] & 0xF800) == 0xD800) | ((h[1] & 0xF800) == 0xD800));
}

// True when the sixteen 32-bit units are scalar values below 0x10000.
// Compared as signed lanes: units of 2^31 and above are negative.
inline bool all_bmp(const V32& v) {
    Q32 q[4];
    std::memcpy(q, &v, sizeof v);
    Q32 bad{};
    for (const Q32& x : q) {
        bad |= (x > 0xFFFF) | (x < 0) | ((x & ~0x7FF) == 0xD800);
    }
    return !any_lane(bad);
}

// Lane-wise conversions between unit widths (truncating when narrowing).
// Widening to 32 bits goes through 16 bits, eight lanes at a time, and
// narrowing from 32 bits to 8 through 16: the forms that lower to SIMD
// packing and unpacking.
inline void widen(const V16& v, V32& out) {
    for (int half = 0; half < 2; ++half) {
        H16 h;
        std::memcpy(&h, reinterpret_cast<const char*>(&v) + 16 * half, 16);
        H32 d;
        simd::convert(h, d);
        std::memcpy(reinterpret_cast<char*>(&out) + 32 * half, &d, sizeof d);
    }
}

template <class To, class From>
inline void convert_units(const From& v, To& out) {
    if constexpr (std::is_same_v<From, To>) {
        out = v;
    } else if constexpr (std::is_same_v<To, V32>) {
        if constexpr (std::is_same_v<From, V8>) {
            V16 w;
            simd::convert(v, w);
            widen(w, out);
        } else {
            widen(v, out);
        }
    } else if constexpr (std::is_same_v<To, V8> && std::is_same_v<From, V32>) {
        V16 t;
        simd::convert(v, t);
        simd::convert(t, out);
    } else {
        simd::convert(v, out);
    }
}

// Sixteen code units loaded from p and converted to the lanes of `out`.
template <class Out, class Unit>
inline void load_as(Out& out, const Unit* p) {
    typename UnitVector<Unit>::type v;
    load_vector(v, p);
    convert_units(v, out);
}

template <class V>
inline char* store(char* out, const V& v) {
    std::memcpy(out, &v, sizeof v);
    return out + sizeof v;
}

// Units in the byte order of the encoding: byte-swapped for big-endian.
template <bool Little>
inline void order16(V16& v) {
    if constexpr (!Little) {
        v = v << 8 | v >> 8;
    }
}

// Code points from 16-bit units have zero high bytes: their big-endian form
// needs fewer moves than a full byte swap.
template <bool Little>
inline void order32_from16(V32& v) {
    if constexpr (!Little) {
        v = v << 24 | (v << 8 & 0xFF0000);
    }
}

template <bool Little>
inline char* put16(char* out, u32 unit) {
    const auto u = static_cast<u16>(unit);
    const u16 v = Little ? u : static_cast<u16>(u << 8 | u >> 8);
    std::memcpy(out, &v, 2);
    return out + 2;
}

template <bool Little>
inline char* put32(char* out, u32 cp) {
    const u32 v = Little ? cp : std::byteswap(cp);
    std::memcpy(out, &v, 4);
    return out + 4;
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

// ---- the walks ----------------------------------------------------------------
//
// Each walk writes the encoding of p[0, n) at `out` (room for the bound) and
// returns the end of what it wrote. `stop` is set to the index of the first
// unit it cannot encode, else left alone.

// The leading ASCII run is taken a block at a time, the rest one character
// at a time: a loop with no other branch than the character's length keeps
// the branch predictor at its best on text that mixes lengths. Kept out of
// line and starting on a cache line: inlined into the encoder switch, its
// loop was laid out measurably worse, and at whatever address the linker
// gave it, its speed changed by up to a fifth whenever other code grew.
template <class Unit>
KESTRUNE_OUT_OF_LINE char* walk_utf8(const Unit* p, std::size_t n, char* out, std::size_t& stop) {
    std::size_t i = 0;
    if constexpr (sizeof(Unit) == 1) {
        i = ascii_prefix(p, n);
        if (i != 0) {
            std::memcpy(out, p, i);
        }
        out += i;
    } else {
        for (; n - i >= kBlock && ascii_block(p + i); i += kBlock) {
            V8 bytes;
            load_as(bytes, p + i);
            out = store(out, bytes);
        }
    }
    for (; i < n; ++i) {
        const u32 c = p[i];
        if (c < 0x80) {
            *out++ = static_cast<char>(c);
        } else if (c < 0x800) {
            out[0] = static_cast<char>(0xC0 | (c >> 6));
            out[1] = static_cast<char>(0x80 | (c & 0x3F));
            out += 2;
        } else if (c < 0x10000 && !is_surrogate(c)) {
            out[0] = static_cast<char>(0xE0 | (c >> 12));
            out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out[2] = static_cast<char>(0x80 | (c & 0x3F));
            out += 3;
        } else if (c - 0x10000 < 0x100000) {
            out[0] = static_cast<char>(0xF0 | (c >> 18));
            out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out[3] = static_cast<char>(0x80 | (c & 0x3F));
            out += 4;
        } else {
            stop = i;
            return out;
        }
    }
    return out;
}

// One-byte units are code points below 0x100, none to refuse: plain loops,
// which the compiler turns into vector unpacking. (Overloads preferred to
// the walks below for one-byte units.)
template <bool Little>
char* walk_utf16(const u8* p, std::size_t n, char* out, std::size_t&) {
    for (std::size_t i = 0; i < n; ++i) {
        const u16 v = Little ? u16{p[i]} : static_cast<u16>(p[i] << 8);
        std::memcpy(out + 2 * i, &v, 2);
    }
    return out + 2 * n;
}

template <bool Little>
char* walk_utf32(const u8* p, std::size_t n, char* out, std::size_t&) {
    for (std::size_t i = 0; i < n; ++i) {
        const u32 v = Little ? u32{p[i]} : u32{p[i]} << 24;
        std::memcpy(out + 4 * i, &v, 4);
    }
    return out + 4 * n;
}

template <bool Little, class Unit>
char* walk_utf16(const Unit* p, std::size_t n, char* out, std::size_t& stop) {
    std::size_t i = 0;
    while (i < n) {
        if (n - i >= kBlock) {
            bool plain;
            if constexpr (sizeof(Unit) == 2) {
                V16 v;
                load_vector(v, p + i);
                plain = no_surrogate(v);
            } else {
                V32 v;
                load_vector(v, p + i);
                plain = all_bmp(v);
            }
            if (plain) {
                V16 units;
                load_as(units, p + i);
                order16<Little>(units);
                out = store(out, units);
                i += kBlock;
                continue;
            }
        }
        for (const std::size_t end = std::min(n, i + kBlock); i < end; ++i) {
            const u32 c = p[i];
            if (c < 0x10000 && !is_surrogate(c)) {
                out = put16<Little>(out, c);
            } else if (!is_invalid(c)) {
                out = put16<Little>(put16<Little>(out, 0xD800 + ((c - 0x10000) >> 10)), 0xDC00 + ((c - 0x10000) & 0x3FF));
            } else {
                stop = i;
                return out;
            }
        }
    }
    return out;
}

template <bool Little, class Unit>
char* walk_utf32(const Unit* p, std::size_t n, char* out, std::size_t& stop) {
    std::size_t i = 0;
    while (i < n) {
        if (n - i >= kBlock) {
            if constexpr (sizeof(Unit) == 2) {
                V16 v;
                load_vector(v, p + i);
                if (no_surrogate(v)) {
                    V32 units;
                    load_as(units, p + i);
                    order32_from16<Little>(units);
                    out = store(out, units);
                    i += kBlock;
                    continue;
                }
            } else {
                // Four-byte units in 16-byte vectors: checked, put in the
                // encoding's byte order and stored without wider temporaries.
                Q32 x[4];
                std::memcpy(x, p + i, sizeof x);
                Q32 bad{};
                for (Q32& q : x) {
                    bad |= (q > 0x10FFFF) | (q < 0) | ((q & ~0x7FF) == 0xD800);
                    if constexpr (!Little) {
                        simd::byteswap32(q);
                    }
                }
                if (!any_lane(bad)) {
                    out = store(out, x);
                    i += kBlock;
                    continue;
                }
            }
        }
        for (const std::size_t end = std::min(n, i + kBlock); i < end; ++i) {
            const u32 c = p[i];
            if (is_invalid(c)) {
                stop = i;
                return out;
            }
            out = put32<Little>(out, c);
        }
    }
    return out;
}

// US-ASCII and ISO-8859-1: each code point below the limit is its byte.
template <u32 Limit, class Unit>
char* walk_single_byte(const Unit* p, std::size_t n, char* out, std::size_t& stop) {
    std::size_t i = 0;
    if constexpr (sizeof(Unit) == 1) {
        // One-byte units are their own encoding up to the first that is not.
        i = Limit == 0x100 ? n : ascii_prefix(p, n);
        std::memcpy(out, p, i);
        out += i;
    }
    while (i < n) {
        if (n - i >= kBlock && ascii_block(p + i)) {
            V8 bytes;
            load_as(bytes, p + i);
            out = store(out, bytes);
            i += kBlock;
            continue;
        }
        for (const std::size_t end = std::min(n, i + kBlock); i < end; ++i) {
            const u32 c = p[i];
            if (c >= Limit) {
                stop = i;
                return out;
            }
            *out++ = static_cast<char>(c);
        }
    }
    return out;
}

// Bytes 80-9F stand for other code points in windows-1252; of the code
// points 80-9F only the five it leaves undefined have a byte (their own).
inline bool any_high_control(const V8& v) { return any_lane((v & 0xE0) == 0x80); }

template <class Unit>
char* walk_windows_1252(const Unit* p, std::size_t n, char* out, std::size_t& stop) {
    std::size_t i = 0;
    while (i < n) {
        if (n - i >= kBlock) {
            bool plain;
            if constexpr (sizeof(Unit) == 1) {
                V8 v;
                load_vector(v, p + i);
                plain = !any_high_control(v);
            } else {
                plain = ascii_block(p + i);
            }
            if (plain) {
                V8 bytes;
            load_as(bytes, p + i);
            out = store(out, bytes);
                i += kBlock;
                continue;
            }
        }
        for (const std::size_t end = std::min(n, i + kBlock); i < end; ++i) {
            const int byte = windows_1252::byte_for(p[i]);
            if (byte < 0) {
                stop = i;
                return out;
            }
            *out++ = static_cast<char>(byte);
        }
    }
    return out;
}

// "U+" and the code point in upper-case hex, at least four digits.
std::string code_point_notation(u32 cp) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "U+%04X", static_cast<unsigned>(cp));
    return buf;
}

std::unexpected<Error> unencodable(u32 cp, const char* charset) {
    char utf8[4];
    char* end = put_utf8(utf8, cp);
    return value_error("Character '" + std::string(utf8, static_cast<std::size_t>(end - utf8)) + "' (" + code_point_notation(cp) + ") is not valid " +
                       charset);
}

template <class Unit>
Result<std::size_t> encode_units(TextEncoder which, const Unit* p, std::size_t n, char* out) {
    char* const start = out;
    std::size_t stop = kStopped;
    switch (which) {
        case TextEncoder::Utf8: out = walk_utf8(p, n, out, stop); break;
        case TextEncoder::Utf16: out = walk_utf16<false>(p, n, put16<false>(out, 0xFEFF), stop); break;
        case TextEncoder::Utf16be: out = walk_utf16<false>(p, n, out, stop); break;
        case TextEncoder::Utf16le: out = walk_utf16<true>(p, n, out, stop); break;
        case TextEncoder::Utf32: out = walk_utf32<false>(p, n, put32<false>(out, 0xFEFF), stop); break;
        case TextEncoder::Utf32be: out = walk_utf32<false>(p, n, out, stop); break;
        case TextEncoder::Utf32le: out = walk_utf32<true>(p, n, out, stop); break;
        case TextEncoder::UsAscii: out = walk_single_byte<0x80>(p, n, out, stop); break;
        case TextEncoder::Iso8859_1: out = walk_single_byte<0x100>(p, n, out, stop); break;
        case TextEncoder::Windows1252: out = walk_windows_1252(p, n, out, stop); break;
        default: return value_error("unknown text encoder");
    }
    if (stop == kStopped) {
        return static_cast<std::size_t>(out - start);
    }
    const u32 c = p[stop];
    if (is_invalid(c)) {
        return value_error(surrogate_message(stop));
    }
    if (which == TextEncoder::Windows1252) {
        return value_error("Failed to encode to Windows-1252");
    }
    return unencodable(c, which == TextEncoder::UsAscii ? "US-ASCII" : "ISO-8859-1");
}

}  // namespace

std::string surrogate_message(std::size_t index) {
    return "Text holds a surrogate or a code point past U+10FFFF at index " + std::to_string(index) +
           ", which has no encoding";
}

bool has_surrogate(TextView text) {
    const std::size_t n = text.length;
    if (text.width == 2) {
        const auto* p = static_cast<const u16*>(text.data);
        return std::any_of(p, p + n, [](u16 c) { return is_surrogate(c); });
    }
    if (text.width == 4) {
        const auto* p = static_cast<const u32*>(text.data);
        return std::any_of(p, p + n, [](u32 c) { return is_invalid(c); });
    }
    return false;
}

std::optional<std::size_t> encoded_size_bound(TextEncoder which, TextView text) {
    std::size_t per_unit = 1;
    std::size_t mark = 0;
    switch (which) {
        case TextEncoder::Utf8: per_unit = text.ascii ? 1 : text.width == 1 ? 2 : text.width == 2 ? 3 : 4; break;
        case TextEncoder::Utf16: mark = 2; [[fallthrough]];
        case TextEncoder::Utf16be:
        case TextEncoder::Utf16le: per_unit = text.width == 4 ? 4 : 2; break;
        case TextEncoder::Utf32: mark = 4; [[fallthrough]];
        case TextEncoder::Utf32be:
        case TextEncoder::Utf32le: per_unit = 4; break;
        case TextEncoder::UsAscii:
        case TextEncoder::Iso8859_1:
        case TextEncoder::Windows1252: break;
    }
    constexpr auto kMax = static_cast<std::size_t>(PTRDIFF_MAX);
    if (text.length > (kMax - mark) / per_unit) {
        return std::nullopt;
    }
    return mark + per_unit * text.length;
}

bool is_own_encoding(TextEncoder which, TextView text) {
    if (text.width != 1) {
        return false;
    }
    switch (which) {
        case TextEncoder::Iso8859_1: return true;
        case TextEncoder::Utf8:
        case TextEncoder::UsAscii:
        case TextEncoder::Windows1252: return text.ascii;
        default: return false;
    }
}

Result<std::size_t> encode_text_into(TextEncoder which, TextView text, char* out) {
    if (is_own_encoding(which, text)) {
        if (text.length != 0) {
            std::memcpy(out, text.data, text.length);
        }
        return text.length;
    }
    switch (text.width) {
        case 1: return encode_units(which, static_cast<const u8*>(text.data), text.length, out);
        case 2: return encode_units(which, static_cast<const u16*>(text.data), text.length, out);
        case 4: return encode_units(which, static_cast<const u32*>(text.data), text.length, out);
        default: return value_error("text units must be 1, 2 or 4 bytes wide");
    }
}

Result<void> encode_text_to(TextEncoder which, TextView text, std::string& out) {
    const auto bound = encoded_size_bound(which, text);
    if (!bound) {
        throw std::length_error("encoded text too large");
    }
    Result<std::size_t> written;
    out.resize_and_overwrite(*bound, [&](char* buf, std::size_t) {
        written = encode_text_into(which, text, buf);
        return written ? *written : std::size_t{0};
    });
    if (!written) {
        return std::unexpected(written.error());
    }
    return {};
}

}  // namespace kestrune
