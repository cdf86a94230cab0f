// Text encoders: UTF-8 text -> bytes.
//
// The text arrives as valid UTF-8 from the str conversion. The reader below
// still never steps past the end of its input: a truncated or stray lead
// byte is read as U+FFFD, one byte at a time. Outputs are written in one pass
// into a buffer sized for the worst case and trimmed to what was written.
#include "text.hpp"

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

// Reads the character at text[i] and advances i past it.
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
    const char hi = static_cast<char>(unit >> 8);
    const char lo = static_cast<char>(unit & 0xFF);
    out[0] = Little ? lo : hi;
    out[1] = Little ? hi : lo;
    return out + 2;
}

template <bool Little>
inline char* put32(char* out, char32_t cp) {
    for (int k = 0; k < 4; ++k) {
        const int shift = Little ? 8 * k : 8 * (3 - k);
        out[k] = static_cast<char>((cp >> shift) & 0xFF);
    }
    return out + 4;
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
            if (i + 8 <= n && ascii8(p + i)) {
                for (int k = 0; k < 8; ++k) {
                    o = put16<Little>(o, p[i + k]);
                }
                i += 8;
                continue;
            }
            const char32_t cp = next_char(p, n, i);
            if (cp < 0x10000) {
                o = put16<Little>(o, cp);
            } else {
                o = put16<Little>(o, 0xD800 + ((cp - 0x10000) >> 10));
                o = put16<Little>(o, 0xDC00 + ((cp - 0x10000) & 0x3FF));
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
            if (i + 8 <= n && ascii8(p + i)) {
                for (int k = 0; k < 8; ++k) {
                    o = put32<Little>(o, p[i + k]);
                }
                i += 8;
                continue;
            }
            o = put32<Little>(o, next_char(p, n, i));
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
    std::size_t bad_start = n;
    std::size_t bad_end = n;
    char32_t bad_cp = 0;
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
            const std::size_t start = i;
            const char32_t cp = next_char(p, n, i);
            if (cp > 0xFF) {
                bad_start = start;
                bad_end = i;
                bad_cp = cp;
                return std::size_t{0};
            }
            *o++ = static_cast<char>(cp);
        }
        return static_cast<std::size_t>(o - buf);
    });
    if (bad_start != n) {
        return unencodable(text, bad_start, bad_end, bad_cp, "ISO-8859-1");
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
