// The packet builder. Two passes over the recipe:
//
//  1. Sizing: every item's `bits` and `offset_bits` are read, the end of the
//     packet is found and the packet is allocated once, zero-filled, as the
//     bytes object that is finally returned.
//  2. Writing: every item's keys are read afresh (in a fixed order, which
//     fixes the order in which errors are met), its value is converted and
//     encoded, the byte order is applied and the field's bits are laid into
//     the packet in place.
//
// Both passes place an item without `offset_bits` at the end of the item
// before it, so the packet ends exactly with its furthest field. A value's
// conversion may run Python code that changes the item dicts between the
// passes: an item that no longer fits the packet fails the call instead of
// being clipped, and placement never writes outside the packet.
#include "build_packet.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "../convert.hpp"
#include "../item_note.hpp"
#include "../lowercase.hpp"
#include "../pyerrors.hpp"
#include "../recipe.hpp"
#include "../recipe_cache.hpp"
#include "../text_objects.hpp"
#include "bcd.hpp"
#include "float.hpp"
#include "integer.hpp"
#include "place_field.hpp"
#include "text.hpp"

namespace kestrune {
namespace {

// ---------------------------------------------------------------------------
// Encoding names

enum class Enc : std::uint8_t {
    Unsigned,
    TwosComplement,
    OnesComplement,
    SignMagnitude,
    Bcd,
    BcdSigned,
    PackedBcd,
    PackedBcdSigned,
    Ieee754,
    Ieee754_1985,
    MilStd1750a,
    Ti,
    Dec,
    Ibm,
    Binary,
    Utf8,
    Utf16,
    Utf16le,
    Utf16be,
    Utf32,
    Utf32le,
    Utf32be,
    UsAscii,
    Iso8859_1,
    Windows1252,
};

struct NameEntry {
    std::string_view name;
    Enc enc;
};

// Every spelling accepted when packing (lower case).
constexpr NameEntry kNameList[] = {
        {"unsigned", Enc::Unsigned},
        {"twoscomplement", Enc::TwosComplement},
        {"twos_complement", Enc::TwosComplement},
        {"twos-complement", Enc::TwosComplement},
        {"onescomplement", Enc::OnesComplement},
        {"ones_complement", Enc::OnesComplement},
        {"ones-complement", Enc::OnesComplement},
        {"signmagnitude", Enc::SignMagnitude},
        {"sign_magnitude", Enc::SignMagnitude},
        {"sign-magnitude", Enc::SignMagnitude},
        {"bcd", Enc::Bcd},
        {"bcdsigned", Enc::BcdSigned},
        {"bcd_signed", Enc::BcdSigned},
        {"bcd-signed", Enc::BcdSigned},
        {"packedbcd", Enc::PackedBcd},
        {"packed_bcd", Enc::PackedBcd},
        {"packed-bcd", Enc::PackedBcd},
        {"packedbcdsigned", Enc::PackedBcdSigned},
        {"packed_bcd_signed", Enc::PackedBcdSigned},
        {"packed-bcd-signed", Enc::PackedBcdSigned},
        {"ieee754", Enc::Ieee754},
        {"ieee_754", Enc::Ieee754},
        {"ieee-754", Enc::Ieee754},
        {"ieee754_1985", Enc::Ieee754_1985},
        {"ieee754-1985", Enc::Ieee754_1985},
        {"ieee_754_1985", Enc::Ieee754_1985},
        {"ieee_754-1985", Enc::Ieee754_1985},
        {"mil_std_1750a", Enc::MilStd1750a},
        {"mil-std-1750a", Enc::MilStd1750a},
        {"mil_std-1750a", Enc::MilStd1750a},
        {"ti", Enc::Ti},
        {"dec", Enc::Dec},
        {"ibm", Enc::Ibm},
        {"binary", Enc::Binary},
        {"utf8", Enc::Utf8},
        {"utf_8", Enc::Utf8},
        {"utf-8", Enc::Utf8},
        {"utf16", Enc::Utf16},
        {"utf_16", Enc::Utf16},
        {"utf-16", Enc::Utf16},
        {"utf16le", Enc::Utf16le},
        {"utf_16_le", Enc::Utf16le},
        {"utf-16le", Enc::Utf16le},
        {"utf16be", Enc::Utf16be},
        {"utf_16_be", Enc::Utf16be},
        {"utf-16be", Enc::Utf16be},
        {"utf32", Enc::Utf32},
        {"utf_32", Enc::Utf32},
        {"utf-32", Enc::Utf32},
        {"utf32le", Enc::Utf32le},
        {"utf_32_le", Enc::Utf32le},
        {"utf-32le", Enc::Utf32le},
        {"utf32be", Enc::Utf32be},
        {"utf_32_be", Enc::Utf32be},
        {"utf-32be", Enc::Utf32be},
        {"usascii", Enc::UsAscii},
        {"us_ascii", Enc::UsAscii},
        {"us-ascii", Enc::UsAscii},
        {"iso8859_1", Enc::Iso8859_1},
        {"iso8859-1", Enc::Iso8859_1},
        {"iso_8859_1", Enc::Iso8859_1},
        {"iso-8859-1", Enc::Iso8859_1},
        {"windows1252", Enc::Windows1252},
        {"windows_1252", Enc::Windows1252},
        {"windows-1252", Enc::Windows1252},
};

// The same, sorted for binary search.
constexpr auto kEncodingNames = [] {
    std::array<NameEntry, std::size(kNameList)> names{};
    std::ranges::copy(kNameList, names.begin());
    std::ranges::sort(names, {}, &NameEntry::name);
    return names;
}();
static_assert(std::ranges::adjacent_find(kEncodingNames, {}, &NameEntry::name) == kEncodingNames.end(),
              "encoding names must be unique");

// An encoding's code (what the cache keeps) is its spelling's index here.
static_assert(kEncodingNames.size() < recipe_cache::kNoCode, "an encoding's code is its index in kEncodingNames");

bool find_encoding(std::string_view lowered, std::uint8_t& out) {
    const auto* it = std::ranges::lower_bound(kEncodingNames, lowered, {}, &NameEntry::name);
    if (it == kEncodingNames.end() || it->name != lowered) {
        return false;
    }
    out = static_cast<std::uint8_t>(it - kEncodingNames.begin());
    return true;
}

// ---------------------------------------------------------------------------
// Floating-point families: accepted widths, the precision of the value and
// the format each width selects.

enum class FloatKind : std::uint8_t { F16, F32, F64, Stub };

struct FloatFormat {
    std::uint32_t bits;
    FloatKind kind;
    bool single;  // the value is rounded to binary32 before encoding
    FloatStub stub;
};

struct FloatFamily {
    Enc enc;
    const char* width_message;  // printf format with one %u
    std::array<FloatFormat, 4> formats;
    std::size_t count;
};

constexpr FloatFamily kFloatFamilies[] = {
    {Enc::Ieee754,
     "Unsupported IEEE 754 bit width: %u (supported: 16, 32, 64, 128)",
     {{{16, FloatKind::F16, true, FloatStub::ieee754_f128},
       {32, FloatKind::F32, true, FloatStub::ieee754_f128},
       {64, FloatKind::F64, false, FloatStub::ieee754_f128},
       {128, FloatKind::Stub, false, FloatStub::ieee754_f128}}},
     4},
    {Enc::Ieee754_1985,
     "Unsupported IEEE 754-1985 bit width: %u (supported: 32, 64, 80)",
     {{{32, FloatKind::Stub, true, FloatStub::ieee754_1985_f32},
       {64, FloatKind::Stub, false, FloatStub::ieee754_1985_f64},
       {80, FloatKind::Stub, false, FloatStub::ieee754_1985_f80}}},
     3},
    {Enc::MilStd1750a,
     "Unsupported MIL-STD-1750A bit width: %u (supported: 32, 48)",
     {{{32, FloatKind::Stub, true, FloatStub::mil_std_1750a_f32},
       {48, FloatKind::Stub, false, FloatStub::mil_std_1750a_f48}}},
     2},
    {Enc::Ti,
     "Unsupported TI float bit width: %u (supported: 32, 40)",
     {{{32, FloatKind::Stub, true, FloatStub::ti_f32}, {40, FloatKind::Stub, false, FloatStub::ti_f40}}},
     2},
    {Enc::Dec,
     "Unsupported DEC float bit width: %u (supported: 32, 64)",
     {{{32, FloatKind::Stub, true, FloatStub::dec_f32}, {64, FloatKind::Stub, false, FloatStub::dec_f64}}},
     2},
    {Enc::Ibm,
     "Unsupported IBM float bit width: %u (supported: 32, 64)",
     {{{32, FloatKind::Stub, true, FloatStub::ibm_f32}, {64, FloatKind::Stub, false, FloatStub::ibm_f64}}},
     2},
};

const FloatFamily* float_family(Enc enc) {
    for (const FloatFamily& family : kFloatFamilies) {
        if (family.enc == enc) {
            return &family;
        }
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Field bytes of one item: a number for numeric fields (at most 64 bits), on
// the heap only for binary data and text.

struct FieldBuf {
    // A numeric field: its bits as a number, `number_bits` wide.
    bool numeric = false;
    std::uint64_t number = 0;
    std::uint32_t number_bits = 0;
    std::vector<std::uint8_t> binary;
    std::string text;
    const std::uint8_t* data = nullptr;
    std::uint8_t* owned = nullptr;  // == data when the bytes are ours to change
    std::size_t size = 0;
    // Binary data borrowed from the value: the field's last `size` bytes,
    // zero before them (the others fill the start of the field).
    bool right_aligned = false;

    void use_number(std::uint64_t field, std::uint32_t bits) {
        numeric = true;
        number = field;
        number_bits = bits;
    }
    void use_binary(std::vector<std::uint8_t>&& bytes) {
        binary = std::move(bytes);
        data = owned = binary.data();
        size = binary.size();
    }
    void use_text(std::string&& encoded) {
        text = std::move(encoded);
        use_own_text();
    }
    // The bytes written into `text` in place.
    void use_own_text() {
        data = owned = reinterpret_cast<std::uint8_t*>(text.data());
        size = text.size();
    }
    // Borrowed bytes (the UTF-8 text of the value itself).
    void use_view(std::string_view view) {
        data = reinterpret_cast<const std::uint8_t*>(view.data());
        owned = nullptr;
        size = view.size();
    }
    // Borrowed binary data (the value's own bytes), right-aligned.
    void use_binary_view(const std::uint8_t* bytes, std::size_t n) {
        data = bytes;
        owned = nullptr;
        size = n;
        right_aligned = true;
    }
    // Frees the item's text or binary buffer before the next item.
    void release() {
        if (numeric) {
            numeric = false;
            return;
        }
        if (!binary.empty()) {
            std::vector<std::uint8_t>().swap(binary);
        }
        if (!text.empty()) {
            std::string().swap(text);
        }
        data = owned = nullptr;
        size = 0;
        numeric = false;
        right_aligned = false;
    }
    // Reverses the field's bytes, copying borrowed bytes first. A numeric
    // field is a whole number of bytes when this is asked.
    void reverse_bytes() {
        if (numeric) {
            number = number_bits == 0 ? 0 : std::byteswap(number) >> (64 - number_bits);
            return;
        }
        if (size == 0) {
            return;
        }
        if (!owned) {
            use_text(std::string(reinterpret_cast<const char*>(data), size));
        }
        std::reverse(owned, owned + size);
        // Right-aligned bytes of a field of whole bytes, reversed, start it.
        right_aligned = false;
    }
};

bool fail_with(const Error& error) {
    raise_error(error);
    return false;
}

// The field of a raw pattern of at most 64 bits.
bool from_number(std::uint64_t pattern, std::uint32_t bits, bool reverse_bits, FieldBuf& out) {
    if (bits < 64 && !reverse_bits) {
        // The common case, without making a Result.
        out.use_number(pattern & ((std::uint64_t{1} << bits) - 1), bits);
        return true;
    }
    const Result<std::uint64_t> field = integer_field(pattern, bits, reverse_bits);
    if (!field) {
        return fail_with(field.error());
    }
    out.use_number(*field, bits);
    return true;
}

bool from_pattern(const Result<std::uint64_t>& pattern, std::uint32_t bits, bool reverse_bits, FieldBuf& out) {
    if (!pattern) {
        return fail_with(pattern.error());
    }
    return from_number(*pattern, bits, reverse_bits, out);
}

bool encode_float(const FloatFamily& family, PyObject* value, std::uint32_t bits, bool reverse_bits, FieldBuf& out) {
    const FloatFormat* format = nullptr;
    for (std::size_t i = 0; i < family.count; ++i) {
        if (family.formats[i].bits == bits) {
            format = &family.formats[i];
        }
    }
    if (!format) {
        PyErr_Format(PyExc_ValueError, family.width_message, static_cast<unsigned>(bits));
        return false;
    }
    float single = 0.0f;
    double dbl = 0.0;
    if (format->single ? !convert_single(value, single) : !convert_double(value, dbl)) {
        return false;
    }
    switch (format->kind) {
        case FloatKind::F16:
            return from_number(encode_ieee754_f16(single), bits, reverse_bits, out);
        case FloatKind::F32:
            return from_number(encode_ieee754_f32(single), bits, reverse_bits, out);
        case FloatKind::F64:
            return from_number(encode_ieee754_f64(dbl), bits, reverse_bits, out);
        case FloatKind::Stub:
            break;
    }
    return fail_with(float_encode_stub_error(format->stub));
}

// Text is never cut to fit: a field too narrow for it is an error.
bool fits_field(const FieldBuf& out, std::uint32_t bits) {
    if (out.size > bits / 8) {
        PyErr_Format(PyExc_ValueError, "Encoded text of %zu bytes does not fit in %u bits", out.size,
                     static_cast<unsigned>(bits));
        return false;
    }
    return true;
}

bool encode_text(Enc enc, PyObject* value, std::uint32_t bits, FieldBuf& out) {
    TextEncoder which;
    switch (enc) {
        case Enc::Utf8: {
            // The str's UTF-8 form, kept by the str itself: a recipe packed
            // again reads it without encoding anew.
            std::string_view text;
            if (!convert_str(value, text)) {
                return false;
            }
            out.use_view(text);
            return fits_field(out, bits);
        }
        case Enc::Utf16: which = TextEncoder::Utf16; break;
        case Enc::Utf16le: which = TextEncoder::Utf16le; break;
        case Enc::Utf16be: which = TextEncoder::Utf16be; break;
        case Enc::Utf32: which = TextEncoder::Utf32; break;
        case Enc::Utf32le: which = TextEncoder::Utf32le; break;
        case Enc::Utf32be: which = TextEncoder::Utf32be; break;
        case Enc::UsAscii: which = TextEncoder::UsAscii; break;
        case Enc::Iso8859_1: which = TextEncoder::Iso8859_1; break;
        case Enc::Windows1252: which = TextEncoder::Windows1252; break;
        default:
            PyErr_SetString(PyExc_SystemError, "text encoder selected for a non-text encoding");
            return false;
    }
    if (!PyUnicode_Check(value)) {
        set_cast_error(value, "str");
        return false;
    }
    // Encoded in one pass from the str's code units into the item's text
    // buffer, sized to the bound.
    const TextView text = text_view(value);
    if (!encoded_size_bound(which, text)) {
        PyErr_NoMemory();
        return false;
    }
    if (auto done = run_codec(text.length * text.width, [&] { return encode_text_to(which, text, out.text); });
        !done) {
        raise_encode_error(value, done.error());
        return false;
    }
    out.use_own_text();
    return fits_field(out, bits);
}

bool binary_fits(std::size_t size, std::uint32_t bits) {
    // Binary data is never cut to fit either (the masking of a partial
    // first byte is the field's own width, not a cut).
    if (size > (std::uint64_t{bits} + 7) / 8) {
        PyErr_Format(PyExc_ValueError, "Binary value of %zu bytes does not fit in %u bits", size,
                     static_cast<unsigned>(bits));
        return false;
    }
    return true;
}

bool encode_binary(PyObject* value, std::uint32_t bits, bool reverse_bits, FieldBuf& out) {
    if (PyBytes_Check(value)) {
        // Read in place (bytes cannot change, and the caller holds the
        // value): placed straight into the packet, or mirrored in one copy.
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(value));
        const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(value));
        if (!binary_fits(size, bits)) {
            return false;
        }
        if (reverse_bits) {
            out.use_binary(encode_binary_to_bytes(std::span(bytes, size), bits, true));
        } else {
            out.use_binary_view(bytes, size);
        }
        return true;
    }
    std::vector<std::uint8_t> data;
    if (!convert_byte_sequence(value, data) || !binary_fits(data.size(), bits)) {
        return false;
    }
    out.use_binary(encode_binary_to_bytes(data, bits, reverse_bits));
    return true;
}

// A large copy goes in pieces of this many bytes (milliseconds each), with
// a check for signals between them.
constexpr std::size_t kPieceBytes = std::size_t{16} << 20;

// Places `len` whole bytes at packet bit `off`. Large copies run without
// the GIL (they touch no Python object: the packet is not shared yet and
// the source is a bytes object or a buffer of ours) and answer Ctrl-C
// between pieces. False with the interrupt raised.
bool place_bytes(std::uint8_t* packet, std::uint64_t packet_size, std::uint64_t off, const std::uint8_t* src,
                 std::size_t len) {
    if (len < kReleaseGilBytes) {
        builder::place_field(packet, packet_size, off, src, len, static_cast<std::uint32_t>(8 * len));
        return true;
    }
    for (std::size_t done = 0; done < len;) {
        const std::size_t piece = std::min(kPieceBytes, len - done);
        Py_BEGIN_ALLOW_THREADS
        builder::place_field(packet, packet_size, off + 8 * std::uint64_t{done}, src + done, piece,
                             static_cast<std::uint32_t>(8 * piece));
        Py_END_ALLOW_THREADS
        done += piece;
        if (done < len && PyErr_CheckSignals() < 0) {
            return false;
        }
    }
    return true;
}

// Places a field of `bits` bits whose last `len` bytes are `src`, zero
// before them (len <= (bits + 7) / 8).
bool place_right_aligned(std::uint8_t* packet, std::uint64_t packet_size, std::uint64_t off, const std::uint8_t* src,
                         std::size_t len, std::uint32_t bits) {
    const std::uint64_t n = (std::uint64_t{bits} + 7) / 8;
    if (len == n && len > 0) {
        // The first byte gives only the field's first bits % 8 (or 8) bits.
        const auto first = static_cast<std::uint32_t>(bits - 8 * (n - 1));
        builder::place_field(packet, packet_size, off, src, 1, first);
        return place_bytes(packet, packet_size, off + first, src + 1, len - 1);
    }
    const auto zeros = static_cast<std::uint32_t>(bits - 8 * len);
    static constexpr std::uint8_t kNoBytes[1] = {0};
    builder::place_field(packet, packet_size, off, kNoBytes, 0, zeros);
    return place_bytes(packet, packet_size, off + zeros, src, len);
}

// The encoding step: converts `value` as the encoding needs and makes the
// field bytes.
bool encode_field(Enc enc, PyObject* value, std::uint32_t bits, bool reverse_bits, FieldBuf& out);

// encode_field for text and binary data, whose buffers may fail to allocate.
bool encode_data(Enc enc, PyObject* value, std::uint32_t bits, bool reverse_bits, FieldBuf& out) {
    try {
        return enc == Enc::Binary ? encode_binary(value, bits, reverse_bits, out) : encode_text(enc, value, bits, out);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
}

bool encode_field(Enc enc, PyObject* value, std::uint32_t bits, bool reverse_bits, FieldBuf& out) {
    std::int64_t signed_value = 0;
    switch (enc) {
        case Enc::Unsigned: {
            std::uint64_t v = 0;
            if (!convert_u64(value, v)) {
                return false;
            }
            if (bits < 64 && (v >> bits) != 0) {
                PyErr_Format(PyExc_ValueError, "Value %llu is too large for %u bits", static_cast<unsigned long long>(v),
                             static_cast<unsigned>(bits));
                return false;
            }
            return from_number(v, bits, reverse_bits, out);
        }
        case Enc::TwosComplement:
        case Enc::OnesComplement:
        case Enc::SignMagnitude:
        case Enc::Bcd:
        case Enc::BcdSigned:
        case Enc::PackedBcd:
        case Enc::PackedBcdSigned:
            if (!convert_i64(value, signed_value)) {
                return false;
            }
            switch (enc) {
                case Enc::TwosComplement:
                    return from_pattern(encode_twos_complement(signed_value, bits), bits, reverse_bits, out);
                case Enc::OnesComplement:
                    return from_pattern(encode_ones_complement(signed_value, bits), bits, reverse_bits, out);
                case Enc::SignMagnitude:
                    return from_pattern(encode_sign_magnitude(signed_value, bits), bits, reverse_bits, out);
                case Enc::Bcd:
                case Enc::BcdSigned:
                    // Widths above 64 are refused by encode_integer_to_bytes,
                    // after the value's own checks against the field.
                    return from_pattern(
                        encode_unpacked_bcd(signed_value, bits, enc == Enc::BcdSigned, BcdLimit::Field), bits,
                        reverse_bits, out);
                default:
                    return from_pattern(
                        encode_packed_bcd(signed_value, bits, enc == Enc::PackedBcdSigned, BcdLimit::Field), bits,
                        reverse_bits, out);
            }
        case Enc::Ieee754:
        case Enc::Ieee754_1985:
        case Enc::MilStd1750a:
        case Enc::Ti:
        case Enc::Dec:
        case Enc::Ibm:
            return encode_float(*float_family(enc), value, bits, reverse_bits, out);
        default:
            return encode_data(enc, value, bits, reverse_bits, out);
    }
}

// ---------------------------------------------------------------------------
// Recipe keys

bool optional_offset(PyObject* item, PyObject* key, std::uint64_t fallback, std::uint64_t& out) {
    PyObject* found = nullptr;
    const int r = recipe_lookup(item, key, &found);
    if (r <= 0) {
        out = fallback;
        return r == 0;
    }
    PyRef hold(found);
    if (!convert_u64(found, out)) {
        return false;
    }
    hold.reset();
    return true;
}

// The end of a field (offset + width), refusing positions beyond 2**64 - 1.
bool field_end(std::uint64_t off, std::uint32_t bits, std::uint64_t& end) {
    if (off > std::numeric_limits<std::uint64_t>::max() - bits) {
        PyErr_Format(PyExc_ValueError, "offset_bits %llu + bits %u is beyond 2**64 - 1",
                     static_cast<unsigned long long>(off), static_cast<unsigned>(bits));
        return false;
    }
    end = off + bits;
    return true;
}

// Allocates the zero-filled packet of (end + 7) div 8 bytes.
PyObject* new_packet(std::uint64_t end_bits) {
    const std::uint64_t size = end_bits / 8 + (end_bits % 8 != 0 ? 1 : 0);
    // Leave room for the bytes object's header so that the size check is ours.
    constexpr std::uint64_t kLimit = static_cast<std::uint64_t>(PY_SSIZE_T_MAX) - 256;
    PyObject* packet = size <= kLimit ? PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)) : nullptr;
    if (!packet) {
        if (size <= kLimit && !PyErr_ExceptionMatches(PyExc_MemoryError)) {
            return nullptr;
        }
        PyErr_Clear();
        PyErr_Format(PyExc_MemoryError, "Cannot allocate a packet of %llu bytes", static_cast<unsigned long long>(size));
        return nullptr;
    }
    std::memset(PyBytes_AS_STRING(packet), 0, static_cast<std::size_t>(size));
    return packet;
}

// The keys of one item as the writing pass reads them from its dict, in
// their fixed order. The encoding and the byte order are matched later, in
// the order in which their failures are reported.
struct ReadItem {
    PyRef name_obj;
    PyRef encoding_obj;
    PyRef byte_order_obj;
    std::string_view encoding;
    std::string_view byte_order;
    const std::uint8_t* known_encoding = nullptr;
    const bool* known_order = nullptr;
    bool exact = false;  // every value of an exact type: the reading can be cached
};

using Encodings = AcceptedNames<std::uint8_t, 8>;  // codes
using ByteOrders = AcceptedNames<bool, 2>;  // true for "little"

bool read_keys(PyObject* item, const RecipeKeys& keys, const Encodings& encodings, const ByteOrders& byte_orders,
               ReadItem& read, recipe_cache::Item& layout, ItemSite& site) {
    std::string_view name;
    PyRef bits_obj;
    PyRef flag;
    if (!builder::get_required_field(item, keys.name, "name", read.name_obj, name)) {
        return false;
    }
    site.name = read.name_obj.get();
    if (!lookup_required(item, keys.encoding, "encoding", read.encoding_obj)) {
        return false;
    }
    read.known_encoding = encodings.find(read.encoding_obj.get());
    if ((!read.known_encoding && !convert_str(read.encoding_obj.get(), read.encoding)) ||
        !lookup_required(item, keys.bits, "bits", bits_obj) || !convert_u32(bits_obj.get(), layout.bits)) {
        return false;
    }
    site.set_bits(layout.bits);
    if (!lookup_required(item, keys.byte_order, "byte_order", read.byte_order_obj)) {
        return false;
    }
    read.known_order = byte_orders.find(read.byte_order_obj.get());
    if ((!read.known_order && !convert_str(read.byte_order_obj.get(), read.byte_order)) ||
        !lookup_required(item, keys.reverse_bits, "reverse_bits", flag) ||
        !convert_bool(flag.get(), layout.reverse_bits)) {
        return false;
    }
    PyObject* offset = nullptr;
    const int r = recipe_lookup(item, keys.offset_bits, &offset);
    PyRef offset_obj(offset);
    if (r < 0 || (r > 0 && !convert_u64(offset, layout.offset))) {
        return false;
    }
    layout.has_offset = r > 0;
    layout.name = read.name_obj.get();
    read.exact = PyUnicode_CheckExact(layout.name) && PyUnicode_CheckExact(read.encoding_obj.get()) &&
                 PyLong_CheckExact(bits_obj.get()) && PyUnicode_CheckExact(read.byte_order_obj.get()) &&
                 PyBool_Check(flag.get()) && (!offset || PyLong_CheckExact(offset));
    // Dropped here rather than by their destructors, which check more.
    bits_obj.reset();
    flag.reset();
    offset_obj.reset();
    return true;
}

bool match_encoding(const ReadItem& read, Encodings& encodings, std::uint8_t& code) {
    if (read.known_encoding) {
        code = *read.known_encoding;
        return true;
    }
    LoweredName lowered;
    if (!lowered.assign(read.encoding_obj.get(), read.encoding)) {
        return false;
    }
    if (!find_encoding(lowered.view(), code)) {
        PyErr_Format(PyExc_ValueError, "Unsupported encoding type: %U", read.encoding_obj.get());
        return false;
    }
    encodings.remember(read.encoding_obj.get(), code);
    return true;
}

bool match_byte_order(const ReadItem& read, ByteOrders& byte_orders, std::uint32_t bits, bool& little) {
    if (read.known_order) {
        little = *read.known_order;
    } else {
        LoweredName lowered;
        if (!lowered.assign(read.byte_order_obj.get(), read.byte_order)) {
            return false;
        }
        little = lowered.view() == "little";
        if (!little && lowered.view() != "big") {
            PyErr_Format(PyExc_ValueError, "Invalid byte_order '%U': must be 'big' or 'little'",
                         read.byte_order_obj.get());
            return false;
        }
    }
    // Reversing whole bytes of a field that is not a whole number of bytes
    // would drop bits, so such fields are refused.
    if (little && bits % 8 != 0) {
        PyErr_Format(PyExc_ValueError,
                     "Invalid byte_order '%U': little-endian fields must be a whole number of bytes (got %u bits)",
                     read.byte_order_obj.get(), static_cast<unsigned>(bits));
        return false;
    }
    if (!read.known_order) {
        byte_orders.remember(read.byte_order_obj.get(), little);
    }
    return true;
}

// Values whose conversion cannot run Python code (and so cannot change any
// recipe dict).
bool plain_value(PyObject* value) {
    return PyLong_CheckExact(value) || PyFloat_CheckExact(value) || PyUnicode_CheckExact(value) ||
           PyBytes_CheckExact(value) || PyBool_Check(value);
}

}  // namespace

namespace builder {

bool get_required_field(PyObject* item, PyObject* key, const char* key_name, PyRef& holder, std::string_view& out) {
    return lookup_required(item, key, key_name, holder) && convert_str(holder.get(), out);
}

bool get_required_field(PyObject* item, PyObject* key, const char* key_name, std::uint32_t& out) {
    PyRef holder;
    const bool done = lookup_required(item, key, key_name, holder) && convert_u32(holder.get(), out);
    if (done) {
        holder.reset();
    }
    return done;
}

}  // namespace builder

namespace {

// Builds the packet; on a failure inside an item, `note` names it.
PyObject* pack_items(std::vector<PyRef>& items, PyRef& note, bool& all_known) {
    ItemSite site;
    // Made while what the site borrows still lives.
    auto fail = [&site, &note]() -> PyObject* {
        note = item_note(site);
        return nullptr;
    };
    using builder::get_required_field;
    using recipe_cache::Direction;
    const RecipeKeys* keys = recipe_keys();
    const bool cache = recipe_cache::active();
    // Whether items are still looked up in the cache (not once a miss has
    // met a full table: the rest would miss as well).
    bool probe = cache;

    // Sizing pass: `bits` and `offset_bits` of every item, nothing else.
    // What the cache gives here is kept for the writing pass.
    struct Sized {
        recipe_cache::Item item;
        bool cached;
    };
    constexpr std::size_t kOnStack = 32;
    Sized on_stack[kOnStack];  // trivial: nothing is set up for it
    std::unique_ptr<Sized[]> on_heap;
    Sized* sized = on_stack;
    if (cache && items.size() > kOnStack) {
        on_heap.reset(new Sized[items.size()]);
        sized = on_heap.get();
    }
    // True while no Python code can have run since the sizing pass, so that
    // its cached items still describe their dicts.
    bool unchanged = cache;
    bool every_item_known = cache;
    std::uint64_t pos = 0;
    std::uint64_t furthest = 0;
    std::size_t furthest_item = 0;
    std::uint64_t furthest_off = 0;
    // Answers Ctrl-C every so many items. Signal handlers (and the garbage
    // collector) may run Python code there, which may change recipe dicts.
    auto interrupted = [&unchanged](std::size_t i) {
        if ((i & (kItemsBetweenSignalChecks - 1)) != kItemsBetweenSignalChecks - 1) {
            return false;
        }
        unchanged = false;
        return PyErr_CheckSignals() < 0;
    };
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* item = items[i].get();
        if (interrupted(i)) {
            return nullptr;
        }
        // The item's note, set only when it fails, has no name: it is not
        // read in this pass.
        if (!PyDict_CheckExact(item) && !convert_dict(item)) {
            site.begin(i);
            return fail();
        }
        std::uint32_t bits = 0;
        std::uint64_t off = 0;
        if (probe && PyDict_CheckExact(item) && recipe_cache::find(item, Direction::Pack, sized[i].item)) {
            sized[i].cached = true;
            bits = sized[i].item.bits;
            off = sized[i].item.has_offset ? sized[i].item.offset : pos;
        } else {
            if (cache) {
                sized[i].cached = false;
            }
            unchanged = false;
            every_item_known = false;
            if (probe && recipe_cache::full()) {
                probe = false;
            }
            if (!get_required_field(item, keys->bits, "bits", bits)) {
                site.begin(i);
                return fail();
            }
            if (!optional_offset(item, keys->offset_bits, pos, off)) {
                site.begin(i);
                site.set_bits(bits);
                return fail();
            }
        }
        if (!field_end(off, bits, pos)) {
            site.begin(i);
            site.set_bits(bits);
            site.set_position(off);
            return fail();
        }
        if (pos > furthest) {
            furthest = pos;
            furthest_item = i;
            furthest_off = off;
        }
    }

    PyRef packet(new_packet(furthest));
    if (!packet) {
        // Named by the item that ends furthest, which asked for this size.
        site.begin(furthest_item);
        site.set_bits(static_cast<std::uint32_t>(furthest - furthest_off));
        site.set_position(furthest_off);
        return fail();
    }
    auto* out = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(packet.get()));
    const auto out_size = static_cast<std::uint64_t>(PyBytes_GET_SIZE(packet.get()));

    // Writing pass. An item the cache knows skips its keys; any other is read
    // afresh (and remembered when it can be).
    Encodings encodings;
    ByteOrders byte_orders;
    FieldBuf field;
    pos = 0;
    // Lays one item: looks up its value, converts and encodes it and places
    // the field. `read` is null for an item the cache knew; otherwise it holds
    // the keys read afresh, whose encoding and byte order are matched here, in
    // the order in which their failures are reported.
    // On failure, `layout.encoding` is the matched encoding once `matched`
    // is set; `hold` keeps a cached item's name alive for the note.
    auto write_item = [&](PyObject* item, recipe_cache::Item& layout, ReadItem* read, PyRef& hold,
                          bool& matched) -> bool {
        const std::uint64_t off = layout.has_offset ? layout.offset : pos;
        std::uint8_t code = layout.encoding;
        std::uint64_t end = off + layout.bits;
        // While nothing has run since the sizing pass, it has checked this
        // very end. Otherwise the values converted so far ran Python code
        // that may have changed this item since; a field that now ends past
        // the packet would lose bits.
        if (!unchanged && !field_end(off, layout.bits, end)) {
            return false;
        }
        if (!unchanged && end / 8 + (end % 8 != 0 ? 1 : 0) > out_size) {
            PyErr_Format(PyExc_ValueError, "item '%U' no longer fits the packet sized before its values were converted",
                         layout.name);
            return false;
        }

        PyObject* found = nullptr;
        const int r = read ? recipe_lookup(item, keys->value, &found)
                           : recipe_cache::find_value(item, layout, keys->value, &found);
        if (r <= 0) {
            if (r == 0) {
                PyErr_Format(PyExc_KeyError, "Recipe item '%U' missing required field: 'value'", layout.name);
            }
            return false;
        }
        PyRef value(found);
        if (read && !match_encoding(*read, encodings, code)) {
            return false;
        }
        layout.encoding = code;
        matched = true;
        const Enc enc = kEncodingNames[code].enc;
        if (!plain_value(value.get())) {
            unchanged = false;
            // A cached item's name is the entry's, which the conversion's
            // Python code may drop: it is held for the item's note.
            if (!read) {
                hold = PyRef::borrow(layout.name);
            }
        }
        if (!encode_field(enc, value.get(), layout.bits, layout.reverse_bits, field)) {
            return false;
        }
        bool little = layout.little;
        if (read && !match_byte_order(*read, byte_orders, layout.bits, little)) {
            return false;
        }
        if (little) {
            try {
                field.reverse_bytes();
            } catch (const std::bad_alloc&) {
                PyErr_NoMemory();
                return false;
            }
        }
        if (field.numeric) {
            builder::place_number(out, out_size, off, field.number, layout.bits);
        } else if (field.right_aligned) {
            if (!place_right_aligned(out, out_size, off, field.data, field.size, layout.bits)) {
                return false;
            }
        } else if (field.size >= kReleaseGilBytes && field.size * 8 == layout.bits) {
            if (!place_bytes(out, out_size, off, field.data, field.size)) {
                return false;
            }
        } else {
            builder::place_field(out, out_size, off, field.data, field.size, layout.bits);
        }
        field.release();
        value.reset();
        pos = end;
        layout.encoding = code;
        layout.little = little;
        return true;
    };

    // The note of item i, which failed in write_item.
    auto failed = [&](std::size_t i, const recipe_cache::Item& layout, bool matched) {
        site.begin(i);
        site.name = layout.name;
        site.set_bits(layout.bits);
        site.set_position(layout.has_offset ? layout.offset : pos);
        if (matched) {
            site.encoding = kEncodingNames[layout.encoding].name;
        }
        return fail();
    };

    std::size_t i = 0;
    // While no Python code can have run, the sizing pass's copies still
    // describe their dicts.
    for (; unchanged && i < items.size(); ++i) {
        if (interrupted(i)) {
            return nullptr;
        }
        if (!unchanged) {
            break;  // Python code may have run: read this item afresh
        }
        PyRef hold;
        bool matched = false;
        if (!write_item(items[i].get(), sized[i].item, nullptr, hold, matched)) {
            return failed(i, sized[i].item, matched);
        }
    }
    for (; i < items.size(); ++i) {
        PyObject* item = items[i].get();
        if (interrupted(i)) {
            return nullptr;
        }
        if (!PyDict_CheckExact(item) && !convert_dict(item)) {
            site.begin(i);
            return fail();
        }
        recipe_cache::Item layout{};
        PyRef hold;
        bool matched = false;
        if (probe && PyDict_CheckExact(item) && recipe_cache::find(item, Direction::Pack, layout)) {
            if (!write_item(item, layout, nullptr, hold, matched)) {
                return failed(i, layout, matched);
            }
            continue;
        }
        std::optional<recipe_cache::Reading> reading;
        if (probe) {
            reading.emplace(item);
        }
        ReadItem read;
        site.begin(i);
        if (!read_keys(item, *keys, encodings, byte_orders, read, layout, site)) {
            return fail();
        }
        if (!write_item(item, layout, &read, hold, matched)) {
            return failed(i, layout, matched);
        }
        if (reading && read.exact) {
            reading->fill(layout, Direction::Pack);
        }
        read.name_obj.reset();
        read.encoding_obj.reset();
        read.byte_order_obj.reset();
    }
    all_known = every_item_known;
    return packet.release();
}

}  // namespace

PyObject* build_packet(std::vector<PyRef>& items, PyRef& note, bool& all_known) {
    return pack_items(items, note, all_known);
}

bool plannable_encoding(std::uint8_t code, std::uint32_t bits) {
    const Enc enc = kEncodingNames[code].enc;
    if (const FloatFamily* family = float_family(enc)) {
        for (std::size_t i = 0; i < family->count; ++i) {
            if (family->formats[i].bits == bits) {
                return family->formats[i].kind != FloatKind::Stub;
            }
        }
        return false;
    }
    return enc == Enc::Binary || enc >= Enc::Utf8 || bits <= 64;
}

PyObject* pack_with_plan(const recipe_cache::Plan& plan) {
    const RecipeKeys* keys = recipe_keys();
    PyRef packet(new_packet(plan.end));
    if (!packet) {
        PyErr_Clear();
        return nullptr;
    }
    auto* out = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(packet.get()));
    const auto out_size = static_cast<std::uint64_t>(PyBytes_GET_SIZE(packet.get()));
    FieldBuf field;
    for (std::size_t i = 0; i < plan.count; ++i) {
        const recipe_cache::PlanField& f = plan.fields[i];
        PyObject* found = nullptr;
        const int r = f.value(keys->value, &found);
        if (r <= 0) {
            PyErr_Clear();
            return nullptr;
        }
        PyRef value(found);
        // Only values whose conversion runs no Python code, and text short
        // enough to be encoded with the GIL held.
        if (!plain_value(found) ||
            (PyUnicode_CheckExact(found) &&
             static_cast<std::size_t>(PyUnicode_GET_LENGTH(found)) * PyUnicode_KIND(found) >= kReleaseGilBytes)) {
            return nullptr;
        }
        if (!encode_field(kEncodingNames[f.encoding].enc, found, f.bits, f.reverse_bits, field)) {
            PyErr_Clear();
            return nullptr;
        }
        if (f.little) {
            try {
                field.reverse_bytes();
            } catch (const std::bad_alloc&) {
                return nullptr;
            }
        }
        if (field.numeric) {
            builder::place_number(out, out_size, f.pos, field.number, f.bits);
        } else if (field.right_aligned) {
            // Shorter than the field, itself shorter than a copy made
            // without the GIL: this places it with the GIL held.
            if (!place_right_aligned(out, out_size, f.pos, field.data, field.size, f.bits)) {
                PyErr_Clear();
                return nullptr;
            }
        } else {
            builder::place_field(out, out_size, f.pos, field.data, field.size, f.bits);
        }
        field.release();
    }
    return packet.release();
}

}  // namespace kestrune
