// The measuring and filling passes of the text decoders and the single pass
// of the encoders: every unit width, the block paths, and agreement between
// measured sizes (or bounds) and what is written.
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "check.hpp"
#include "decoder/text.hpp"
#include "encoder/text.hpp"

using namespace kestrune;

namespace {

bool is_scalar(char32_t cp) { return cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF); }

std::string utf8(const std::u32string& s) {
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

void put(std::string& out, std::uint32_t v, int bytes, bool little) {
    for (int k = 0; k < bytes; ++k) {
        const int shift = 8 * (little ? k : bytes - 1 - k);
        out += static_cast<char>((v >> shift) & 0xFF);
    }
}

std::string utf16(const std::u32string& s, bool little) {
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

std::string utf32(const std::u32string& s, bool little) {
    std::string out;
    for (char32_t c : s) {
        put(out, c, 4, little);
    }
    return out;
}

char32_t width_class(char32_t c) { return c < 0x80 ? 0 : c < 0x100 ? 1 : c < 0x10000 ? 2 : 3; }

template <class Unit>
bool fills_as(const MeasuredText& m, const std::u32string& expected) {
    std::vector<Unit> out(m.length + 1, Unit{0x5A});
    fill_text(m, out.data());
    if (out[m.length] != Unit{0x5A}) {
        return false;  // wrote past the measured length
    }
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (out[i] != static_cast<Unit>(expected[i])) {
            return false;
        }
    }
    return true;
}

// Measures `bytes` with `which` and checks length, width class and the fill
// into the narrowest unit that holds the text and into 32-bit units.
bool decodes_to(TextDecoder which, const std::string& bytes, const std::u32string& expected) {
    const auto m = measure_text(which, bytes);
    if (!m || m->length != expected.size() || m->max_char > 0x10FFFF) {
        return false;
    }
    char32_t top = 0;
    for (char32_t c : expected) {
        top = std::max(top, c);
    }
    if (m->max_char < top || width_class(m->max_char) != width_class(top)) {
        return false;
    }
    const bool narrow = top < 0x100      ? fills_as<std::uint8_t>(*m, expected)
                        : top < 0x10000 ? fills_as<std::uint16_t>(*m, expected)
                                        : true;
    return narrow && fills_as<std::uint32_t>(*m, expected);
}

// Encodes in one pass into a buffer of the bound, checking that nothing is
// written past the bound; returns the bytes (empty on an error).
std::string encoded(TextEncoder which, const std::string& text, bool& consistent) {
    const auto bound = encoded_size_bound(which, text.size());
    if (!bound) {
        consistent = false;
        return {};
    }
    std::string out(*bound + 1, '\x5A');
    const auto size = encode_text_into(which, text, out.data());
    consistent = consistent && out[*bound] == '\x5A' && (!size || *size <= *bound);
    if (!size) {
        return {};
    }
    out.resize(*size);
    return out;
}

}  // namespace

TEST_CASE("every scalar value decodes through each form and unit width, in runs that reach the block paths") {
    int bad = 0;
    std::u32string run;
    auto check_run = [&] {
        // Behind an ASCII run so that the scalar values straddle blocks.
        const std::u32string text = U"0123456789abcdef012" + run;
        bad += decodes_to(TextDecoder::Utf32be, utf32(text, false), text) ? 0 : 1;
        bad += decodes_to(TextDecoder::Utf32le, utf32(text, true), text) ? 0 : 1;
        bad += decodes_to(TextDecoder::Utf16be, utf16(text, false), text) ? 0 : 1;
        bad += decodes_to(TextDecoder::Utf16le, utf16(text, true), text) ? 0 : 1;
        bad += decodes_to(TextDecoder::Utf8, utf8(text), text) ? 0 : 1;
        run.clear();
    };
    for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        if (is_scalar(cp)) {
            run += cp;
            if (run.size() == 40) {
                check_run();
            }
        }
    }
    check_run();
    CHECK(bad == 0);
}

TEST_CASE("single-byte decoders fill every width, ASCII and Latin-1 text in the narrowest") {
    std::string all;
    std::u32string latin1;
    for (int r = 0; r < 3; ++r) {
        for (int b = 0; b < 256; ++b) {
            all += static_cast<char>(b);
            latin1 += static_cast<char32_t>(b);
        }
    }
    CHECK(decodes_to(TextDecoder::Iso8859_1, all, latin1));
    std::string ascii;
    std::u32string ascii32;
    for (int i = 0; i < 100; ++i) {
        ascii += static_cast<char>(i);
        ascii32 += static_cast<char32_t>(i);
    }
    CHECK(decodes_to(TextDecoder::UsAscii, ascii, ascii32));
    CHECK(decodes_to(TextDecoder::Windows1252, ascii, ascii32));
    // Bytes 80-9F inside and outside blocks: the five undefined ones keep
    // Latin-1 storage, the others need 16-bit units.
    const std::string undefined = std::string(20, 'x') + "\x81\x8D\x8F\x90\x9D";
    CHECK(decodes_to(TextDecoder::Windows1252, undefined, std::u32string(20, U'x') + U"\x81\x8D\x8F\x90\x9D"));
    const std::string euro = std::string(20, 'x') + "\x80\xE9" + std::string(20, 'y');
    CHECK(decodes_to(TextDecoder::Windows1252, euro, std::u32string(20, U'x') + U"\u20AC\u00E9" + std::u32string(20, U'y')));
    const std::string marked = "\xEF\xBB\xBF" + std::string(20, 'a') + "\xF0\x9F\x98\x80";
    CHECK(decodes_to(TextDecoder::Windows1252, marked, std::u32string(20, U'a') + U"\U0001F600"));
}

TEST_CASE("encoders stay within the bound for every scalar value") {
    bool consistent = true;
    int bad = 0;
    std::u32string run;
    auto check_run = [&] {
        const std::u32string text = U"0123456789abcdef012" + run;
        const std::string u = utf8(text);
        bad += encoded(TextEncoder::Utf16, u, consistent) == "\xFE\xFF" + utf16(text, false) ? 0 : 1;
        bad += encoded(TextEncoder::Utf16le, u, consistent) == utf16(text, true) ? 0 : 1;
        bad += encoded(TextEncoder::Utf32, u, consistent) == std::string("\0\0\xFE\xFF", 4) + utf32(text, false) ? 0 : 1;
        bad += encoded(TextEncoder::Utf32le, u, consistent) == utf32(text, true) ? 0 : 1;
        encoded(TextEncoder::Iso8859_1, u, consistent);
        encoded(TextEncoder::Windows1252, u, consistent);
        run.clear();
    };
    for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        // Every value below U+0800, then every 7th: each lead byte pattern.
        if (is_scalar(cp) && (cp < 0x800 || cp % 7 == 0)) {
            run += cp;
            if (run.size() == 40) {
                check_run();
            }
        }
    }
    check_run();
    CHECK(bad == 0);
    CHECK(consistent);
}

TEST_CASE("malformed UTF-8 stays within the bound, around a block boundary") {
    // Not reachable from Python, but the walk must stay within the bound
    // whatever the bytes.
    bool consistent = true;
    std::string s(40, 'a');
    for (unsigned v = 0; v < 0x10000; ++v) {
        for (std::size_t at : {std::size_t{14}, std::size_t{38}}) {
            s.assign(40, 'a');
            s[at] = static_cast<char>(v >> 8);
            s[at + 1] = static_cast<char>(v & 0xFF);
            for (TextEncoder e : {TextEncoder::Utf16be, TextEncoder::Utf32le, TextEncoder::Iso8859_1,
                                  TextEncoder::Windows1252}) {
                encoded(e, s, consistent);
            }
        }
    }
    CHECK(consistent);
    bool ok = true;
    CHECK(encoded(TextEncoder::Utf16be, std::string(17, 'a') + "\xF0\x80\x80\x80", ok).size() == 36);
    CHECK(ok);
}

TEST_CASE("encoders around the ASCII block edges: one character at every offset, any tail length") {
    // A non-ASCII character after 0 to 140 ASCII bytes lands at every offset
    // of the 16- and 64-byte blocks; the tails leave partial blocks behind.
    int bad = 0;
    for (char32_t c : {U'\u00E9', U'\u00FF', U'\u0080', U'\u20AC', U'\u0100', U'\U0001F600'}) {
        for (std::size_t before = 0; before <= 140; ++before) {
            for (std::size_t after : {0, 1, 15, 17, 70}) {
                const std::u32string text = std::u32string(before, U'a') + c + std::u32string(after, U'b');
                const std::string u = utf8(text);
                bad += encode_utf16be(u) == utf16(text, false) ? 0 : 1;
                bad += encode_utf32(u) == std::string("\0\0\xFE\xFF", 4) + utf32(text, false) ? 0 : 1;
                const auto ascii = encode_us_ascii(u);
                char notation[16];
                std::snprintf(notation, sizeof notation, "U+%04X", static_cast<unsigned>(c));
                bad += !ascii && ascii.error().message ==
                                     "Character '" + utf8(std::u32string(1, c)) + "' (" + notation + ") is not valid US-ASCII"
                           ? 0
                           : 1;
                const auto latin1 = encode_iso_8859_1(u);
                if (c <= 0xFF) {
                    bad += latin1 && *latin1 == std::string(before, 'a') + static_cast<char>(c) + std::string(after, 'b')
                               ? 0
                               : 1;
                } else {
                    bad += !latin1 && latin1.error().message.ends_with(") is not valid ISO-8859-1") ? 0 : 1;
                }
                const auto w1252 = encode_windows_1252(u);
                const char expected = c == U'\u20AC' ? '\x80' : static_cast<char>(c);
                if (c == U'\u20AC' || (c >= 0xA0 && c <= 0xFF)) {
                    bad += w1252 && *w1252 == std::string(before, 'a') + expected + std::string(after, 'b') ? 0 : 1;
                } else {
                    bad += !w1252 && w1252.error().message == "Failed to encode to Windows-1252" ? 0 : 1;
                }
            }
        }
    }
    CHECK(bad == 0);
    // Plain ASCII of every length up to 140: the bound is exact, nothing to cut.
    for (std::size_t len = 0; len <= 140; ++len) {
        const std::string s(len, 'q');
        bad += encode_us_ascii(s) == s && encode_utf32le(s).size() == 4 * len && encode_utf16le(s).size() == 2 * len ? 0 : 1;
    }
    CHECK(bad == 0);
}

TEST_CASE("the bound covers the marks and refuses sizes past PTRDIFF_MAX instead of wrapping") {
    CHECK(encoded_size_bound(TextEncoder::Utf16, 5) == std::optional<std::size_t>{12});
    CHECK(encoded_size_bound(TextEncoder::Utf32be, 5) == std::optional<std::size_t>{20});
    CHECK(encoded_size_bound(TextEncoder::Utf32, 0) == std::optional<std::size_t>{4});
    CHECK(encoded_size_bound(TextEncoder::Windows1252, 5) == std::optional<std::size_t>{5});
    constexpr auto max = static_cast<std::size_t>(PTRDIFF_MAX);
    CHECK(encoded_size_bound(TextEncoder::Utf32le, max / 4) == std::optional<std::size_t>{max / 4 * 4});
    CHECK(!encoded_size_bound(TextEncoder::Utf32, max / 4));
    CHECK(!encoded_size_bound(TextEncoder::Utf32le, max / 4 + 1));
    CHECK(!encoded_size_bound(TextEncoder::Utf16be, max / 2 + 1));
    CHECK(encoded_size_bound(TextEncoder::UsAscii, max) == std::optional<std::size_t>{max});
    CHECK(!encoded_size_bound(TextEncoder::Utf8, std::size_t(-1)));
}
