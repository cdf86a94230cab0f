// Text codecs (the Unicode forms and the single-byte charsets) against slow
// references that handle one code point at a time: a strict UTF-8 reader
// written from the byte ranges of well-formed sequences, UTF-16/32 from the
// surrogate rules, and windows-1252 from a table of the characters
// themselves. Output buffers are exactly as large as the codecs ask for, so
// that AddressSanitizer sees any write past them.
#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <variant>

#include "decoder/text.hpp"
#include "encoder/text.hpp"
#include "fuzz_check.hpp"

using namespace kestrune;

namespace {

using Text = std::u32string;
using Decoded = std::variant<Text, std::string>;  // the text, or the error message

// Bytes 0x80 to 0x9F in windows-1252; the five unassigned ones are the C1
// controls of the same value.
const Text kWindows1252High = U"€\u0081‚ƒ„…†‡ˆ‰Š‹Œ\u008DŽ\u008F"  // 80-8F
                               U"\u0090‘’“”•–—˜™š›œ\u009DžŸ";        // 90-9F

char32_t windows_1252(unsigned char b) { return b >= 0x80 && b < 0xA0 ? kWindows1252High[b - 0x80] : b; }

// The byte of `c` by inverting the table (it is one to one), or -1.
int windows_1252_byte(char32_t c) {
    static const std::map<char32_t, int> inverse = [] {
        std::map<char32_t, int> m;
        for (int b = 0; b < 256; ++b) {
            m[windows_1252(static_cast<unsigned char>(b))] = b;
        }
        return m;
    }();
    const auto found = inverse.find(c);
    return found == inverse.end() ? -1 : found->second;
}

std::string utf8_of(const Text& text) {
    std::string out;
    for (const char32_t c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += {static_cast<char>(0xC0 | c >> 6), static_cast<char>(0x80 | (c & 0x3F))};
        } else if (c < 0x10000) {
            out += {static_cast<char>(0xE0 | c >> 12), static_cast<char>(0x80 | (c >> 6 & 0x3F)),
                    static_cast<char>(0x80 | (c & 0x3F))};
        } else {
            out += {static_cast<char>(0xF0 | c >> 18), static_cast<char>(0x80 | (c >> 12 & 0x3F)),
                    static_cast<char>(0x80 | (c >> 6 & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
        }
    }
    return out;
}

Decoded ref_utf8(std::string_view s) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const auto bad = [](std::size_t length, std::size_t at) {
        return "Invalid UTF-8 bytes: invalid utf-8 sequence of " + std::to_string(length) + " bytes from index " +
               std::to_string(at);
    };
    const auto incomplete = [](std::size_t at) {
        return "Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index " + std::to_string(at);
    };
    Text out;
    for (std::size_t i = 0; i < s.size();) {
        const unsigned b = byte(i);
        if (b < 0x80) {
            out += b;
            ++i;
            continue;
        }
        std::size_t length;
        unsigned lo = 0x80, hi = 0xBF;  // allowed second bytes
        if (b >= 0xC2 && b <= 0xDF) {
            length = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            length = 3;
            lo = b == 0xE0 ? 0xA0 : 0x80;
            hi = b == 0xED ? 0x9F : 0xBF;
        } else if (b >= 0xF0 && b <= 0xF4) {
            length = 4;
            lo = b == 0xF0 ? 0x90 : 0x80;
            hi = b == 0xF4 ? 0x8F : 0xBF;
        } else {
            return bad(1, i);
        }
        char32_t c = b & (0xFF >> (length + 1));
        for (std::size_t k = 1; k < length; ++k) {
            if (i + k >= s.size()) {
                return incomplete(i);
            }
            const unsigned next = byte(i + k);
            if (k == 1 ? (next < lo || next > hi) : (next < 0x80 || next > 0xBF)) {
                return bad(k, i);
            }
            c = c << 6 | (next & 0x3F);
        }
        out += c;
        i += length;
    }
    return out;
}

unsigned unit_at(std::string_view s, std::size_t i, std::size_t width, bool little) {
    unsigned u = 0;
    for (std::size_t k = 0; k < width; ++k) {
        const unsigned b = static_cast<unsigned char>(s[i + (little ? width - 1 - k : k)]);
        u = u << 8 | b;
    }
    return u;
}

Decoded ref_utf16(std::string_view s, bool little) {
    if (s.size() % 2 != 0) {
        return std::string("UTF-16 requires an even number of bytes");
    }
    Text out;
    for (std::size_t i = 0; i < s.size(); i += 2) {
        const unsigned u = unit_at(s, i, 2, little);
        if (u >= 0xD800 && u < 0xDC00 && i + 2 < s.size()) {
            const unsigned v = unit_at(s, i + 2, 2, little);
            if (v >= 0xDC00 && v < 0xE000) {
                out += 0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00);
                i += 2;
                continue;
            }
        }
        if (u >= 0xD800 && u < 0xE000) {
            return std::string("Invalid UTF-16 sequence: invalid utf-16: lone surrogate found");
        }
        out += u;
    }
    return out;
}

Decoded ref_utf32(std::string_view s, bool little) {
    if (s.size() % 4 != 0) {
        return std::string("UTF-32 requires a multiple of 4 bytes");
    }
    Text out;
    for (std::size_t i = 0; i < s.size(); i += 4) {
        const unsigned u = unit_at(s, i, 4, little);
        if ((u >= 0xD800 && u < 0xE000) || u > 0x10FFFF) {
            char m[64];
            std::snprintf(m, sizeof m, "Invalid UTF-32 codepoint: 0x%08X", u);
            return std::string(m);
        }
        out += u;
    }
    return out;
}

bool starts(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

Decoded ref_decode(TextDecoder which, std::string_view s) {
    using namespace std::literals;
    switch (which) {
        case TextDecoder::Utf8: return ref_utf8(s);
        case TextDecoder::Utf16le: return ref_utf16(s, true);
        case TextDecoder::Utf16be: return ref_utf16(s, false);
        case TextDecoder::Utf32le: return ref_utf32(s, true);
        case TextDecoder::Utf32be: return ref_utf32(s, false);
        case TextDecoder::Utf16:
            if (s.size() < 2 || s.size() % 2 != 0) {
                return std::string("UTF-16 requires an even number of bytes with at least 2 bytes");
            }
            if (starts(s, "\xFF\xFE"sv) || starts(s, "\xFE\xFF"sv)) {
                return ref_utf16(s.substr(2), s[0] == '\xFF');
            }
            return ref_utf16(s, false);
        case TextDecoder::Utf32:
            if (s.size() < 4 || s.size() % 4 != 0) {
                return std::string("UTF-32 requires a multiple of 4 bytes with at least 4 bytes");
            }
            if (starts(s, "\xFF\xFE\0\0"sv) || starts(s, "\0\0\xFE\xFF"sv)) {
                return ref_utf32(s.substr(4), s[0] == '\xFF');
            }
            return ref_utf32(s, false);
        case TextDecoder::UsAscii: {
            Text out;
            for (const char ch : s) {
                const auto b = static_cast<unsigned char>(ch);
                if (b >= 0x80) {
                    char m[64];
                    std::snprintf(m, sizeof m, "Invalid US-ASCII byte: 0x%02X (must be <= 0x7F)", b);
                    return std::string(m);
                }
                out += b;
            }
            return out;
        }
        case TextDecoder::Iso8859_1: {
            Text out;
            for (const char ch : s) {
                out += static_cast<unsigned char>(ch);
            }
            return out;
        }
        case TextDecoder::Windows1252: {
            Decoded d;
            if (s.size() > 2 && starts(s, "\xEF\xBB\xBF"sv)) {
                d = ref_utf8(s.substr(3));
            } else if (s.size() >= 2 && (starts(s, "\xFF\xFE"sv) || starts(s, "\xFE\xFF"sv))) {
                d = ref_utf16(s.substr(2), s[0] == '\xFF');
            } else {
                Text out;
                for (const char ch : s) {
                    out += windows_1252(static_cast<unsigned char>(ch));
                }
                return out;
            }
            return std::holds_alternative<Text>(d) ? d : Decoded(std::string("Failed to decode Windows-1252 bytes"));
        }
    }
    return std::string("unknown decoder");
}

template <class Unit>
Text filled(const MeasuredText& m) {
    std::unique_ptr<Unit[]> units(new Unit[m.length]);
    fill_text(m, units.get());
    return Text(units.get(), units.get() + m.length);
}

Decoded as_decoded(const Result<MeasuredText>& m) {
    if (!m) {
        return m.error().message;
    }
    char32_t top = 0;
    const Text text = filled<std::uint32_t>(*m);
    for (const char32_t c : text) {
        top = std::max(top, c);
    }
    // The measured largest code point selects the same storage as the true one.
    for (const char32_t limit : {char32_t{0x80}, char32_t{0x100}, char32_t{0x10000}}) {
        FUZZ_CHECK((top < limit) == (m->max_char < limit), "max_char %x for largest %x", unsigned(m->max_char),
                   unsigned(top));
    }
    FUZZ_CHECK(m->max_char >= top, "max_char %x below %x", unsigned(m->max_char), unsigned(top));
    if (top < 0x100) {
        FUZZ_CHECK(filled<std::uint8_t>(*m) == text, "one-byte fill");
    }
    if (top < 0x10000) {
        FUZZ_CHECK(filled<std::uint16_t>(*m) == text, "two-byte fill");
    }
    return text;
}

template <class S>
std::variant<std::string, std::string> as_utf8(const Result<S>& r) {
    if (r) {
        return std::variant<std::string, std::string>(std::in_place_index<0>, std::string(*r));
    }
    return std::variant<std::string, std::string>(std::in_place_index<1>, r.error().message);
}

std::variant<std::string, std::string> ref_as_utf8(const Decoded& d) {
    if (const Text* t = std::get_if<Text>(&d)) {
        return std::variant<std::string, std::string>(std::in_place_index<0>, utf8_of(*t));
    }
    return std::variant<std::string, std::string>(std::in_place_index<1>, std::get<std::string>(d));
}

// The string-returning decoders, by the decoder they are built on.
std::variant<std::string, std::string> decode_to_utf8(TextDecoder which, std::string_view s) {
    switch (which) {
        case TextDecoder::Utf8: return as_utf8(decode_utf8(s));
        case TextDecoder::Utf16: return as_utf8(decode_utf16(s));
        case TextDecoder::Utf16le: return as_utf8(decode_utf16_with_endianness(s, true));
        case TextDecoder::Utf16be: return as_utf8(decode_utf16_with_endianness(s, false));
        case TextDecoder::Utf32: return as_utf8(decode_utf32(s));
        case TextDecoder::Utf32le: return as_utf8(decode_utf32_with_endianness(s, true));
        case TextDecoder::Utf32be: return as_utf8(decode_utf32_with_endianness(s, false));
        case TextDecoder::UsAscii: return as_utf8(decode_us_ascii(s));
        case TextDecoder::Iso8859_1: return as_utf8(Result<std::string>(decode_iso_8859_1(s)));
        case TextDecoder::Windows1252: return as_utf8(decode_windows_1252(s));
    }
    return {};
}

std::string units(const Text& text, std::size_t width, bool little) {
    std::string out;
    for (const char32_t c : text) {
        const auto put = [&](unsigned u) {
            for (std::size_t k = 0; k < width; ++k) {
                const std::size_t shift = 8 * (little ? k : width - 1 - k);
                out += static_cast<char>(u >> shift & 0xFF);
            }
        };
        if (width == 2 && c >= 0x10000) {
            put(0xD800 + ((c - 0x10000) >> 10));
            put(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            put(c);
        }
    }
    return out;
}

std::string ref_unencodable(const Text& text, std::size_t i, const char* charset) {
    char notation[16];
    std::snprintf(notation, sizeof notation, "U+%04X", unsigned(text[i]));
    return "Character '" + utf8_of(text.substr(i, 1)) + "' (" + notation + ") is not valid " + charset;
}

// The encoding of `text`, or the error message (second alternative).
std::variant<std::string, std::string> ref_encode(TextEncoder which, const Text& text) {
    using R = std::variant<std::string, std::string>;
    const auto ok = [](std::string s) { return R(std::in_place_index<0>, std::move(s)); };
    const auto fail = [](std::string s) { return R(std::in_place_index<1>, std::move(s)); };
    // A surrogate (or a value past U+10FFFF) has no encoding; a single-byte
    // charset reports a character it lacks before it first.
    const auto invalid = [](char32_t c) { return (c >= 0xD800 && c < 0xE000) || c > 0x10FFFF; };
    const std::size_t first_invalid = std::find_if(text.begin(), text.end(), invalid) - text.begin();
    if (first_invalid != text.size()) {
        const Text before = text.substr(0, first_invalid);
        const bool unicode = which == TextEncoder::Utf8 || which == TextEncoder::Utf16 || which == TextEncoder::Utf16be ||
                             which == TextEncoder::Utf16le || which == TextEncoder::Utf32 ||
                             which == TextEncoder::Utf32be || which == TextEncoder::Utf32le;
        if (const auto earlier = ref_encode(which, before); unicode || earlier.index() == 0) {
            return fail(surrogate_message(first_invalid));
        } else {
            return earlier;
        }
    }
    switch (which) {
        case TextEncoder::Utf8: return ok(utf8_of(text));
        case TextEncoder::Utf16: return ok("\xFE\xFF" + units(text, 2, false));
        case TextEncoder::Utf16be: return ok(units(text, 2, false));
        case TextEncoder::Utf16le: return ok(units(text, 2, true));
        case TextEncoder::Utf32: return ok(std::string("\0\0\xFE\xFF", 4) + units(text, 4, false));
        case TextEncoder::Utf32be: return ok(units(text, 4, false));
        case TextEncoder::Utf32le: return ok(units(text, 4, true));
        case TextEncoder::UsAscii:
        case TextEncoder::Iso8859_1: {
            const bool ascii = which == TextEncoder::UsAscii;
            std::string out;
            for (std::size_t i = 0; i < text.size(); ++i) {
                if (text[i] > (ascii ? 0x7Fu : 0xFFu)) {
                    return fail(ref_unencodable(text, i, ascii ? "US-ASCII" : "ISO-8859-1"));
                }
                out += static_cast<char>(text[i]);
            }
            return ok(out);
        }
        case TextEncoder::Windows1252: {
            std::string out;
            for (const char32_t c : text) {
                const int byte = windows_1252_byte(c);
                if (byte < 0) {
                    return fail("Failed to encode to Windows-1252");
                }
                out += static_cast<char>(byte);
            }
            return ok(out);
        }
    }
    return fail("unknown encoder");
}

// Text drawn from the input: runs of ASCII (long enough for the block-wise
// paths), and characters from the ranges where the codecs make decisions.
Text draw_text(FuzzedDataProvider& in) {
    static constexpr char32_t kRanges[][2] = {
        {0x00, 0x7F},       {0x80, 0x9F},     {0xA0, 0xFF},         {0x100, 0x7FF},     {0x2000, 0x2122},
        {0xD7F0, 0xD7FF},   {0xE000, 0xFFFF}, {0x10000, 0x1FFFF},   {0x10FF00, 0x10FFFF},
    };
    Text text;
    while (in.remaining_bytes() > 0 && text.size() < 1024) {
        const auto pick = in.ConsumeIntegralInRange<std::size_t>(0, std::size(kRanges));
        if (pick == std::size(kRanges)) {
            text.append(in.ConsumeIntegralInRange<std::size_t>(1, 40), static_cast<char32_t>('a' + text.size() % 26));
        } else {
            text += in.ConsumeIntegralInRange<char32_t>(kRanges[pick][0], kRanges[pick][1]);
        }
    }
    return text;
}

constexpr TextDecoder kDecoders[] = {TextDecoder::Utf8,    TextDecoder::Utf16,   TextDecoder::Utf16le,
                                     TextDecoder::Utf16be, TextDecoder::Utf32,   TextDecoder::Utf32le,
                                     TextDecoder::Utf32be, TextDecoder::UsAscii, TextDecoder::Iso8859_1,
                                     TextDecoder::Windows1252};
constexpr TextEncoder kEncoders[] = {TextEncoder::Utf8,    TextEncoder::Utf16,   TextEncoder::Utf16be,
                                     TextEncoder::Utf16le, TextEncoder::Utf32,   TextEncoder::Utf32be,
                                     TextEncoder::Utf32le, TextEncoder::UsAscii, TextEncoder::Iso8859_1,
                                     TextEncoder::Windows1252};

void check_decoders(std::string_view bytes) {
    for (const TextDecoder which : kDecoders) {
        // An exact copy on the heap: a read past the input is caught.
        std::unique_ptr<char[]> copy(new char[bytes.size() + 1]);
        std::copy(bytes.begin(), bytes.end(), copy.get());
        const std::string_view input(copy.get(), bytes.size());
        const Decoded expected = ref_decode(which, input);
        FUZZ_CHECK(as_decoded(measure_text(which, input)) == expected, "decoder %d on %zu bytes", int(which),
                   bytes.size());
        FUZZ_CHECK(decode_to_utf8(which, input) == ref_as_utf8(expected), "string decoder %d on %zu bytes",
                   int(which), bytes.size());
    }
}

// The units of `text` in `width` bytes each, in a heap block of exactly
// that size (a read past it is caught).
template <class Unit>
std::unique_ptr<Unit[]> units_of(const Text& text) {
    std::unique_ptr<Unit[]> units(new Unit[text.size()]);
    std::copy(text.begin(), text.end(), units.get());
    return units;
}

void check_encoders_from(const Text& text, unsigned width) {
    std::unique_ptr<std::uint8_t[]> u8;
    std::unique_ptr<std::uint16_t[]> u16;
    std::unique_ptr<std::uint32_t[]> u32;
    const void* data = width == 1   ? static_cast<const void*>((u8 = units_of<std::uint8_t>(text)).get())
                       : width == 2 ? static_cast<const void*>((u16 = units_of<std::uint16_t>(text)).get())
                                    : static_cast<const void*>((u32 = units_of<std::uint32_t>(text)).get());
    const bool ascii = std::all_of(text.begin(), text.end(), [](char32_t c) { return c < 0x80; });
    const TextView view{data, text.size(), width, ascii};
    const bool invalid = std::any_of(text.begin(), text.end(),
                                     [](char32_t c) { return (c >= 0xD800 && c < 0xE000) || c > 0x10FFFF; });
    FUZZ_CHECK(has_surrogate(view) == invalid, "has_surrogate on %zu units of %u bytes", text.size(), width);
    for (const TextEncoder which : kEncoders) {
        const auto expected = ref_encode(which, text);
        const auto bound = encoded_size_bound(which, view);
        FUZZ_CHECK(bound.has_value(), "no bound for %zu units", text.size());
        std::unique_ptr<char[]> out(new char[*bound]);
        const auto written = encode_text_into(which, view, out.get());
        std::variant<std::string, std::string> got;
        if (written) {
            FUZZ_CHECK(*written <= *bound, "wrote %zu of %zu", *written, *bound);
            got.emplace<0>(out.get(), *written);
        } else {
            got.emplace<1>(written.error().message);
        }
        FUZZ_CHECK(got == expected, "encoder %d on %zu units of %u bytes", int(which), text.size(), width);
        std::string via_string;
        const auto done = encode_text_to(which, view, via_string);
        FUZZ_CHECK(done ? got.index() == 0 && std::get<0>(got) == via_string : got.index() == 1,
                   "encode_text_to %d", int(which));
    }
}

// Every unit width that holds the text.
void check_encoders(const Text& text) {
    const char32_t top = text.empty() ? 0 : *std::max_element(text.begin(), text.end());
    for (const unsigned width : {1u, 2u, 4u}) {
        if (width == 4 || top < (width == 1 ? 0x100u : 0x10000u)) {
            check_encoders_from(text, width);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view raw(reinterpret_cast<const char*>(data), size);
    check_decoders(raw);
    FuzzedDataProvider in(data, size);
    const Text text = draw_text(in);
    check_encoders(text);
    // Encoded text decodes back through every Unicode form.
    for (const TextEncoder which : {TextEncoder::Utf8, TextEncoder::Utf16, TextEncoder::Utf32}) {
        const auto encoded = ref_encode(which, text);
        check_decoders(std::get<0>(encoded));
    }
    // The input itself as text, when it is UTF-8, and as raw 16- and 32-bit
    // units of any value (surrogates, values past U+10FFFF).
    const Decoded as_text = ref_utf8(raw);
    if (const Text* same = std::get_if<Text>(&as_text)) {
        check_encoders(*same);
    }
    Text units16;
    Text units32;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        units16 += char32_t{data[i]} | char32_t{data[i + 1]} << 8;
    }
    for (std::size_t i = 0; i + 3 < size; i += 4) {
        units32 += char32_t{data[i]} | char32_t{data[i + 1]} << 8 | char32_t{data[i + 2]} << 16 | char32_t{data[i + 3]} << 24;
    }
    check_encoders(units16);
    check_encoders(units32);
    return 0;
}
