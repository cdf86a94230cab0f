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
#include "text_forms.hpp"

using namespace kestrune;

using text_forms::is_scalar;
using text_forms::utf16;
using text_forms::utf32;
using text_forms::utf8;

namespace {

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

TEST_CASE("encoders stay within the bound for every scalar value, from every unit width that holds it") {
    bool consistent = true;
    int bad = 0;
    std::u32string run;
    auto check_run = [&] {
        const std::u32string text = U"0123456789abcdef012" + run;
        for (unsigned width : {1u, 2u, 4u}) {
            if (width < text_forms::narrowest(text)) {
                continue;
            }
            auto enc = [&](TextEncoder e) { return text_forms::encode(e, text, width, consistent); };
            bad += enc(TextEncoder::Utf8).bytes == utf8(text) ? 0 : 1;
            bad += enc(TextEncoder::Utf16).bytes == "\xFE\xFF" + utf16(text, false) ? 0 : 1;
            bad += enc(TextEncoder::Utf16le).bytes == utf16(text, true) ? 0 : 1;
            bad += enc(TextEncoder::Utf32).bytes == std::string("\0\0\xFE\xFF", 4) + utf32(text, false) ? 0 : 1;
            bad += enc(TextEncoder::Utf32le).bytes == utf32(text, true) ? 0 : 1;
            enc(TextEncoder::Iso8859_1);
            enc(TextEncoder::Windows1252);
        }
        run.clear();
    };
    for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        // Every value below U+0800, then every 7th.
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

TEST_CASE("encoders around the block edges: one character at every offset, any tail length, every width") {
    // A non-ASCII character after 0 to 140 ASCII units lands at every offset
    // of the blocks; the tails leave partial blocks behind.
    int bad = 0;
    bool consistent = true;
    for (char32_t c : {U'\u00E9', U'\u00FF', U'\u0080', U'\u0081', U'\u20AC', U'\u0100', U'\U0001F600'}) {
        for (std::size_t before = 0; before <= 140; ++before) {
            for (std::size_t after : {0, 1, 15, 17, 70}) {
                const std::u32string text = std::u32string(before, U'a') + c + std::u32string(after, U'b');
                const std::string a(before, 'a');
                const std::string b(after, 'b');
                for (unsigned width : {1u, 2u, 4u}) {
                    if (width < text_forms::narrowest(text)) {
                        continue;
                    }
                    auto enc = [&](TextEncoder e) { return text_forms::encode(e, text, width, consistent); };
                    bad += enc(TextEncoder::Utf8).bytes == utf8(text) ? 0 : 1;
                    bad += enc(TextEncoder::Utf16be).bytes == utf16(text, false) ? 0 : 1;
                    bad += enc(TextEncoder::Utf32).bytes == std::string("\0\0\xFE\xFF", 4) + utf32(text, false) ? 0 : 1;
                    char notation[16];
                    std::snprintf(notation, sizeof notation, "U+%04X", static_cast<unsigned>(c));
                    const std::string unencodable = "Character '" + utf8(std::u32string(1, c)) + "' (" + notation + ") is not valid ";
                    const auto ascii = enc(TextEncoder::UsAscii);
                    bad += !ascii.ok && ascii.bytes == unencodable + "US-ASCII" ? 0 : 1;
                    const auto latin1 = enc(TextEncoder::Iso8859_1);
                    if (c <= 0xFF) {
                        bad += latin1.ok && latin1.bytes == a + static_cast<char>(c) + b ? 0 : 1;
                    } else {
                        bad += !latin1.ok && latin1.bytes == unencodable + "ISO-8859-1" ? 0 : 1;
                    }
                    const auto w1252 = enc(TextEncoder::Windows1252);
                    const int byte = c == U'\u20AC' ? 0x80 : c == U'\u0081' || (c >= 0xA0 && c <= 0xFF) ? static_cast<int>(c) : -1;
                    if (byte >= 0) {
                        bad += w1252.ok && w1252.bytes == a + static_cast<char>(byte) + b ? 0 : 1;
                    } else {
                        bad += !w1252.ok && w1252.bytes == "Failed to encode to Windows-1252" ? 0 : 1;
                    }
                }
            }
        }
    }
    CHECK(bad == 0);
    // Plain ASCII of every length up to 140, in every width: nothing to cut
    // where the bound is exact.
    for (std::size_t len = 0; len <= 140; ++len) {
        const std::u32string s(len, U'q');
        for (unsigned width : {1u, 2u, 4u}) {
            for (TextEncoder e : {TextEncoder::UsAscii, TextEncoder::Utf8, TextEncoder::Windows1252}) {
                bad += text_forms::encode(e, s, width, consistent).bytes == std::string(len, 'q') ? 0 : 1;
            }
            bad += text_forms::encode(TextEncoder::Utf32le, s, width, consistent).bytes.size() == 4 * len ? 0 : 1;
            bad += text_forms::encode(TextEncoder::Utf16le, s, width, consistent).bytes.size() == 2 * len ? 0 : 1;
        }
    }
    CHECK(bad == 0);
    CHECK(consistent);
}

TEST_CASE("the bound covers the marks and the widest form per unit width, and refuses sizes past PTRDIFF_MAX") {
    auto bound = [](TextEncoder e, std::size_t n, unsigned width, bool ascii = false) {
        return encoded_size_bound(e, TextView{nullptr, n, width, ascii});
    };
    CHECK(bound(TextEncoder::Utf16, 5, 1) == std::optional<std::size_t>{12});
    CHECK(bound(TextEncoder::Utf16, 5, 4) == std::optional<std::size_t>{22});
    CHECK(bound(TextEncoder::Utf32be, 5, 2) == std::optional<std::size_t>{20});
    CHECK(bound(TextEncoder::Utf32, 0, 1) == std::optional<std::size_t>{4});
    CHECK(bound(TextEncoder::Windows1252, 5, 4) == std::optional<std::size_t>{5});
    CHECK(bound(TextEncoder::Utf8, 5, 1, true) == std::optional<std::size_t>{5});
    CHECK(bound(TextEncoder::Utf8, 5, 1) == std::optional<std::size_t>{10});
    CHECK(bound(TextEncoder::Utf8, 5, 2) == std::optional<std::size_t>{15});
    CHECK(bound(TextEncoder::Utf8, 5, 4) == std::optional<std::size_t>{20});
    constexpr auto max = static_cast<std::size_t>(PTRDIFF_MAX);
    CHECK(bound(TextEncoder::Utf32le, max / 4, 1) == std::optional<std::size_t>{max / 4 * 4});
    CHECK(!bound(TextEncoder::Utf32, max / 4, 1));
    CHECK(!bound(TextEncoder::Utf32le, max / 4 + 1, 1));
    CHECK(!bound(TextEncoder::Utf16be, max / 2 + 1, 2));
    CHECK(!bound(TextEncoder::Utf8, max / 3 + 1, 2));
    CHECK(bound(TextEncoder::UsAscii, max, 4) == std::optional<std::size_t>{max});
    CHECK(!bound(TextEncoder::Utf8, std::size_t(-1), 1, true));
}
