// The recipe processor behind unpack_parameters.
//
// Each item is handled in one pass: its keys are read in a fixed order, the
// field's position is checked against the packet before anything else of
// the item is looked at, then the byte order and the encoding are matched and
// the value is produced straight from the packet bytes. Numeric fields (at
// most 64 bits) are read with a few word operations and no buffer; text
// fields are handed to their codec as a view of the packet when they are
// byte-aligned and big-endian, and as a small per-item window otherwise.
#include "process_recipe.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <new>
#include <string>

#include "../convert.hpp"
#include "../item_note.hpp"
#include "../lowercase.hpp"
#include "../pyerrors.hpp"
#include "../recipe.hpp"
#include "../recipe_cache.hpp"
#include "../results.hpp"
#include "../text_objects.hpp"
#include "bcd.hpp"
#include "field_bits.hpp"
#include "float.hpp"
#include "integer.hpp"
#include "text.hpp"

namespace kestrune {
namespace {

// ---------------------------------------------------------------------------
// Encoding names

enum class Kind : std::uint8_t {
    Unsigned,
    TwosComplement,
    OnesComplement,
    SignMagnitude,
    Bcd,
    BcdSigned,
    PackedBcd,
    PackedBcdSigned,
    F16,
    F32,
    F64,
    F128,
    FloatStub,  // recognised floating-point format without a decoder
    Utf8,
    Utf16,
    Utf16le,
    Utf16be,
    Utf32,
    Utf32le,
    Utf32be,
    UsAscii,
    Latin1,
    Windows1252,
};

// The integer and BCD rows, whose values come from at most 64 bits.
constexpr bool integer_kind(Kind kind) { return kind >= Kind::Unsigned && kind <= Kind::PackedBcdSigned; }

struct Decoder {
    Kind kind;
    FloatStub stub;  // meaningful for Kind::FloatStub only
};

struct NameEntry {
    std::string_view name;
    Decoder decoder;
};

constexpr Decoder D(Kind kind) { return {kind, FloatStub::ieee754_f128}; }
constexpr Decoder S(FloatStub stub) { return {Kind::FloatStub, stub}; }

// Every accepted spelling, lower case. Decoding names carry the width of
// floating-point formats; the packing-only family names are not here.
constexpr NameEntry kNames[] = {
    {"unsigned", D(Kind::Unsigned)},
    {"twoscomplement", D(Kind::TwosComplement)},
    {"twos_complement", D(Kind::TwosComplement)},
    {"onescomplement", D(Kind::OnesComplement)},
    {"ones_complement", D(Kind::OnesComplement)},
    {"signmagnitude", D(Kind::SignMagnitude)},
    {"sign_magnitude", D(Kind::SignMagnitude)},
    {"bcd", D(Kind::Bcd)},
    {"bcd_signed", D(Kind::BcdSigned)},
    {"bcd-signed", D(Kind::BcdSigned)},
    {"packed_bcd", D(Kind::PackedBcd)},
    {"packed-bcd", D(Kind::PackedBcd)},
    {"packed_bcd_signed", D(Kind::PackedBcdSigned)},
    {"packed-bcd-signed", D(Kind::PackedBcdSigned)},
    {"ieee754_f16", D(Kind::F16)},
    {"ieee754-f16", D(Kind::F16)},
    {"ieee754_f32", D(Kind::F32)},
    {"ieee754-f32", D(Kind::F32)},
    {"ieee754_f64", D(Kind::F64)},
    {"ieee754-f64", D(Kind::F64)},
    {"ieee754_f128", D(Kind::F128)},
    {"ieee754-f128", D(Kind::F128)},
    {"ti_f32", S(FloatStub::ti_f32)},
    {"ti-f32", S(FloatStub::ti_f32)},
    {"ti_f40", S(FloatStub::ti_f40)},
    {"ti-f40", S(FloatStub::ti_f40)},
    {"dec_f32", S(FloatStub::dec_f32)},
    {"dec-f32", S(FloatStub::dec_f32)},
    {"dec_f64", S(FloatStub::dec_f64)},
    {"dec-f64", S(FloatStub::dec_f64)},
    {"ibm_f32", S(FloatStub::ibm_f32)},
    {"ibm-f32", S(FloatStub::ibm_f32)},
    {"ibm_f64", S(FloatStub::ibm_f64)},
    {"ibm-f64", S(FloatStub::ibm_f64)},
    {"ieee754_1985_f32", S(FloatStub::ieee754_1985_f32)},
    {"ieee754-1985-f32", S(FloatStub::ieee754_1985_f32)},
    {"ieee754_1985_f64", S(FloatStub::ieee754_1985_f64)},
    {"ieee754-1985-f64", S(FloatStub::ieee754_1985_f64)},
    {"ieee754_1985_f80", S(FloatStub::ieee754_1985_f80)},
    {"ieee754-1985-f80", S(FloatStub::ieee754_1985_f80)},
    {"mil_std_1750a_f32", S(FloatStub::mil_std_1750a_f32)},
    {"mil-std-1750a-f32", S(FloatStub::mil_std_1750a_f32)},
    {"mil_std_1750a_f48", S(FloatStub::mil_std_1750a_f48)},
    {"mil-std-1750a-f48", S(FloatStub::mil_std_1750a_f48)},
    {"utf8", D(Kind::Utf8)},
    {"utf-8", D(Kind::Utf8)},
    {"utf16", D(Kind::Utf16)},
    {"utf-16", D(Kind::Utf16)},
    {"utf16le", D(Kind::Utf16le)},
    {"utf-16le", D(Kind::Utf16le)},
    {"utf16be", D(Kind::Utf16be)},
    {"utf-16be", D(Kind::Utf16be)},
    {"utf32", D(Kind::Utf32)},
    {"utf-32", D(Kind::Utf32)},
    {"utf32le", D(Kind::Utf32le)},
    {"utf-32le", D(Kind::Utf32le)},
    {"utf32be", D(Kind::Utf32be)},
    {"utf-32be", D(Kind::Utf32be)},
    {"us_ascii", D(Kind::UsAscii)},
    {"us-ascii", D(Kind::UsAscii)},
    {"latin1", D(Kind::Latin1)},
    {"iso_8859_1", D(Kind::Latin1)},
    {"iso-8859-1", D(Kind::Latin1)},
    {"windows_1252", D(Kind::Windows1252)},
    {"windows-1252", D(Kind::Windows1252)},
};

static_assert(std::size(kNames) < recipe_cache::kNoCode, "an encoding's code is its index in kNames");

const NameEntry* find_decoder(std::string_view lowered) {
    for (const NameEntry& entry : kNames) {
        if (entry.name == lowered) {
            return &entry;
        }
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Errors

bool set_value_error(const std::string& message) {
    PyRef text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) {
        PyErr_SetObject(PyExc_ValueError, text.get());
    }
    return false;
}

std::string quoted(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    out.push_back('\'');
    out.append(s);
    out.push_back('\'');
    return out;
}

// ---------------------------------------------------------------------------
// The item loop

// One item as read from its dict (or from the cache).
struct Field {
    PyRef name;
    std::uint8_t encoding = 0;  // index in kNames
    std::uint32_t bits = 0;
    bool has_offset = false;
    std::uint64_t offset = 0;
    ByteOrder order = ByteOrder::Big;
    bool reverse_bits = false;
};

class Processor {
public:
    Processor(std::string_view packet, std::uint64_t start, const RecipeKeys& keys, bool cache)
        : packet_(packet), start_(start), cursor_(start), keys_(keys), cache_(cache) {}

    // Processes item number `index`. On failure the exception is raised and
    // `note` names the item.
    bool item(PyObject* result, PyObject* item, std::size_t index, PyRef& note);

    // Decodes a located field (new reference, or nullptr with the error set).
    PyObject* value(const Decoder& decoder, std::uint64_t pos, std::uint32_t bits, ByteOrder order,
                    bool reverse_bits);

    // Whether every item so far was known to the cache.
    bool all_known() const { return all_known_; }

private:
    bool item_body(PyObject* result, PyObject* item, Field& field);
    bool read(PyObject* item, Field& field, std::uint64_t& pos);
    bool locate(const Field& field, std::uint64_t& pos) const;
    PyObject* text_value(Kind kind, std::string_view window);

    std::string_view packet_;
    std::uint64_t start_;
    std::uint64_t cursor_;
    const RecipeKeys& keys_;
    bool cache_;  // whether items are looked up in the cache
    bool all_known_ = true;
    AcceptedNames<const NameEntry*, 8> encodings_;
    AcceptedNames<ByteOrder, 2> byte_orders_;
    ItemSite site_;  // what is known of the current item
};

PyObject* Processor::text_value(Kind kind, std::string_view w) {
    TextDecoder which;
    switch (kind) {
        case Kind::Utf8: which = TextDecoder::Utf8; break;
        case Kind::Utf16: which = TextDecoder::Utf16; break;
        case Kind::Utf16le: which = TextDecoder::Utf16le; break;
        case Kind::Utf16be: which = TextDecoder::Utf16be; break;
        case Kind::Utf32: which = TextDecoder::Utf32; break;
        case Kind::Utf32le: which = TextDecoder::Utf32le; break;
        case Kind::Utf32be: which = TextDecoder::Utf32be; break;
        case Kind::UsAscii: which = TextDecoder::UsAscii; break;
        case Kind::Latin1: which = TextDecoder::Iso8859_1; break;
        case Kind::Windows1252: which = TextDecoder::Windows1252; break;
        default: return raise_panic("text decoder called for a numeric encoding");
    }
    return decoded_text(which, w);
}

PyObject* Processor::value(const Decoder& decoder, std::uint64_t pos, std::uint32_t bits, ByteOrder order,
                           bool reverse_bits) {
    // Width rules of the numeric rows, checked once the row is known.
    auto exact_width = [bits](unsigned n) -> PyObject* {
        set_value_error("IEEE 754 f" + std::to_string(n) + " requires a " + std::to_string(n) + "-bit field (got " +
                        std::to_string(bits) + " bits)");
        return nullptr;
    };
    switch (decoder.kind) {
        case Kind::F16:
            if (bits != 16) {
                return exact_width(16);
            }
            return float_result(decode_ieee754_f16(raw_pattern(packet_, pos, bits, order, reverse_bits)));
        case Kind::F32:
            if (bits != 32) {
                return exact_width(32);
            }
            return float_result(decode_ieee754_f32(raw_pattern(packet_, pos, bits, order, reverse_bits)));
        case Kind::F64:
            if (bits != 64) {
                return exact_width(64);
            }
            return float_result(decode_ieee754_f64(raw_pattern(packet_, pos, bits, order, reverse_bits)));
        case Kind::F128:
            if (bits > 64) {
                set_value_error(
                    "IEEE 754 f128 requires special handling for >64 bits (not yet implemented in process_recipe)");
            } else {
                set_value_error("IEEE 754 f128 requires a 128-bit field (got " + std::to_string(bits) + " bits)");
            }
            return nullptr;
        case Kind::FloatStub:
            return raise_error(float_decode_stub_error(decoder.stub));
        case Kind::Unsigned:
        case Kind::TwosComplement:
        case Kind::OnesComplement:
        case Kind::SignMagnitude:
        case Kind::Bcd:
        case Kind::BcdSigned:
        case Kind::PackedBcd:
        case Kind::PackedBcdSigned:
            break;
        default: {
            // Text: the codec gets the whole window, as a view of the packet
            // when the field is whole bytes at a byte boundary in big-endian
            // order, else as a copy cut for this item.
            const std::uint64_t n = (std::uint64_t{bits} + 7) / 8;
            const auto* data = reinterpret_cast<const unsigned char*>(packet_.data());
            if (order == ByteOrder::Big && (pos & 7) == 0 && (bits & 7) == 0) {
                return text_value(decoder.kind, packet_.substr(static_cast<std::size_t>(pos >> 3), n));
            }
            std::array<unsigned char, 64> small;
            std::string large;
            unsigned char* buffer = small.data();
            if (n > small.size()) {
                try {
                    large.resize(static_cast<std::size_t>(n));
                } catch (const std::bad_alloc&) {
                    return PyErr_NoMemory();
                }
                buffer = reinterpret_cast<unsigned char*>(large.data());
            }
            if (n > 0) {
                cut_window(data, pos, bits, buffer, static_cast<std::size_t>(n));
                if (order == ByteOrder::Little) {
                    std::reverse(buffer, buffer + n);
                }
            }
            return text_value(decoder.kind,
                              std::string_view(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n)));
        }
    }
    // Integer and BCD rows: the value must come from at most 64 bits.
    if (bits > 64) {
        set_value_error("Cannot decode " + std::to_string(bits) + " bits into a 64-bit value");
        return nullptr;
    }
    const std::uint64_t pattern = raw_pattern(packet_, pos, bits, order, reverse_bits);
    switch (decoder.kind) {
        case Kind::Unsigned:
            return int_result(pattern);
        case Kind::TwosComplement:
            return int_result(decode_twos_complement(pattern, bits));
        case Kind::OnesComplement:
            return int_result(decode_ones_complement(pattern, bits));
        case Kind::SignMagnitude:
            return int_result(decode_sign_magnitude(pattern, bits));
        case Kind::Bcd:
            return int_result(decode_unpacked_bcd(pattern, bits, false));
        case Kind::BcdSigned:
            return int_result(decode_unpacked_bcd(pattern, bits, true));
        case Kind::PackedBcd:
            return int_result(decode_packed_bcd(pattern, bits, false));
        case Kind::PackedBcdSigned:
            return int_result(decode_packed_bcd(pattern, bits, true));
        default:
            break;
    }
    return raise_panic("numeric decoder called for a text encoding");
}

bool Processor::item(PyObject* result, PyObject* item, std::size_t index, PyRef& note) {
    Field field;
    site_.begin(index);
    if (item_body(result, item, field)) [[likely]] {
        return true;
    }
    // Made now, while the item's name is still held.
    note = item_note(site_);
    return false;
}

bool Processor::item_body(PyObject* result, PyObject* item, Field& field) {
    std::uint64_t pos = 0;
    recipe_cache::Item known{};
    if (cache_ && PyDict_CheckExact(item) && recipe_cache::find(item, recipe_cache::Direction::Unpack, known)) {
        // What is known is told in the order in which a fresh reading learns it.
        field.name = PyRef::borrow(known.name);
        site_.name = known.name;
        field.encoding = known.encoding;
        field.bits = known.bits;
        site_.set_bits(known.bits);
        field.has_offset = known.has_offset;
        field.offset = known.offset;
        field.order = known.little ? ByteOrder::Little : ByteOrder::Big;
        field.reverse_bits = known.reverse_bits;
        if (!locate(field, pos)) {
            return false;
        }
        site_.set_position(pos);
        site_.encoding = kNames[field.encoding].name;
    } else {
        all_known_ = false;
        if (cache_ && recipe_cache::full()) {
            cache_ = false;  // the rest would miss as well
        }
        if (!read(item, field, pos)) {
            return false;
        }
    }

    PyRef value(this->value(kNames[field.encoding].decoder, pos, field.bits, field.order, field.reverse_bits));
    if (!value) {
        return false;
    }
    // The result key is a plain str equal to the name: a str subclass is not
    // stored itself (its own __hash__ or __eq__ must not run here).
    PyRef key;
    if (PyUnicode_CheckExact(field.name.get())) {
        key = std::move(field.name);
    } else {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(field.name.get(), &size);
        key = PyRef(text ? PyUnicode_FromStringAndSize(text, size) : nullptr);
        if (!key) {
            raise_panic_from_current();
            return false;
        }
    }
    if (PyDict_SetItem(result, key.get(), value.get()) < 0) {
        raise_panic_from_current();
        return false;
    }
    value.reset();
    key.reset();
    cursor_ = pos + field.bits;
    return true;
}

// The field's position: relative to the start offset when the item has
// one, else the cursor; then the bounds, before anything else of the field
// is examined. The sums are checked so that a position never wraps around.
bool Processor::locate(const Field& field, std::uint64_t& pos) const {
    const std::uint32_t bits = field.bits;
    // The name is only needed for a message.
    auto fail = [&field](const std::string& before, const std::string& after) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(field.name.get(), &size);
        return text && set_value_error(before + quoted(std::string_view(text, static_cast<std::size_t>(size))) + after);
    };
    pos = cursor_;
    if (field.has_offset) {
        if (field.offset > UINT64_MAX - start_ || bits > UINT64_MAX - (start_ + field.offset)) {
            return fail("Field ", " position overflows: start offset " + std::to_string(start_) + " + offset_bits " +
                                      std::to_string(field.offset) + " + bits " + std::to_string(bits) +
                                      " exceeds 2**64 - 1");
        }
        pos = start_ + field.offset;
    } else if (bits > UINT64_MAX - pos) {
        return fail("Field ", " position overflows: bit position " + std::to_string(pos) + " + bits " +
                                  std::to_string(bits) + " exceeds 2**64 - 1");
    }
    const std::uint64_t end = pos + bits;
    const std::uint64_t end_bytes = (end >> 3) + ((end & 7) != 0 ? 1 : 0);
    if (end_bytes > packet_.size()) {
        return fail("Field ", " runs past the end of the packet: it ends at bit " + std::to_string(end) +
                                  " but the packet has " + std::to_string(packet_.size()) + " bytes");
    }
    return true;
}

// Reads the item's keys in their fixed order (the first failure ends the
// item), locates the field, then matches the byte order and the encoding.
// What was read is remembered when the dict and its values can be cached.
bool Processor::read(PyObject* item, Field& field, std::uint64_t& pos) {
    if (!convert_dict(item)) {
        return false;
    }
    recipe_cache::Reading reading(item);

    std::string_view name;
    if (!processor::get_required_field(item, keys_.name, "name", field.name, name)) {
        return false;
    }
    site_.name = field.name.get();

    PyRef encoding_obj;
    std::string_view encoding;
    if (!lookup_required(item, keys_.encoding, "encoding", encoding_obj)) {
        return false;
    }
    // A cached object already converted once, so it cannot fail now.
    const NameEntry* const* cached_decoder = encodings_.find(encoding_obj.get());
    if (!cached_decoder && !convert_str(encoding_obj.get(), encoding)) {
        return false;
    }

    PyRef bits_obj;
    if (!lookup_required(item, keys_.bits, "bits", bits_obj) || !convert_u32(bits_obj.get(), field.bits)) {
        return false;
    }
    const std::uint32_t bits = field.bits;
    site_.set_bits(bits);

    PyRef order_obj;
    std::string_view order_text;
    if (!lookup_required(item, keys_.byte_order, "byte_order", order_obj)) {
        return false;
    }
    const ByteOrder* cached_order = byte_orders_.find(order_obj.get());
    if (!cached_order && !convert_str(order_obj.get(), order_text)) {
        return false;
    }

    PyRef reverse_obj;
    if (!lookup_required(item, keys_.reverse_bits, "reverse_bits", reverse_obj) ||
        !convert_bool(reverse_obj.get(), field.reverse_bits)) {
        return false;
    }

    PyRef offset_obj;
    {
        PyObject* found = nullptr;
        const int r = recipe_lookup(item, keys_.offset_bits, &found);
        if (r < 0) {
            return false;
        }
        offset_obj = PyRef(found);
        if (r > 0 && !convert_u64(found, field.offset)) {
            return false;
        }
        field.has_offset = r > 0;
    }

    if (!locate(field, pos)) {
        return false;
    }
    site_.set_position(pos);

    // Byte order.
    if (cached_order) {
        field.order = *cached_order;
    } else {
        LoweredName lowered;
        if (!lowered.assign(order_obj.get(), order_text)) {
            return false;
        }
        if (lowered.view() == "big") {
            field.order = ByteOrder::Big;
        } else if (lowered.view() == "little") {
            field.order = ByteOrder::Little;
        } else {
            return set_value_error("Invalid byte_order " + quoted(order_text) + ": must be 'big' or 'little'");
        }
        byte_orders_.remember(order_obj.get(), field.order);
    }
    if (field.order == ByteOrder::Little && (bits & 7) != 0) {
        if (cached_order && !convert_str(order_obj.get(), order_text)) {
            return false;
        }
        return set_value_error("Invalid byte_order " + quoted(order_text) +
                               ": little-endian fields must be a whole number of bytes (got " +
                               std::to_string(bits) + " bits)");
    }

    // Encoding.
    const NameEntry* decoder;
    if (cached_decoder) {
        decoder = *cached_decoder;
    } else {
        LoweredName lowered;
        if (!lowered.assign(encoding_obj.get(), encoding)) {
            return false;
        }
        decoder = find_decoder(lowered.view());
        if (!decoder) {
            return set_value_error("Unsupported encoding type: " + std::string(encoding));
        }
        encodings_.remember(encoding_obj.get(), decoder);
    }
    field.encoding = static_cast<std::uint8_t>(decoder - kNames);
    site_.encoding = decoder->name;

    if (PyUnicode_CheckExact(field.name.get()) && PyUnicode_CheckExact(encoding_obj.get()) &&
        PyLong_CheckExact(bits_obj.get()) && PyUnicode_CheckExact(order_obj.get()) &&
        (!offset_obj || PyLong_CheckExact(offset_obj.get()))) {
        // reverse_bits converted, so it is a bool or a NumPy boolean.
        if (PyBool_Check(reverse_obj.get())) {
            reading.fill({field.name.get(), field.offset, bits, field.has_offset, field.reverse_bits,
                          field.order == ByteOrder::Little, field.encoding, nullptr},
                         recipe_cache::Direction::Unpack);
        }
    }
    // Dropped here rather than by their destructors, which check more.
    encoding_obj.reset();
    bits_obj.reset();
    order_obj.reset();
    reverse_obj.reset();
    offset_obj.reset();
    return true;
}

}  // namespace

namespace processor {

bool get_required_field(PyObject* item, PyObject* key, const char* key_name, PyRef& holder, std::string_view& out) {
    return lookup_required(item, key, key_name, holder) && convert_str(holder.get(), out);
}

}  // namespace processor

bool plannable_decoding(std::uint8_t code, std::uint32_t bits) {
    const Kind kind = kNames[code].decoder.kind;
    switch (kind) {
        case Kind::F16: return bits == 16;
        case Kind::F32: return bits == 32;
        case Kind::F64: return bits == 64;
        case Kind::F128:
        case Kind::FloatStub: return false;
        default: return !integer_kind(kind) || bits <= 64;  // text takes any width
    }
}

PyObject* unpack_with_plan(const recipe_cache::Plan& plan, std::string_view packet, std::uint64_t offset_bits) {
    // Every field lies between the start and the plan's end: one check
    // places them all inside the packet.
    if (offset_bits > UINT64_MAX - plan.end) {
        return nullptr;
    }
    const std::uint64_t end = offset_bits + plan.end;
    if ((end >> 3) + ((end & 7) != 0 ? 1 : 0) > packet.size()) {
        return nullptr;
    }
    PyRef result(PyDict_Copy(plan.result_template));
    if (!result) {
        PyErr_Clear();
        return nullptr;
    }
    Processor processor(packet, offset_bits, *recipe_keys(), false);
    for (std::size_t i = 0; i < plan.count; ++i) {
        const recipe_cache::PlanField& f = plan.fields[i];
        PyRef value(processor.value(kNames[f.encoding].decoder, offset_bits + f.pos, f.bits,
                                    f.little ? ByteOrder::Little : ByteOrder::Big, f.reverse_bits));
        // The key is in the result already: this replaces its value.
        if (!value || PyDict_SetItem(result.get(), f.name, value.get()) < 0) {
            PyErr_Clear();
            return nullptr;
        }
    }
    return result.release();
}

PyObject* process_recipe(std::string_view packet, std::uint64_t offset_bits, const std::vector<PyRef>& recipe,
                         PyRef& note, bool& all_known) {
    const RecipeKeys* keys = recipe_keys();
    PyRef result(PyDict_New());
    if (!result) {
        return raise_panic_from_current();
    }
    Processor processor(packet, offset_bits, *keys, recipe_cache::active());
    for (std::size_t i = 0; i < recipe.size(); ++i) {
        // A long recipe answers Ctrl-C (and lets signal handlers run) every
        // so many items; an interrupt discards the partial result.
        if ((i & (kItemsBetweenSignalChecks - 1)) == kItemsBetweenSignalChecks - 1 && PyErr_CheckSignals() < 0) {
            return nullptr;
        }
        if (!processor.item(result.get(), recipe[i].get(), i, note)) {
            return nullptr;
        }
    }
    all_known = processor.all_known();
    return result.release();
}

}  // namespace kestrune
