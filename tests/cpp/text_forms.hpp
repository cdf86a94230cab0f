// Reference forms of text for the text codec tests, built one code point at
// a time, and the encoders driven from code points in any unit width.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "encoder/text.hpp"

namespace text_forms {

inline bool is_scalar(char32_t cp) { return cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF); }

inline std::string utf8(const std::u32string& s) {
    std::string out;
    for (char32_t c : s) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
        } else if (c < 0x10000) {
            out += {static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
                    static_cast<char>(0x80 | (c & 0x3F))};
        } else {
            out += {static_cast<char>(0xF0 | (c >> 18)), static_cast<char>(0x80 | ((c >> 12) & 0x3F)),
                    static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
        }
    }
    return out;
}

inline void put(std::string& out, std::uint32_t v, int bytes, bool little) {
    for (int k = 0; k < bytes; ++k) {
        const int shift = 8 * (little ? k : bytes - 1 - k);
        out += static_cast<char>((v >> shift) & 0xFF);
    }
}

inline std::string utf16(const std::u32string& s, bool little) {
    std::string out;
    for (char32_t c : s) {
        if (c < 0x10000) {
            put(out, c, 2, little);
        } else {
            put(out, 0xD800 + ((c - 0x10000) >> 10), 2, little);
            put(out, 0xDC00 + ((c - 0x10000) & 0x3FF), 2, little);
        }
    }
    return out;
}

inline std::string utf32(const std::u32string& s, bool little) {
    std::string out;
    for (char32_t c : s) {
        put(out, c, 4, little);
    }
    return out;
}

// The narrowest unit width that holds every code point of `s`.
inline unsigned narrowest(const std::u32string& s) {
    char32_t top = 0;
    for (char32_t c : s) {
        top = std::max(top, c);
    }
    return top < 0x100 ? 1 : top < 0x10000 ? 2 : 4;
}

// `s` stored in units of `width` bytes (each code point must fit).
struct Units {
    std::vector<std::uint8_t> u8;
    std::vector<std::uint16_t> u16;
    std::vector<std::uint32_t> u32;
    kestrune::TextView view;

    Units(const std::u32string& s, unsigned width) {
        bool ascii = true;
        for (char32_t c : s) {
            ascii = ascii && c < 0x80;
        }
        const void* data = nullptr;
        if (width == 1) {
            u8.assign(s.begin(), s.end());
            data = u8.data();
        } else if (width == 2) {
            u16.assign(s.begin(), s.end());
            data = u16.data();
        } else {
            u32.assign(s.begin(), s.end());
            data = u32.data();
        }
        view = {data, s.size(), width, ascii};
    }
};

// The encoding of `s` in units of `width`, made in one pass into a buffer of
// the bound; `consistent` turns false when anything is written past the
// bound or the written size exceeds it. The error message on failure.
struct Encoded {
    bool ok;
    std::string bytes;  // or the message
};

inline Encoded encode(kestrune::TextEncoder which, const std::u32string& s, unsigned width, bool& consistent) {
    const Units units(s, width);
    const auto bound = kestrune::encoded_size_bound(which, units.view);
    if (!bound) {
        consistent = false;
        return {false, "no bound"};
    }
    std::string out(*bound + 1, '\x5A');
    const auto size = kestrune::encode_text_into(which, units.view, out.data());
    consistent = consistent && out[*bound] == '\x5A' && (!size || *size <= *bound);
    if (!size) {
        return {false, size.error().message};
    }
    out.resize(*size);
    return {true, out};
}

// The encoding of `s` in its narrowest units, or "!" and the message.
inline std::string encode(kestrune::TextEncoder which, const std::u32string& s) {
    bool consistent = true;
    const Encoded e = encode(which, s, narrowest(s), consistent);
    return consistent ? (e.ok ? e.bytes : "!" + e.bytes) : "!past the bound";
}

}  // namespace text_forms
