// Text decoders: bytes -> UTF-8 text.
//
// Every decoder validates strictly and reports the first fault; nothing
// partial is returned. Outputs are written in one pass into a buffer sized for
// the worst case and trimmed to the bytes actually written.
#include "text.hpp"

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "windows_1252_index.hpp"

namespace kestrune {
namespace {

using u8 = std::uint8_t;

// The word-at-a-time fast paths read memory in host order and their masks
// assume a little-endian host.
static_assert(std::endian::native == std::endian::little);

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

inline const u8* bytes_of(std::string_view s) { return reinterpret_cast<const u8*>(s.data()); }

inline std::uint64_t load64(const u8* p) {
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

// Writes the UTF-8 form of scalar value `cp` at `out`; returns the end.
inline char* put_utf8(char* out, char32_t cp) {
    if (cp < 0x80) {
        *out++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
        *out++ = static_cast<char>(0xC0 | (cp >> 6));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (cp >> 12));
        *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (cp >> 18));
        *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    return out;
}

// Where and how UTF-8 validation failed. `length` is 0 when the input ends
// inside a sequence that was valid so far, else the number of bytes (1-3)
// that form the invalid sequence starting at `index`.
struct Utf8Fault {
    std::size_t index;
    unsigned length;
};

inline bool is_continuation(u8 b) { return (b & 0xC0) == 0x80; }

// Validates `s` as UTF-8 (no surrogates, no overlong forms, nothing above
// U+10FFFF). Returns true when valid, else fills `fault`.
bool validate_utf8(std::string_view s, Utf8Fault& fault) {
    const u8* p = bytes_of(s);
    const std::size_t n = s.size();
    std::size_t i = 0;
    while (i < n) {
        // ASCII runs are the common case: skip them eight bytes at a time.
        while (i + 8 <= n && (load64(p + i) & kHighBits) == 0) {
            i += 8;
        }
        if (i >= n) {
            break;
        }
        const u8 b = p[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        // The lead byte fixes the sequence length and the allowed range of
        // the second byte (which excludes overlong forms, surrogates and
        // values above U+10FFFF).
        std::size_t trail;
        u8 lo = 0x80;
        u8 hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            trail = 1;
        } else if (b >= 0xE0 && b <= 0xEF) {
            trail = 2;
            if (b == 0xE0) {
                lo = 0xA0;
            } else if (b == 0xED) {
                hi = 0x9F;
            }
        } else if (b >= 0xF0 && b <= 0xF4) {
            trail = 3;
            if (b == 0xF0) {
                lo = 0x90;
            } else if (b == 0xF4) {
                hi = 0x8F;
            }
        } else {
            fault = {i, 1};
            return false;
        }
        if (i + 1 >= n) {
            fault = {i, 0};
            return false;
        }
        if (p[i + 1] < lo || p[i + 1] > hi) {
            fault = {i, 1};
            return false;
        }
        for (std::size_t k = 2; k <= trail; ++k) {
            if (i + k >= n) {
                fault = {i, 0};
                return false;
            }
            if (!is_continuation(p[i + k])) {
                fault = {i, static_cast<unsigned>(k)};
                return false;
            }
        }
        i += trail + 1;
    }
    return true;
}

// Decodes UTF-16 units (already known to be an even number of bytes) into
// `out`; returns the end, or nullptr at an unpaired surrogate.
template <bool Little>
char* utf16_to_utf8(const u8* p, std::size_t units, char* out) {
    auto unit = [p](std::size_t k) -> char32_t {
        const u8 a = p[2 * k];
        const u8 b = p[2 * k + 1];
        return Little ? static_cast<char32_t>(a | (b << 8)) : static_cast<char32_t>((a << 8) | b);
    };
    std::size_t k = 0;
    while (k < units) {
        // ASCII fast path: four units whose high bytes are zero and whose low
        // bytes are below 0x80.
        while (k + 4 <= units) {
            const std::uint64_t w = load64(p + 2 * k);
            constexpr std::uint64_t kAsciiMaskLE = 0xFF80FF80FF80FF80ULL;  // low byte first in memory
            constexpr std::uint64_t kAsciiMaskBE = 0x80FF80FF80FF80FFULL;
            if ((w & (Little ? kAsciiMaskLE : kAsciiMaskBE)) != 0) {
                break;
            }
            for (int j = 0; j < 4; ++j) {
                *out++ = static_cast<char>(p[2 * (k + j) + (Little ? 0 : 1)]);
            }
            k += 4;
        }
        if (k >= units) {
            break;
        }
        const char32_t u = unit(k);
        if (u < 0xD800 || u > 0xDFFF) {
            out = put_utf8(out, u);
            ++k;
        } else if (u <= 0xDBFF && k + 1 < units) {
            const char32_t low = unit(k + 1);
            if (low < 0xDC00 || low > 0xDFFF) {
                return nullptr;
            }
            out = put_utf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
            k += 2;
        } else {
            return nullptr;  // a low surrogate first, or a high one at the end
        }
    }
    return out;
}

// Decodes UTF-32 units into `out`; returns the end, or nullptr with
// `bad_unit` set at the first unit that is not a scalar value.
template <bool Little>
char* utf32_to_utf8(const u8* p, std::size_t units, char* out, std::uint32_t& bad_unit) {
    for (std::size_t k = 0; k < units; ++k) {
        const u8* q = p + 4 * k;
        const std::uint32_t u =
            Little ? (std::uint32_t{q[0]} | std::uint32_t{q[1]} << 8 | std::uint32_t{q[2]} << 16 |
                      std::uint32_t{q[3]} << 24)
                   : (std::uint32_t{q[0]} << 24 | std::uint32_t{q[1]} << 16 | std::uint32_t{q[2]} << 8 |
                      std::uint32_t{q[3]});
        if (u < 0x80) {
            *out++ = static_cast<char>(u);
        } else if ((u >= 0xD800 && u <= 0xDFFF) || u > 0x10FFFF) {
            bad_unit = u;
            return nullptr;
        } else {
            out = put_utf8(out, u);
        }
    }
    return out;
}

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
    std::uint32_t bad_unit = 0;
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
    out.resize_and_overwrite(n * 3, [&](char* buf, std::size_t) {
        char* o = buf;
        std::size_t i = 0;
        while (i < n) {
            if (i + 8 <= n && (load64(p + i) & kHighBits) == 0) {
                std::memcpy(o, p + i, 8);
                o += 8;
                i += 8;
                continue;
            }
            o = put_utf8(o, windows_1252::code_point(p[i++]));
        }
        return static_cast<std::size_t>(o - buf);
    });
    return out;
}

}  // namespace kestrune
