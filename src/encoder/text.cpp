// Text encoders: UTF-8 text -> bytes.
//
// The text arrives as valid UTF-8 from the str conversion. The character
// reader below still never steps past the end of its input: a truncated or
// stray lead byte is read as U+FFFD, one byte at a time.
//
// Sizing: for well-formed text the size follows from byte counts (characters
// are the bytes that are not continuation bytes, four-byte characters are
// the F0-F4 lead bytes), taken sixteen bytes at a time. A scan checks, in the
// same pass, that the text is well formed enough for those counts to match
// what the character reader does; when it is not, or when a single-byte
// charset meets a character that needs a closer look, the size comes from
// the character walk itself, the same walk that writes the output.
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

// ---- sizing from byte counts ---------------------------------------------

using V8 = u8 __attribute__((vector_size(16)));
using S8 = std::int8_t __attribute__((vector_size(16)));

// Counts of well-formed UTF-8 text.
struct Utf8Counts {
    std::size_t chars = 0;   // bytes that are not continuation bytes
    std::size_t astral = 0;  // lead bytes F0-F4
    bool beyond_latin1 = false;  // a lead byte other than C2 and C3
    // Every lead byte has exactly its continuation bytes, there are no stray
    // continuation bytes, no C0, C1 or F5-FF, and F0 is followed by 90-BF:
    // the character reader then reads one character per counted byte and a
    // four-byte character beyond U+FFFF for each F0-F4.
    bool well_formed = true;
    // Some C2 is followed by 80-9F (U+0080-U+009F).
    bool c1_controls = false;
};

// Checks the sixteen bytes at w + 3 with the three bytes before them at w.
struct Utf8Scan {
    V8 continuations{};
    V8 astral{};
    V8 wide{};
    V8 malformed{};
    V8 c1{};
    unsigned blocks = 0;
    Utf8Counts counts;

    void block(const u8* w) {
        V8 cur, p1, p2, p3;
        std::memcpy(&cur, w + 3, 16);
        std::memcpy(&p1, w + 2, 16);
        std::memcpy(&p2, w + 1, 16);
        std::memcpy(&p3, w, 16);
        // Only equality and signed comparisons: SSE2 has no unsigned byte
        // comparison, and GCC would compare such lanes one by one.
        const auto cont = (cur & 0xC0) == 0x80;
        const auto expected = ((p1 & 0xC0) == 0xC0) | ((p2 & 0xE0) == 0xE0) | ((p3 & 0xF0) == 0xF0);
        const S8 signed_cur = reinterpret_cast<S8>(cur);
        const auto f5_ff = (signed_cur > -12) & (signed_cur < 0);
        // After F0 and C2 the byte must be a continuation byte anyway; its
        // top nibble or three bits tell 80-8F and 80-9F.
        const auto bad = (cont != expected) | ((cur & 0xFE) == 0xC0) | f5_ff | ((p1 == 0xF0) & ((cur & 0xF0) == 0x80));
        continuations -= reinterpret_cast<V8>(cont);
        astral -= reinterpret_cast<V8>((cur & 0xF0) == 0xF0);
        wide |= reinterpret_cast<V8>(((cur & 0xC0) == 0xC0) & ((cur & 0xFE) != 0xC2));
        malformed |= reinterpret_cast<V8>(bad);
        c1 |= reinterpret_cast<V8>((p1 == 0xC2) & ((cur & 0xE0) == 0x80));
        if (++blocks == 255) {
            fold();  // before the per-lane counts can wrap
        }
    }

    void fold() {
        for (int l = 0; l < 16; ++l) {
            counts.chars -= continuations[l];
            counts.astral += astral[l];
            counts.beyond_latin1 = counts.beyond_latin1 || wide[l] != 0;
            counts.well_formed = counts.well_formed && malformed[l] == 0;
            counts.c1_controls = counts.c1_controls || c1[l] != 0;
        }
        continuations = V8{};
        astral = V8{};
        malformed = V8{};
        c1 = V8{};
        blocks = 0;
    }
};

Utf8Counts count_utf8(std::string_view text) {
    const u8* p = bytes_of(text);
    const std::size_t n = text.size();
    Utf8Scan scan;
    scan.counts.chars = n;
    u8 window[3 + 16];
    // The window for the bytes from i (up to sixteen), zero-padded, with the
    // three bytes before i (zero before the start).
    auto padded = [&](std::size_t i) {
        std::memset(window, 0, sizeof window);
        for (std::size_t k = 0; k < 3; ++k) {
            if (i + k >= 3 && i + k - 3 < n) {
                window[k] = p[i + k - 3];
            }
        }
        if (i < n) {
            std::memcpy(window + 3, p + i, std::min<std::size_t>(16, n - i));
        }
        return window;
    };
    std::size_t i = 0;
    while (i < n) {
        if (i >= 3 && i + 16 <= n) {
            // A run of ASCII after a completed character needs no vector work.
            if (ascii16(p + i) && p[i - 1] < 0xC0 && p[i - 2] < 0xE0 && p[i - 3] < 0xF0) {
                i += 16;
                continue;
            }
            scan.block(p + i - 3);
            i += 16;
        } else {
            scan.block(padded(i));
            i += 16;
        }
    }
    if (n != 0) {
        scan.block(padded(std::max(i, n)));  // a character cut off at the end
    }
    scan.fold();
    return scan.counts;
}

// ---- the character walks (size and output) -------------------------------

// Each walk produces the encoding of `text`. With Write it stores the bytes
// in out[0, cap) and fails (returns kOverflow) rather than pass cap; without
// it only counts. Returns the size in bytes.
constexpr std::size_t kOverflow = static_cast<std::size_t>(-1);

template <bool Little, bool Write>
std::size_t walk_utf16(std::string_view text, bool mark, char* out, std::size_t cap) {
    const u8* p = bytes_of(text);
    const std::size_t n = text.size();
    std::size_t size = 0;
    if (mark) {
        if constexpr (Write) {
            if (cap < 2) {
                return kOverflow;
            }
            put16<Little>(out, 0xFEFF);
        }
        size = 2;
    }
    std::size_t i = 0;
    while (i < n) {
        if (i + 16 <= n && ascii16(p + i)) {
            if constexpr (Write) {
                if (cap - size < 32) {
                    return kOverflow;
                }
                widen_ascii16_to_utf16<Little>(p + i, out + size);
            }
            size += 32;
            i += 16;
            continue;
        }
        const std::size_t block_end = std::min(n, i + 16);
        while (i < block_end) {
            const char32_t cp = next_char(p, n, i);
            const std::size_t need = cp < 0x10000 ? 2 : 4;
            if constexpr (Write) {
                if (cap - size < need) {
                    return kOverflow;
                }
                if (cp < 0x10000) {
                    put16<Little>(out + size, cp);
                } else {
                    put16<Little>(put16<Little>(out + size, 0xD800 + ((cp - 0x10000) >> 10)),
                                  0xDC00 + ((cp - 0x10000) & 0x3FF));
                }
            }
            size += need;
        }
    }
    return size;
}

template <bool Little, bool Write>
std::size_t walk_utf32(std::string_view text, bool mark, char* out, std::size_t cap) {
    const u8* p = bytes_of(text);
    const std::size_t n = text.size();
    std::size_t size = 0;
    if (mark) {
        if constexpr (Write) {
            if (cap < 4) {
                return kOverflow;
            }
            put32<Little>(out, 0xFEFF);
        }
        size = 4;
    }
    std::size_t i = 0;
    while (i < n) {
        if (i + 16 <= n && ascii16(p + i)) {
            if constexpr (Write) {
                if (cap - size < 64) {
                    return kOverflow;
                }
                widen_ascii16_to_utf32<Little>(p + i, out + size);
            }
            size += 64;
            i += 16;
            continue;
        }
        const std::size_t block_end = std::min(n, i + 16);
        while (i < block_end) {
            const char32_t cp = next_char(p, n, i);
            if constexpr (Write) {
                if (cap - size < 4) {
                    return kOverflow;
                }
                put32<Little>(out + size, cp);
            }
            size += 4;
        }
    }
    return size;
}

// Single-byte walks also stop at the first character the charset lacks,
// setting `bad` to where it starts (else `bad` is the text's size).
template <bool Write>
std::size_t walk_iso_8859_1(std::string_view text, char* out, std::size_t cap, std::size_t& bad) {
    const u8* p = bytes_of(text);
    const std::size_t n = text.size();
    std::size_t size = 0;
    std::size_t i = 0;
    bad = n;
    while (i < n) {
        if (i + 8 <= n && ascii8(p + i)) {
            if constexpr (Write) {
                if (cap - size < 8) {
                    return kOverflow;
                }
                std::memcpy(out + size, p + i, 8);
            }
            size += 8;
            i += 8;
            continue;
        }
        const u8 b = p[i];
        u8 byte;
        if (b < 0x80) {
            byte = b;
            ++i;
        } else if ((b & 0xFE) == 0xC2 && i + 1 < n) {
            // U+0080-U+00FF: C2 or C3, then the low six bits.
            byte = static_cast<u8>(((b & 0x03) << 6) | (p[i + 1] & 0x3F));
            i += 2;
        } else {
            bad = i;
            return size;
        }
        if constexpr (Write) {
            if (cap == size) {
                return kOverflow;
            }
            out[size] = static_cast<char>(byte);
        }
        ++size;
    }
    return size;
}

template <bool Write>
std::size_t walk_windows_1252(std::string_view text, char* out, std::size_t cap, std::size_t& bad) {
    const u8* p = bytes_of(text);
    const std::size_t n = text.size();
    std::size_t size = 0;
    std::size_t i = 0;
    bad = n;
    while (i < n) {
        if (i + 8 <= n && ascii8(p + i)) {
            if constexpr (Write) {
                if (cap - size < 8) {
                    return kOverflow;
                }
                std::memcpy(out + size, p + i, 8);
            }
            size += 8;
            i += 8;
            continue;
        }
        // U+00A0-U+00FF (C2 A0 to C3 BF) keep their value; the rest goes
        // through the index.
        const u8 lead = p[i];
        int byte;
        if (lead < 0x80) {
            byte = lead;
            ++i;
        } else if (i + 1 < n && (lead == 0xC3 || (lead == 0xC2 && p[i + 1] >= 0xA0))) {
            byte = ((lead & 0x03) << 6) | (p[i + 1] & 0x3F);
            i += 2;
        } else {
            const std::size_t start = i;
            byte = windows_1252::byte_for(next_char(p, n, i));
            if (byte < 0) {
                bad = start;
                return size;
            }
        }
        if constexpr (Write) {
            if (cap == size) {
                return kOverflow;
            }
            out[size] = static_cast<char>(byte);
        }
        ++size;
    }
    return size;
}

// The first byte of 0x80 or more (the start of the first non-ASCII
// character), or the text's size.
std::size_t first_non_ascii(std::string_view text) {
    const u8* p = bytes_of(text);
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i + 8 <= n && ascii8(p + i)) {
        i += 8;
    }
    while (i < n && p[i] < 0x80) {
        ++i;
    }
    return i;
}

std::unexpected<Error> unencodable_at(std::string_view text, std::size_t start, const char* charset) {
    std::size_t end = start;
    const char32_t cp = next_char(bytes_of(text), text.size(), end);
    return unencodable(text, start, end, cp, charset);
}

std::string as_string(TextEncoder which, std::string_view text, std::size_t size) {
    std::string out;
    out.resize_and_overwrite(size, [&](char* buf, std::size_t) {
        return encode_text_into(which, text, buf, size) ? size : std::size_t{0};
    });
    return out;
}

Result<std::string> as_string_result(TextEncoder which, std::string_view text) {
    auto size = encoded_size(which, text);
    if (!size) {
        return std::unexpected(size.error());
    }
    return as_string(which, text, *size);
}

}  // namespace

Result<std::size_t> encoded_size(TextEncoder which, std::string_view text) {
    const std::size_t n = text.size();
    switch (which) {
        case TextEncoder::Utf8:
            return n;
        case TextEncoder::UsAscii: {
            const std::size_t bad = first_non_ascii(text);
            if (bad != n) {
                return unencodable_at(text, bad, "US-ASCII");
            }
            return n;
        }
        default:
            break;
    }
    const Utf8Counts c = count_utf8(text);
    std::size_t bad = n;
    switch (which) {
        case TextEncoder::Utf16:
        case TextEncoder::Utf16be:
        case TextEncoder::Utf16le: {
            const std::size_t mark = which == TextEncoder::Utf16 ? 2 : 0;
            return mark + (c.well_formed ? 2 * (c.chars + c.astral)
                                         : walk_utf16<false, false>(text, false, nullptr, 0));
        }
        case TextEncoder::Utf32:
        case TextEncoder::Utf32be:
        case TextEncoder::Utf32le: {
            const std::size_t mark = which == TextEncoder::Utf32 ? 4 : 0;
            return mark + (c.well_formed ? 4 * c.chars : walk_utf32<false, false>(text, false, nullptr, 0));
        }
        case TextEncoder::Iso8859_1: {
            if (c.well_formed && !c.beyond_latin1) {
                return c.chars;  // only C2 and C3 lead bytes: U+0080-U+00FF
            }
            const std::size_t size = walk_iso_8859_1<false>(text, nullptr, 0, bad);
            if (bad != n) {
                return unencodable_at(text, bad, "ISO-8859-1");
            }
            return size;
        }
        case TextEncoder::Windows1252: {
            if (c.well_formed && !c.beyond_latin1 && !c.c1_controls) {
                return c.chars;  // only U+00A0-U+00FF beyond ASCII
            }
            const std::size_t size = walk_windows_1252<false>(text, nullptr, 0, bad);
            if (bad != n) {
                return value_error("Failed to encode to Windows-1252");
            }
            return size;
        }
        default:
            break;
    }
    return value_error("unknown text encoder");
}

bool encode_text_into(TextEncoder which, std::string_view text, char* out, std::size_t size) {
    std::size_t bad = text.size();
    std::size_t written = kOverflow;
    switch (which) {
        case TextEncoder::UsAscii:
            if (first_non_ascii(text) != text.size()) {
                return false;
            }
            [[fallthrough]];
        case TextEncoder::Utf8:
            // The text is its own UTF-8 and (when ASCII) US-ASCII encoding.
            if (text.size() != size) {
                return false;
            }
            if (size != 0) {
                std::memcpy(out, text.data(), size);
            }
            return true;
        case TextEncoder::Utf16: written = walk_utf16<false, true>(text, true, out, size); break;
        case TextEncoder::Utf16be: written = walk_utf16<false, true>(text, false, out, size); break;
        case TextEncoder::Utf16le: written = walk_utf16<true, true>(text, false, out, size); break;
        case TextEncoder::Utf32: written = walk_utf32<false, true>(text, true, out, size); break;
        case TextEncoder::Utf32be: written = walk_utf32<false, true>(text, false, out, size); break;
        case TextEncoder::Utf32le: written = walk_utf32<true, true>(text, false, out, size); break;
        case TextEncoder::Iso8859_1: written = walk_iso_8859_1<true>(text, out, size, bad); break;
        case TextEncoder::Windows1252: written = walk_windows_1252<true>(text, out, size, bad); break;
    }
    return written == size && bad == text.size();
}

std::string encode_utf16(std::string_view text) { return as_string(TextEncoder::Utf16, text, *encoded_size(TextEncoder::Utf16, text)); }
std::string encode_utf16be(std::string_view text) { return as_string(TextEncoder::Utf16be, text, *encoded_size(TextEncoder::Utf16be, text)); }
std::string encode_utf16le(std::string_view text) { return as_string(TextEncoder::Utf16le, text, *encoded_size(TextEncoder::Utf16le, text)); }
std::string encode_utf32(std::string_view text) { return as_string(TextEncoder::Utf32, text, *encoded_size(TextEncoder::Utf32, text)); }
std::string encode_utf32be(std::string_view text) { return as_string(TextEncoder::Utf32be, text, *encoded_size(TextEncoder::Utf32be, text)); }
std::string encode_utf32le(std::string_view text) { return as_string(TextEncoder::Utf32le, text, *encoded_size(TextEncoder::Utf32le, text)); }

Result<std::string> encode_us_ascii(std::string_view text) { return as_string_result(TextEncoder::UsAscii, text); }
Result<std::string> encode_iso_8859_1(std::string_view text) { return as_string_result(TextEncoder::Iso8859_1, text); }
Result<std::string> encode_windows_1252(std::string_view text) { return as_string_result(TextEncoder::Windows1252, text); }

}  // namespace kestrune
