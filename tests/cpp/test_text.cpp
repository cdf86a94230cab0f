// Exhaustive checks of the text codecs over code points, code units and short
// byte strings, cheap enough for every run.
#include <string>
#include <vector>

#include "check.hpp"
#include "decoder/text.hpp"
#include "decoder/windows_1252_index.hpp"
#include "encoder/text.hpp"

using namespace kestrune;

namespace {

std::string be32(char32_t cp) {
    return {static_cast<char>(cp >> 24), static_cast<char>((cp >> 16) & 0xFF), static_cast<char>((cp >> 8) & 0xFF),
            static_cast<char>(cp & 0xFF)};
}

bool is_scalar(char32_t cp) { return cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF); }

}  // namespace

TEST_CASE("every scalar value round-trips through UTF-16 and UTF-32 in both orders") {
    int bad = 0;
    for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        if (!is_scalar(cp)) {
            continue;
        }
        auto utf8 = decode_utf32_with_endianness(be32(cp), false);
        if (!utf8) {
            ++bad;
            continue;
        }
        const auto le16 = decode_utf16_with_endianness(encode_utf16le(*utf8), true);
        const auto be16 = decode_utf16(encode_utf16(*utf8));
        const auto le32 = decode_utf32_with_endianness(encode_utf32le(*utf8), true);
        const bool ok = decode_utf8(*utf8).has_value() && encode_utf32be(*utf8) == be32(cp) && le16 &&
                        *le16 == *utf8 && be16 && *be16 == *utf8 && le32 && *le32 == *utf8 &&
                        encode_utf16be(*utf8).size() == (cp < 0x10000 ? 2u : 4u);
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

TEST_CASE("encoders never read past a truncated or stray lead byte") {
    // Not reachable from Python (str text is valid UTF-8), but the codec API
    // takes any bytes: a malformed tail becomes U+FFFD instead of an overread.
    for (const char* tail : {"\xF0\x9F\x98", "\xE2\x82", "\xC3", "\x80", "\xFF"}) {
        const std::string s = std::string("ab") + tail;
        CHECK(encode_utf16be(s).substr(4, 2) == "\xFF\xFD");
        CHECK(encode_utf32le(s).substr(8, 4) == std::string("\xFD\xFF\x00\x00", 4));
        CHECK(!encode_windows_1252(s));
    }
}
