// Text decoders: bytes -> UTF-8 text.
//
// Every decoder validates strictly and reports the first fault; nothing
// partial is returned. Outputs are written in one pass into a buffer sized for
// the worst case and trimmed to the bytes actually written.
#include "text.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>

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
// U+10FFFF). Returns true when valid, else fills `fault`.
bool validate_utf8(std::string_view s, Utf8Fault& fault) {
    const u8* p = bytes_of(s);
    const std::size_t n = s.size();
    constexpr unsigned accept = 6 * kAccept;
    constexpr unsigned reject = 6 * kReject;
    unsigned state = accept;
    std::size_t i = 0;
    std::size_t start = 0;  // start of the current character
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

// ---- UTF-16 and UTF-32 ---------------------------------------------------

// Runs of ASCII units are narrowed sixteen units at a time; GCC and Clang
// lower the vector conversions to SIMD packing.
constexpr std::size_t kAsciiBlock = 16;
using Bytes16 = u8 __attribute__((vector_size(16)));
using Units16x16 = std::uint16_t __attribute__((vector_size(32)));
using Units16x32 = u32 __attribute__((vector_size(64)));

// True when the sixteen Width-byte units at p, in the given order, are all
// below 0x80. The mask keeps, per unit, every bit but the low seven of the
// least significant byte (bytes read in host, i.e. little-endian, order).
template <std::size_t Width, bool Little>
inline bool ascii_units(const u8* p) {
    constexpr u64 lane = Width == 2 ? (Little ? 0xFF80 : 0x80FF) : (Little ? 0xFFFFFF80 : 0x80FFFFFF);
    constexpr u64 mask = Width == 2 ? lane * 0x0001000100010001ULL : lane * 0x0000000100000001ULL;
    u64 any = 0;
    for (std::size_t k = 0; k < kAsciiBlock * Width; k += 8) {
        any |= load64(p + k);
    }
    return (any & mask) == 0;
}

// Narrows sixteen ASCII units (checked by ascii_units) to sixteen bytes.
template <std::size_t Width>
inline char* narrow_ascii_units(const u8* p, char* out) {
    // The character sits in the lowest byte of a lane (little-endian) or the
    // highest (big-endian) and the other bytes are zero: fold it into the
    // lowest, which the conversions keep.
    Units16x16 h;
    if constexpr (Width == 2) {
        std::memcpy(&h, p, sizeof h);
        h |= h >> 8;
    } else {
        Units16x32 v;
        std::memcpy(&v, p, sizeof v);
        v |= v >> 24;
        h = __builtin_convertvector(v, Units16x16);
    }
    const Bytes16 b = __builtin_convertvector(h, Bytes16);
    std::memcpy(out, &b, sizeof b);
    return out + sizeof b;
}

// Decodes UTF-16 units (already known to be an even number of bytes) into
// `out`; returns the end, or nullptr at an unpaired surrogate. Works in
// blocks of sixteen units: an all-ASCII block is narrowed at once, any other
// is decoded unit by unit (a pair may end one unit past the block).
template <bool Little>
char* utf16_to_utf8(const u8* p, std::size_t units, char* out) {
    auto unit = [p](std::size_t k) -> u32 {
        const u32 a = p[2 * k];
        const u32 b = p[2 * k + 1];
        return Little ? (a | b << 8) : (a << 8 | b);
    };
    std::size_t k = 0;
    while (k < units) {
        if (k + kAsciiBlock <= units && ascii_units<2, Little>(p + 2 * k)) {
            out = narrow_ascii_units<2>(p + 2 * k, out);
            k += kAsciiBlock;
            continue;
        }
        const std::size_t block_end = std::min(units, k + kAsciiBlock);
        while (k < block_end) {
            const u32 u = unit(k);
            if (u - 0xD800 >= 0x800) {
                out = put_utf8(out, u);
                ++k;
            } else if (u <= 0xDBFF && k + 1 < units) {
                const u32 low = unit(k + 1);
                if (low - 0xDC00 >= 0x400) {
                    return nullptr;
                }
                out = put_utf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
                k += 2;
            } else {
                return nullptr;  // a low surrogate first, or a high one at the end
            }
        }
    }
    return out;
}

// Decodes UTF-32 units into `out`; returns the end, or nullptr with
// `bad_unit` set at the first unit that is not a scalar value. Blocks as in
// utf16_to_utf8.
template <bool Little>
char* utf32_to_utf8(const u8* p, std::size_t units, char* out, u32& bad_unit) {
    std::size_t k = 0;
    while (k < units) {
        if (k + kAsciiBlock <= units && ascii_units<4, Little>(p + 4 * k)) {
            out = narrow_ascii_units<4>(p + 4 * k, out);
            k += kAsciiBlock;
            continue;
        }
        const std::size_t block_end = std::min(units, k + kAsciiBlock);
        for (; k < block_end; ++k) {
            const u8* q = p + 4 * k;
            const u32 u = Little ? (u32{q[0]} | u32{q[1]} << 8 | u32{q[2]} << 16 | u32{q[3]} << 24)
                                 : (u32{q[0]} << 24 | u32{q[1]} << 16 | u32{q[2]} << 8 | u32{q[3]});
            if (u - 0xD800 < 0x800 || u > 0x10FFFF) {
                bad_unit = u;
                return nullptr;
            }
            out = put_utf8(out, u);
        }
    }
    return out;
}

// ---- windows-1252 --------------------------------------------------------

// The UTF-8 form of scalar value `c`, packed first byte lowest.
constexpr u32 utf8_word(u32 c) {
    if (c < 0x80) {
        return c;
    }
    if (c < 0x800) {
        return (0xC0 | (c >> 6)) | (0x80 | (c & 0x3F)) << 8;
    }
    if (c < 0x10000) {
        return (0xE0 | (c >> 12)) | (0x80 | ((c >> 6) & 0x3F)) << 8 | (0x80 | (c & 0x3F)) << 16;
    }
    return (0xF0 | (c >> 18)) | (0x80 | ((c >> 12) & 0x3F)) << 8 | (0x80 | ((c >> 6) & 0x3F)) << 16 |
           (0x80 | (c & 0x3F)) << 24;
}

constexpr unsigned utf8_length(u32 c) { return 1u + (c >= 0x80) + (c >= 0x800) + (c >= 0x10000); }

// Each byte's character as one word, so that the decoder stores four bytes
// and advances by the length; the output keeps kSlack spare bytes for that.
constexpr std::size_t kSlack = 3;

struct PackedChar {
    u32 word;  // UTF-8 bytes, first byte lowest
    u32 length;
};

constexpr std::array<PackedChar, 256> make_windows_1252_utf8() {
    std::array<PackedChar, 256> table{};
    for (unsigned b = 0; b < 256; ++b) {
        const u32 cp = windows_1252::code_point(static_cast<u8>(b));
        table[b] = {utf8_word(cp), utf8_length(cp)};
    }
    return table;
}

constexpr std::array<PackedChar, 256> kWindows1252Utf8 = make_windows_1252_utf8();

}  // namespace

Result<std::string_view> decode_utf8(std::string_view bytes) {
    Utf8Fault fault{};
    if (validate_utf8(bytes, fault)) {
        return bytes;
    }
    if (fault.length == 0) {
        return value_error("Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index " +
                           std::to_string(fault.index));
    }
    return value_error("Invalid UTF-8 bytes: invalid utf-8 sequence of " + std::to_string(fault.length) +
                       " bytes from index " + std::to_string(fault.index));
}

Result<std::string> decode_utf16_with_endianness(std::string_view bytes, bool little_endian) {
    if (bytes.size() % 2 != 0) {
        return value_error("UTF-16 requires an even number of bytes");
    }
    const std::size_t units = bytes.size() / 2;
    bool ok = true;
    std::string out;
    // One unit gives at most three UTF-8 bytes (a surrogate pair gives four
    // for two units).
    out.resize_and_overwrite(units * 3, [&](char* buf, std::size_t) {
        char* end = little_endian ? utf16_to_utf8<true>(bytes_of(bytes), units, buf)
                                  : utf16_to_utf8<false>(bytes_of(bytes), units, buf);
        if (end == nullptr) {
            ok = false;
            return std::size_t{0};
        }
        return static_cast<std::size_t>(end - buf);
    });
    if (!ok) {
        return value_error("Invalid UTF-16 sequence: invalid utf-16: lone surrogate found");
    }
    return out;
}

Result<std::string> decode_utf16(std::string_view bytes) {
    if (bytes.size() < 2 || bytes.size() % 2 != 0) {
        return value_error("UTF-16 requires an even number of bytes with at least 2 bytes");
    }
    const u8* p = bytes_of(bytes);
    if (p[0] == 0xFE && p[1] == 0xFF) {
        return decode_utf16_with_endianness(bytes.substr(2), false);
    }
    if (p[0] == 0xFF && p[1] == 0xFE) {
        return decode_utf16_with_endianness(bytes.substr(2), true);
    }
    return decode_utf16_with_endianness(bytes, false);
}

Result<std::string> decode_utf32_with_endianness(std::string_view bytes, bool little_endian) {
    if (bytes.size() % 4 != 0) {
        return value_error("UTF-32 requires a multiple of 4 bytes");
    }
    const std::size_t units = bytes.size() / 4;
    u32 bad_unit = 0;
    bool ok = true;
    std::string out;
    // A scalar value takes at most four UTF-8 bytes: never more than its unit.
    out.resize_and_overwrite(bytes.size(), [&](char* buf, std::size_t) {
        char* end = little_endian ? utf32_to_utf8<true>(bytes_of(bytes), units, buf, bad_unit)
                                  : utf32_to_utf8<false>(bytes_of(bytes), units, buf, bad_unit);
        if (end == nullptr) {
            ok = false;
            return std::size_t{0};
        }
        return static_cast<std::size_t>(end - buf);
    });
    if (!ok) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%08X", static_cast<unsigned>(bad_unit));
        return value_error(std::string("Invalid UTF-32 codepoint: 0x") + hex);
    }
    return out;
}

Result<std::string> decode_utf32(std::string_view bytes) {
    if (bytes.size() < 4 || bytes.size() % 4 != 0) {
        return value_error("UTF-32 requires a multiple of 4 bytes with at least 4 bytes");
    }
    const u8* p = bytes_of(bytes);
    if (p[0] == 0xFF && p[1] == 0xFE && p[2] == 0x00 && p[3] == 0x00) {
        return decode_utf32_with_endianness(bytes.substr(4), true);
    }
    if (p[0] == 0x00 && p[1] == 0x00 && p[2] == 0xFE && p[3] == 0xFF) {
        return decode_utf32_with_endianness(bytes.substr(4), false);
    }
    return decode_utf32_with_endianness(bytes, false);
}

Result<std::string> decode_us_ascii(std::string_view bytes) {
    const u8* p = bytes_of(bytes);
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i + 8 <= n && (load64(p + i) & kHighBits) == 0) {
        i += 8;
    }
    for (; i < n; ++i) {
        if (p[i] >= 0x80) {
            char msg[64];
            std::snprintf(msg, sizeof msg, "Invalid US-ASCII byte: 0x%02X (must be <= 0x7F)", unsigned{p[i]});
            return value_error(msg);
        }
    }
    return std::string(bytes);
}

std::string decode_iso_8859_1(std::string_view bytes) {
    const u8* p = bytes_of(bytes);
    const std::size_t n = bytes.size();
    std::string out;
    out.resize_and_overwrite(n * 2, [&](char* buf, std::size_t) {
        char* o = buf;
        std::size_t i = 0;
        while (i < n) {
            if (i + 8 <= n && (load64(p + i) & kHighBits) == 0) {
                std::memcpy(o, p + i, 8);
                o += 8;
                i += 8;
                continue;
            }
            const u8 b = p[i++];
            if (b < 0x80) {
                *o++ = static_cast<char>(b);
            } else {
                *o++ = static_cast<char>(0xC0 | (b >> 6));
                *o++ = static_cast<char>(0x80 | (b & 0x3F));
            }
        }
        return static_cast<std::size_t>(o - buf);
    });
    return out;
}

Result<std::string> decode_windows_1252(std::string_view bytes) {
    const u8* p = bytes_of(bytes);
    const std::size_t n = bytes.size();
    // A leading byte-order mark selects UTF-8 or UTF-16 for the rest, which
    // must then be well formed.
    if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
        auto text = decode_utf8(bytes.substr(3));
        if (!text) {
            return value_error("Failed to decode Windows-1252 bytes");
        }
        return std::string(*text);
    }
    if (n >= 2 && ((p[0] == 0xFF && p[1] == 0xFE) || (p[0] == 0xFE && p[1] == 0xFF))) {
        auto text = decode_utf16_with_endianness(bytes.substr(2), p[0] == 0xFF);
        if (!text) {
            return value_error("Failed to decode Windows-1252 bytes");
        }
        return text;
    }
    std::string out;
    // The widest mapping (U+20AC and friends) takes three UTF-8 bytes.
    out.resize_and_overwrite(n * 3 + kSlack, [&](char* buf, std::size_t) {
        char* o = buf;
        std::size_t i = 0;
        while (i < n) {
            if (i + 8 <= n && (load64(p + i) & kHighBits) == 0) {
                std::memcpy(o, p + i, 8);
                o += 8;
                i += 8;
                continue;
            }
            const PackedChar c = kWindows1252Utf8[p[i++]];
            std::memcpy(o, &c.word, 4);
            o += c.length;
        }
        return static_cast<std::size_t>(o - buf);
    });
    return out;
}

}  // namespace kestrune
