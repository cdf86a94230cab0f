// Text encoders: UTF-8 text -> bytes.
//
// The text arrives as valid UTF-8 from the str conversion. The reader below
// still never steps past the end of its input: a truncated or stray lead
// byte is read as U+FFFD, one byte at a time. Outputs are written in one pass
// into a buffer sized for the worst case and trimmed to what was written.
#include "text.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "../decoder/windows_1252_index.hpp"

namespace kestrune {
namespace {

using u8 = std::uint8_t;

// The word-at-a-time ASCII checks read memory in host order.
static_assert(std::endian::native == std::endian::little);

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

inline const u8* bytes_of(std::string_view s) { return reinterpret_cast<const u8*>(s.data()); }

inline bool ascii8(const u8* p) {
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return (w & kHighBits) == 0;
}

// Reads the character at text[i] and advances i past it; safe up to the
// last byte.
inline char32_t next_char(const u8* p, std::size_t n, std::size_t& i) {
    const u8 b = p[i];
    if (b < 0x80) {
        ++i;
        return b;
    }
    std::size_t len;
    char32_t cp;
    if (b >= 0xC0 && b < 0xE0) {
        len = 2;
        cp = b & 0x1F;
    } else if (b >= 0xE0 && b < 0xF0) {
        len = 3;
        cp = b & 0x0F;
    } else if (b >= 0xF0 && b < 0xF5) {
        len = 4;
        cp = b & 0x07;
    } else {
        ++i;
        return 0xFFFD;
    }
    if (n - i < len) {
        ++i;
        return 0xFFFD;
    }
    for (std::size_t k = 1; k < len; ++k) {
        cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    i += len;
    return cp;
}

// "U+" and the code point in upper-case hex, at least four digits.
std::string code_point_notation(char32_t cp) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "U+%04X", static_cast<unsigned>(cp));
    return buf;
}

// The error for the character text[start, end) that `charset` cannot hold.
std::unexpected<Error> unencodable(std::string_view text, std::size_t start, std::size_t end, char32_t cp,
                                   const char* charset) {
    return value_error("Character '" + std::string(text.substr(start, end - start)) + "' (" +
                       code_point_notation(cp) + ") is not valid " + charset);
}

template <bool Little>
inline char* put16(char* out, char32_t unit) {
    const auto u = static_cast<std::uint16_t>(unit);
    const std::uint16_t v = Little ? u : static_cast<std::uint16_t>(u << 8 | u >> 8);
    std::memcpy(out, &v, 2);
    return out + 2;
}

template <bool Little>
inline char* put32(char* out, char32_t cp) {
    const auto u = static_cast<std::uint32_t>(cp);
    const std::uint32_t v = Little ? u : __builtin_bswap32(u);
    std::memcpy(out, &v, 4);
    return out + 4;
}

// Sixteen ASCII bytes widened to sixteen 16-bit or 32-bit lanes, with the
// byte at the low end of each lane (little-endian) or the high end. GCC and
// Clang lower these vector conversions to SIMD unpack instructions.
using Bytes16 = std::uint8_t __attribute__((vector_size(16)));
using Units8x16 = std::uint16_t __attribute__((vector_size(16)));
using Units16x16 = std::uint16_t __attribute__((vector_size(32)));
using Units8x32 = std::uint32_t __attribute__((vector_size(32)));

inline bool ascii16(const u8* p) {
    std::uint64_t w[2];
    std::memcpy(w, p, sizeof w);
    return ((w[0] | w[1]) & kHighBits) == 0;
}

template <bool Little>
inline char* widen_ascii16_to_utf16(const u8* p, char* out) {
    Bytes16 v;
    std::memcpy(&v, p, 16);
    Units16x16 w = __builtin_convertvector(v, Units16x16);
    if constexpr (!Little) {
        w <<= 8;
    }
    std::memcpy(out, &w, 32);
    return out + 32;
}

template <bool Little>
inline char* widen_ascii16_to_utf32(const u8* p, char* out) {
    Bytes16 v;
    std::memcpy(&v, p, 16);
    const Units16x16 w = __builtin_convertvector(v, Units16x16);
    for (int half = 0; half < 2; ++half) {
        Units8x16 h;
        std::memcpy(&h, reinterpret_cast<const char*>(&w) + 16 * half, 16);
        Units8x32 d = __builtin_convertvector(h, Units8x32);
        if constexpr (!Little) {
            d <<= 24;
        }
        std::memcpy(out, &d, 32);
        out += 32;
    }
    return out;
}

template <bool Little>
std::string to_utf16(std::string_view text, bool mark) {
    const u8* p = bytes_of(text);
    const std::size_t n = text.size();
    std::string out;
    // A UTF-8 byte yields at most one UTF-16 unit (four bytes give a pair).
    out.resize_and_overwrite(2 * n + 2, [&](char* buf, std::size_t) {
        char* o = buf;
        if (mark) {
            o = put16<Little>(o, 0xFEFF);
        }
        std::size_t i = 0;
        while (i < n) {
            if (i + 16 <= n && ascii16(p + i)) {
                o = widen_ascii16_to_utf16<Little>(p + i, o);
                i += 16;
                continue;
            }
            const std::size_t block_end = std::min(n, i + 16);
            while (i < block_end) {
                const char32_t cp = next_char(p, n, i);
                if (cp < 0x10000) {
                    o = put16<Little>(o, cp);
                } else {
                    o = put16<Little>(o, 0xD800 + ((cp - 0x10000) >> 10));
                    o = put16<Little>(o, 0xDC00 + ((cp - 0x10000) & 0x3FF));
                }
            }
        }
        return static_cast<std::size_t>(o - buf);
    });
    return out;
}

template <bool Little>
std::string to_utf32(std::string_view text, bool mark) {
    const u8* p = bytes_of(text);
    const std::size_t n = text.size();
    std::string out;
    // A UTF-8 byte yields at most one character.
    out.resize_and_overwrite(4 * n + 4, [&](char* buf, std::size_t) {
        char* o = buf;
        if (mark) {
            o = put32<Little>(o, 0xFEFF);
        }
        std::size_t i = 0;
        while (i < n) {
            if (i + 16 <= n && ascii16(p + i)) {
                o = widen_ascii16_to_utf32<Little>(p + i, o);
                i += 16;
                continue;
            }
            const std::size_t block_end = std::min(n, i + 16);
            while (i < block_end) {
                o = put32<Little>(o, next_char(p, n, i));
            }
        }
        return static_cast<std::size_t>(o - buf);
    });
    return out;
}

}  // namespace

std::string encode_utf16(std::string_view text) { return to_utf16<false>(text, true); }
std::string encode_utf16be(std::string_view text) { return to_utf16<false>(text, false); }
std::string encode_utf16le(std::string_view text) { return to_utf16<true>(text, false); }
std::string encode_utf32(std::string_view text) { return to_utf32<false>(text, true); }
std::string encode_utf32be(std::string_view text) { return to_utf32<false>(text, false); }
std::string encode_utf32le(std::string_view text) { return to_utf32<true>(text, false); }

Result<std::string> encode_us_ascii(std::string_view text) {
    const u8* p = bytes_of(text);
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i + 8 <= n && ascii8(p + i)) {
        i += 8;
    }
    while (i < n && p[i] < 0x80) {
        ++i;
    }
    if (i == n) {
        return std::string(text);  // all ASCII: the UTF-8 bytes are the result
    }
    const std::size_t start = i;
    const char32_t cp = next_char(p, n, i);
    return unencodable(text, start, i, cp, "US-ASCII");
}

Result<std::string> encode_iso_8859_1(std::string_view text) {
    const u8* p = bytes_of(text);
    const std::size_t n = text.size();
    std::size_t bad = n;  // where the first character above U+00FF starts
    std::string out;
    out.resize_and_overwrite(n, [&](char* buf, std::size_t) {
        char* o = buf;
        std::size_t i = 0;
        while (i < n) {
            if (i + 8 <= n && ascii8(p + i)) {
                std::memcpy(o, p + i, 8);
                o += 8;
                i += 8;
                continue;
            }
            const u8 b = p[i];
            if (b < 0x80) {
                *o++ = static_cast<char>(b);
                ++i;
            } else if ((b & 0xFE) == 0xC2 && i + 1 < n) {
                // U+0080-U+00FF: C2 or C3, then the low six bits.
                *o++ = static_cast<char>(((b & 0x03) << 6) | (p[i + 1] & 0x3F));
                i += 2;
            } else {
                bad = i;
                return std::size_t{0};
            }
        }
        return static_cast<std::size_t>(o - buf);
    });
    if (bad != n) {
        std::size_t end = bad;
        const char32_t cp = next_char(p, n, end);
        return unencodable(text, bad, end, cp, "ISO-8859-1");
    }
    return out;
}

Result<std::string> encode_windows_1252(std::string_view text) {
    const u8* p = bytes_of(text);
    const std::size_t n = text.size();
    bool ok = true;
    std::string out;
    out.resize_and_overwrite(n, [&](char* buf, std::size_t) {
        char* o = buf;
        std::size_t i = 0;
        while (i < n) {
            if (i + 8 <= n && ascii8(p + i)) {
                std::memcpy(o, p + i, 8);
                o += 8;
                i += 8;
                continue;
            }
            // U+00A0-U+00FF (C2 A0 to C3 BF) keep their value; the rest goes
            // through the index.
            const u8 lead = p[i];
            if (lead < 0x80) {
                *o++ = static_cast<char>(lead);
                ++i;
                continue;
            }
            if (i + 1 < n && (lead == 0xC3 || (lead == 0xC2 && p[i + 1] >= 0xA0))) {
                *o++ = static_cast<char>(((lead & 0x03) << 6) | (p[i + 1] & 0x3F));
                i += 2;
                continue;
            }
            const int b = windows_1252::byte_for(next_char(p, n, i));
            if (b < 0) {
                ok = false;
                return std::size_t{0};
            }
            *o++ = static_cast<char>(b);
        }
        return static_cast<std::size_t>(o - buf);
    });
    if (!ok) {
        return value_error("Failed to encode to Windows-1252");
    }
    return out;
}

}  // namespace kestrune
