// Text encoders: UTF-8 text -> bytes, in one pass into a buffer of the bound.
//
// The text arrives as valid UTF-8 from the str conversion. The character
// reader below still never steps past the end of its input: a truncated or
// stray lead byte is read as U+FFFD, one byte at a time.
//
// The bound: every character the reader returns consumed at least as many
// input bytes as it has UTF-16 units, so UTF-16 needs at most 2 bytes per
// input byte, UTF-32 at most 4 and the single-byte charsets at most 1 (a
// four-byte character makes two units; U+FFFD from one stray byte makes one).
// The walks below therefore never check room as they write.
#include "text.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "../decoder/windows_1252_index.hpp"
#include "../simd.hpp"

namespace kestrune {
namespace {

using u8 = std::uint8_t;

// The word-at-a-time ASCII checks read memory in host order.
static_assert(std::endian::native == std::endian::little);

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

inline const u8* bytes_of(std::string_view s) { return reinterpret_cast<const u8*>(s.data()); }

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
    const std::uint32_t v = Little ? u : std::byteswap(u);
    std::memcpy(out, &v, 4);
    return out + 4;
}

// Sixteen ASCII bytes widened to sixteen 16-bit or 32-bit lanes, with the
// byte at the low end of each lane (little-endian) or the high end. The
// vector conversions lower to SIMD unpack instructions (simd.hpp).
using Bytes16 = KESTRUNE_VECTOR(std::uint8_t, 16);
using Units8x16 = KESTRUNE_VECTOR(std::uint16_t, 16);
using Units16x16 = KESTRUNE_VECTOR(std::uint16_t, 32);
using Units8x32 = KESTRUNE_VECTOR(std::uint32_t, 32);

inline bool ascii16(const u8* p) {
    std::uint64_t w[2];
    std::memcpy(w, p, sizeof w);
    return ((w[0] | w[1]) & kHighBits) == 0;
}

template <bool Little>
inline char* widen_ascii16_to_utf16(const u8* p, char* out) {
    Bytes16 v;
    std::memcpy(&v, p, 16);
    Units16x16 w;
    simd::convert(v, w);
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
    Units16x16 w;
    simd::convert(v, w);
    for (int half = 0; half < 2; ++half) {
        Units8x16 h;
        std::memcpy(&h, reinterpret_cast<const char*>(&w) + 16 * half, 16);
        Units8x32 d;
        simd::convert(h, d);
        if constexpr (!Little) {
            d <<= 24;
        }
        std::memcpy(out, &d, 32);
        out += 32;
    }
    return out;
}

// ---- the single-pass walks ------------------------------------------------

// Each walk writes the encoding of `text` at `out` (room for the bound) and
// returns the number of bytes written. ASCII is taken sixteen bytes at a
// time; any other block of sixteen bytes goes character by character, so a
// character may end past the block and the next block starts after it.

template <bool Little>
std::size_t walk_utf16(std::string_view text, char* out) {
    const u8* p = bytes_of(text);
    const std::size_t n = text.size();
    char* o = out;
    std::size_t i = 0;
    while (i < n) {
        if (n - i >= 16 && ascii16(p + i)) {
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
                o = put16<Little>(put16<Little>(o, 0xD800 + ((cp - 0x10000) >> 10)), 0xDC00 + ((cp - 0x10000) & 0x3FF));
            }
        }
    }
    return static_cast<std::size_t>(o - out);
}

template <bool Little>
std::size_t walk_utf32(std::string_view text, char* out) {
    const u8* p = bytes_of(text);
    const std::size_t n = text.size();
    char* o = out;
    std::size_t i = 0;
    while (i < n) {
        if (n - i >= 16 && ascii16(p + i)) {
            o = widen_ascii16_to_utf32<Little>(p + i, o);
            i += 16;
            continue;
        }
        const std::size_t block_end = std::min(n, i + 16);
        while (i < block_end) {
            o = put32<Little>(o, next_char(p, n, i));
        }
    }
    return static_cast<std::size_t>(o - out);
}

// The single-byte walks stop at the first character the charset lacks and
// set `bad` to where it starts (else `bad` is the text's size).

// US-ASCII is the text itself: copy 64 bytes at a time while checking them,
// and look byte by byte only at the block holding the first non-ASCII byte.
std::size_t walk_us_ascii(std::string_view text, char* out, std::size_t& bad) {
    const u8* p = bytes_of(text);
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (n - i >= 64) {
        std::uint64_t w[8];
        std::memcpy(w, p + i, sizeof w);
        std::memcpy(out + i, w, sizeof w);
        if (((w[0] | w[1] | w[2] | w[3] | w[4] | w[5] | w[6] | w[7]) & kHighBits) != 0) {
            break;
        }
        i += 64;
    }
    while (i < n && p[i] < 0x80) {
        out[i] = static_cast<char>(p[i]);
        ++i;
    }
    bad = i;
    return i;
}

std::size_t walk_iso_8859_1(std::string_view text, char* out, std::size_t& bad) {
    const u8* p = bytes_of(text);
    const std::size_t n = text.size();
    char* o = out;
    std::size_t i = 0;
    bad = n;
    while (i < n) {
        if (n - i >= 16 && ascii16(p + i)) {
            std::memcpy(o, p + i, 16);
            o += 16;
            i += 16;
            continue;
        }
        const std::size_t block_end = std::min(n, i + 16);
        while (i < block_end) {
            const u8 b = p[i];
            if (b < 0x80) {
                *o++ = static_cast<char>(b);
                ++i;
            } else if ((b & 0xFE) == 0xC2 && n - i >= 2) {
                // U+0080-U+00FF: C2 or C3, then the low six bits.
                *o++ = static_cast<char>(((b & 0x03) << 6) | (p[i + 1] & 0x3F));
                i += 2;
            } else {
                bad = i;
                return static_cast<std::size_t>(o - out);
            }
        }
    }
    return static_cast<std::size_t>(o - out);
}

std::size_t walk_windows_1252(std::string_view text, char* out, std::size_t& bad) {
    const u8* p = bytes_of(text);
    const std::size_t n = text.size();
    char* o = out;
    std::size_t i = 0;
    bad = n;
    while (i < n) {
        if (n - i >= 16 && ascii16(p + i)) {
            std::memcpy(o, p + i, 16);
            o += 16;
            i += 16;
            continue;
        }
        const std::size_t block_end = std::min(n, i + 16);
        while (i < block_end) {
            // U+00A0-U+00FF (C2 A0 to C3 BF) keep their value; the rest goes
            // through the index.
            const u8 lead = p[i];
            int byte;
            if (lead < 0x80) {
                byte = lead;
                ++i;
            } else if (n - i >= 2 && (lead == 0xC3 || (lead == 0xC2 && p[i + 1] >= 0xA0))) {
                byte = ((lead & 0x03) << 6) | (p[i + 1] & 0x3F);
                i += 2;
            } else {
                const std::size_t start = i;
                byte = windows_1252::byte_for(next_char(p, n, i));
                if (byte < 0) {
                    bad = start;
                    return static_cast<std::size_t>(o - out);
                }
            }
            *o++ = static_cast<char>(byte);
        }
    }
    return static_cast<std::size_t>(o - out);
}

std::unexpected<Error> unencodable_at(std::string_view text, std::size_t start, const char* charset) {
    std::size_t end = start;
    const char32_t cp = next_char(bytes_of(text), text.size(), end);
    return unencodable(text, start, end, cp, charset);
}

std::string must_encode(TextEncoder which, std::string_view text) {
    std::string out;
    // The Unicode encoders cannot fail.
    static_cast<void>(encode_text_to(which, text, out));
    return out;
}

}  // namespace

std::optional<std::size_t> encoded_size_bound(TextEncoder which, std::size_t utf8_size) {
    std::size_t per_byte = 1;
    std::size_t mark = 0;
    switch (which) {
        case TextEncoder::Utf16: mark = 2; [[fallthrough]];
        case TextEncoder::Utf16be:
        case TextEncoder::Utf16le: per_byte = 2; break;
        case TextEncoder::Utf32: mark = 4; [[fallthrough]];
        case TextEncoder::Utf32be:
        case TextEncoder::Utf32le: per_byte = 4; break;
        case TextEncoder::Utf8:
        case TextEncoder::UsAscii:
        case TextEncoder::Iso8859_1:
        case TextEncoder::Windows1252: break;
    }
    constexpr auto kMax = static_cast<std::size_t>(PTRDIFF_MAX);
    if (utf8_size > (kMax - mark) / per_byte) {
        return std::nullopt;
    }
    return mark + per_byte * utf8_size;
}

Result<std::size_t> encode_text_into(TextEncoder which, std::string_view text, char* out) {
    std::size_t bad = text.size();
    switch (which) {
        case TextEncoder::Utf8:
            if (!text.empty()) {
                std::memcpy(out, text.data(), text.size());
            }
            return text.size();
        case TextEncoder::Utf16:
            put16<false>(out, 0xFEFF);
            return 2 + walk_utf16<false>(text, out + 2);
        case TextEncoder::Utf16be: return walk_utf16<false>(text, out);
        case TextEncoder::Utf16le: return walk_utf16<true>(text, out);
        case TextEncoder::Utf32:
            put32<false>(out, 0xFEFF);
            return 4 + walk_utf32<false>(text, out + 4);
        case TextEncoder::Utf32be: return walk_utf32<false>(text, out);
        case TextEncoder::Utf32le: return walk_utf32<true>(text, out);
        case TextEncoder::UsAscii: {
            const std::size_t size = walk_us_ascii(text, out, bad);
            if (bad != text.size()) {
                return unencodable_at(text, bad, "US-ASCII");
            }
            return size;
        }
        case TextEncoder::Iso8859_1: {
            const std::size_t size = walk_iso_8859_1(text, out, bad);
            if (bad != text.size()) {
                return unencodable_at(text, bad, "ISO-8859-1");
            }
            return size;
        }
        case TextEncoder::Windows1252: {
            const std::size_t size = walk_windows_1252(text, out, bad);
            if (bad != text.size()) {
                return value_error("Failed to encode to Windows-1252");
            }
            return size;
        }
    }
    return value_error("unknown text encoder");
}

Result<void> encode_text_to(TextEncoder which, std::string_view text, std::string& out) {
    const auto bound = encoded_size_bound(which, text.size());
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

std::string encode_utf16(std::string_view text) { return must_encode(TextEncoder::Utf16, text); }
std::string encode_utf16be(std::string_view text) { return must_encode(TextEncoder::Utf16be, text); }
std::string encode_utf16le(std::string_view text) { return must_encode(TextEncoder::Utf16le, text); }
std::string encode_utf32(std::string_view text) { return must_encode(TextEncoder::Utf32, text); }
std::string encode_utf32be(std::string_view text) { return must_encode(TextEncoder::Utf32be, text); }
std::string encode_utf32le(std::string_view text) { return must_encode(TextEncoder::Utf32le, text); }

namespace {
Result<std::string> checked_encode(TextEncoder which, std::string_view text) {
    std::string out;
    if (auto done = encode_text_to(which, text, out); !done) {
        return std::unexpected(done.error());
    }
    return out;
}
}  // namespace

Result<std::string> encode_us_ascii(std::string_view text) { return checked_encode(TextEncoder::UsAscii, text); }
Result<std::string> encode_iso_8859_1(std::string_view text) { return checked_encode(TextEncoder::Iso8859_1, text); }
Result<std::string> encode_windows_1252(std::string_view text) { return checked_encode(TextEncoder::Windows1252, text); }

}  // namespace kestrune
