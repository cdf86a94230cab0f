// Exhaustive checks of the text codecs over code points, code units and short
// byte strings, cheap enough for every run.
#include <string>
#include <vector>

#include "check.hpp"
#include "decoder/text.hpp"
#include "decoder/windows_1252_index.hpp"
#include "encoder/text.hpp"
#include "text_forms.hpp"

using namespace kestrune;

using text_forms::encode;
using text_forms::is_scalar;

namespace {

std::string be32(char32_t cp) {
    return {static_cast<char>(cp >> 24), static_cast<char>((cp >> 16) & 0xFF), static_cast<char>((cp >> 8) & 0xFF),
            static_cast<char>(cp & 0xFF)};
}

}  // namespace

TEST_CASE("every scalar value round-trips through UTF-8, UTF-16 and UTF-32 in both orders") {
    int bad = 0;
    for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        if (!is_scalar(cp)) {
            continue;
        }
        const std::u32string text(1, cp);
        auto utf8 = decode_utf32_with_endianness(be32(cp), false);
        if (!utf8) {
            ++bad;
            continue;
        }
        const auto le16 = decode_utf16_with_endianness(encode(TextEncoder::Utf16le, text), true);
        const auto be16 = decode_utf16(encode(TextEncoder::Utf16, text));
        const auto le32 = decode_utf32_with_endianness(encode(TextEncoder::Utf32le, text), true);
        const bool ok = decode_utf8(*utf8).has_value() && encode(TextEncoder::Utf8, text) == *utf8 &&
                        encode(TextEncoder::Utf32be, text) == be32(cp) && le16 && *le16 == *utf8 && be16 &&
                        *be16 == *utf8 && le32 && *le32 == *utf8 &&
                        encode(TextEncoder::Utf16be, text).size() == (cp < 0x10000 ? 2u : 4u);
        bad += ok ? 0 : 1;
    }
    CHECK(bad == 0);
}

TEST_CASE("UTF-16 units: alone, every surrogate fails; pairs decode only high then low") {
    int bad = 0;
    for (char32_t u = 0; u <= 0xFFFF; ++u) {
        const std::string be{static_cast<char>(u >> 8), static_cast<char>(u & 0xFF)};
        const bool surrogate = u >= 0xD800 && u <= 0xDFFF;
        bad += decode_utf16_with_endianness(be, false).has_value() == !surrogate ? 0 : 1;
    }
    CHECK(bad == 0);
    CHECK(decode_utf16_with_endianness(std::string("\xD8\x3D\xDE\x00", 4), false).value() == "\xF0\x9F\x98\x80");
    CHECK(!decode_utf16_with_endianness(std::string("\xDE\x00\xD8\x3D", 4), false));
    CHECK(!decode_utf16_with_endianness(std::string("\xD8\x3D\xD8\x3D", 4), false));
    CHECK(!decode_utf16_with_endianness(std::string("\xDC\x00\xDC\x00", 4), false));
}

// Validity of every byte string of length 1 to 3 against the definition: a
// concatenation of the canonical encodings of scalar values.
TEST_CASE("UTF-8 validation agrees with the canonical encodings on all strings up to 3 bytes") {
    // canonical[len][v]: the len-byte big-endian value v encodes a scalar.
    std::vector<std::vector<bool>> canonical(4);
    for (std::size_t len = 1; len <= 3; ++len) {
        canonical[len].assign(std::size_t{1} << (8 * len), false);
    }
    for (char32_t cp = 0; cp < 0x10000; ++cp) {
        if (is_scalar(cp)) {
            const std::string e = *decode_utf32_with_endianness(be32(cp), false);
            unsigned long v = 0;
            for (char c : e) {
                v = (v << 8) | static_cast<unsigned char>(c);
            }
            canonical[e.size()][v] = true;
        }
    }
    auto piece = [&](unsigned long v, int from, int to, int len) {  // bytes [from, to) of v
        const int n = to - from;
        return canonical[n][(v >> (8 * (len - to))) & ((1ul << (8 * n)) - 1)];
    };
    auto decomposable = [&](unsigned long v, int len) {
        for (int a = 1; a <= len; ++a) {
            if (!piece(v, 0, a, len)) {
                continue;
            }
            if (a == len) {
                return true;
            }
            for (int b = a + 1; b <= len; ++b) {
                if (piece(v, a, b, len) && (b == len || piece(v, b, len, len))) {
                    return true;
                }
            }
        }
        return false;
    };
    int bad = 0;
    std::string s;
    for (int len = 1; len <= 3; ++len) {
        s.resize(len);
        for (unsigned long v = 0; v < (1ul << (8 * len)); ++v) {
            for (int k = 0; k < len; ++k) {
                s[k] = static_cast<char>((v >> (8 * (len - 1 - k))) & 0xFF);
            }
            bad += decode_utf8(s).has_value() == decomposable(v, len) ? 0 : 1;
        }
    }
    CHECK(bad == 0);
}

TEST_CASE("windows-1252 index is a bijection between 256 bytes and 256 code points") {
    int encodable = 0;
    int bad = 0;
    for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        const int b = windows_1252::byte_for(cp);
        if (b >= 0) {
            ++encodable;
            bad += windows_1252::code_point(static_cast<std::uint8_t>(b)) == cp ? 0 : 1;
        }
    }
    CHECK(encodable == 256);
    CHECK(bad == 0);
}

TEST_CASE("a surrogate or a unit past U+10FFFF fails every encoder at its index, after earlier charset faults") {
    // Not reachable through a str that encodes to UTF-8, but units may hold
    // any value: the walks stop there instead of writing an ill-formed form.
    int bad = 0;
    for (char32_t u : {char32_t{0xD800}, char32_t{0xDBFF}, char32_t{0xDC00}, char32_t{0xDFFF}, char32_t{0x110000},
                       char32_t{0xFFFFFFFF}}) {
        for (std::size_t at : {std::size_t{0}, std::size_t{5}, std::size_t{16}, std::size_t{40}}) {
            const std::u32string text = std::u32string(at, U'a') + u + U"bc" + std::u32string(20, U'd');
            for (unsigned width : {2u, 4u}) {
                if (width == 2 && u > 0xFFFF) {
                    continue;
                }
                const text_forms::Units units(text, width);
                bad += has_surrogate(units.view) ? 0 : 1;
                for (int e = 0; e <= static_cast<int>(TextEncoder::Windows1252); ++e) {
                    bool consistent = true;
                    const auto got = text_forms::encode(static_cast<TextEncoder>(e), text, width, consistent);
                    bad += consistent && !got.ok && got.bytes == surrogate_message(at) ? 0 : 1;
                }
            }
        }
    }
    CHECK(bad == 0);
    CHECK(surrogate_message(7) == "Text holds a surrogate or a code point past U+10FFFF at index 7, which has no encoding");
    CHECK(!has_surrogate(text_forms::Units(U"a\uD7FF\uE000\U0010FFFF", 4).view));
    // A character that the charset lacks, before the surrogate, is reported.
    bool ok = true;
    const std::u32string text = {U'a', U'b', 0xE9, 0xD800};
    CHECK(text_forms::encode(TextEncoder::UsAscii, text, 2, ok).bytes == "Character '\u00E9' (U+00E9) is not valid US-ASCII");
    CHECK(text_forms::encode(TextEncoder::Iso8859_1, text, 4, ok).bytes == surrogate_message(3));
    CHECK(text_forms::encode(TextEncoder::Windows1252, std::u32string{0x80, 0xD800}, 2, ok).bytes == "Failed to encode to Windows-1252");
    CHECK(ok);
}

TEST_CASE("units of an unknown width are refused") {
    const char data[4] = {};
    char out[16];
    const auto r = encode_text_into(TextEncoder::Utf8, TextView{data, 1, 3, false}, out);
    CHECK(!r && r.error().message == "text units must be 1, 2 or 4 bytes wide");
}
