// The table of all module functions, in registration order, and the C entry
// points that route each of them into the generic call frame.
#include "registry.hpp"

#include <utility>

#include "decoder/bcd.hpp"
#include "decoder/float.hpp"
#include "decoder/integer.hpp"
#include "encoder/bcd.hpp"
#include "encoder/float.hpp"
#include "encoder/integer.hpp"
#include "frame.hpp"
#include "pack_parameters.hpp"
#include "results.hpp"
#include "text_objects.hpp"
#include "unpack_parameters.hpp"

namespace kestrune {
namespace {

using C = Conv;
constexpr std::array<const char*, kMaxParams> P(const char* a, const char* b = nullptr, const char* c = nullptr) {
    return {a, b, c};
}
constexpr std::array<Conv, kMaxParams> V(Conv a, Conv b = Conv::Bool, Conv c = Conv::Bool) { return {a, b, c}; }

constexpr FunctionRow kRows[] = {
    // ---- packet functions ----
    {"unpack_parameters", P("packet_bytes", "offset_bits", "recipe"), 3, 3, V(C::Bytes, C::U64, C::Recipe),
     [](Arg* a) { return unpack_parameters(a[0].text, a[1].u64, a[2]); }},
    {"pack_parameters", P("recipe"), 1, 1, V(C::Recipe), [](Arg* a) { return pack_parameters(a[0]); }},
    // ---- integer decoders ----
    {"decode_ones_complement", P("value", "bits"), 2, 2, V(C::U64, C::U32),
     [](Arg* a) { return int_result(decode_ones_complement(a[0].u64, a[1].u32)); }},
    {"decode_twos_complement", P("value", "bits"), 2, 2, V(C::U64, C::U32),
     [](Arg* a) { return int_result(decode_twos_complement(a[0].u64, a[1].u32)); }},
    {"decode_sign_magnitude", P("value", "bits"), 2, 2, V(C::U64, C::U32),
     [](Arg* a) { return int_result(decode_sign_magnitude(a[0].u64, a[1].u32)); }},
    // ---- BCD decoders ----
    {"decode_unpacked_bcd", P("value", "bits", "signed"), 3, 2, V(C::U64, C::U32, C::Bool),
     [](Arg* a) { return int_result(decode_unpacked_bcd(a[0].u64, a[1].u32, a[2].flag)); }},
    {"decode_packed_bcd", P("value", "bits", "signed"), 3, 2, V(C::U64, C::U32, C::Bool),
     [](Arg* a) { return int_result(decode_packed_bcd(a[0].u64, a[1].u32, a[2].flag)); }},
    // ---- floating-point decoders ----
    {"decode_ieee754_f16", P("value"), 1, 1, V(C::U64),
     [](Arg* a) { return float_result(decode_ieee754_f16(a[0].u64)); }},
    {"decode_ieee754_f32", P("value"), 1, 1, V(C::U64),
     [](Arg* a) { return float_result(decode_ieee754_f32(a[0].u64)); }},
    {"decode_ieee754_f64", P("value"), 1, 1, V(C::U64),
     [](Arg* a) { return float_result(decode_ieee754_f64(a[0].u64)); }},
    {"decode_ieee754_f128", P("value"), 1, 1, V(C::U128),
     [](Arg* a) { return float_result(decode_ieee754_f128(a[0].u128)); }},
    {"decode_ieee754_1985_f32", P("_value"), 1, 1, V(C::U64),
     [](Arg*) { return raise_error(float_decode_stub_error(FloatStub::ieee754_1985_f32)); }},
    {"decode_ieee754_1985_f64", P("_value"), 1, 1, V(C::U64),
     [](Arg*) { return raise_error(float_decode_stub_error(FloatStub::ieee754_1985_f64)); }},
    {"decode_ieee754_1985_f80", P("_value"), 1, 1, V(C::U64),
     [](Arg*) { return raise_error(float_decode_stub_error(FloatStub::ieee754_1985_f80)); }},
    {"decode_mil_std_1750a_f32", P("_value"), 1, 1, V(C::U64),
     [](Arg*) { return raise_error(float_decode_stub_error(FloatStub::mil_std_1750a_f32)); }},
    {"decode_mil_std_1750a_f48", P("_value"), 1, 1, V(C::U64),
     [](Arg*) { return raise_error(float_decode_stub_error(FloatStub::mil_std_1750a_f48)); }},
    {"decode_dec_f32", P("_value"), 1, 1, V(C::U64),
     [](Arg*) { return raise_error(float_decode_stub_error(FloatStub::dec_f32)); }},
    {"decode_dec_f64", P("_value"), 1, 1, V(C::U64),
     [](Arg*) { return raise_error(float_decode_stub_error(FloatStub::dec_f64)); }},
    {"decode_ibm_f32", P("_value"), 1, 1, V(C::U64),
     [](Arg*) { return raise_error(float_decode_stub_error(FloatStub::ibm_f32)); }},
    {"decode_ibm_f64", P("_value"), 1, 1, V(C::U64),
     [](Arg*) { return raise_error(float_decode_stub_error(FloatStub::ibm_f64)); }},
    {"decode_ti_f32", P("_value"), 1, 1, V(C::U64),
     [](Arg*) { return raise_error(float_decode_stub_error(FloatStub::ti_f32)); }},
    {"decode_ti_f40", P("_value"), 1, 1, V(C::U64),
     [](Arg*) { return raise_error(float_decode_stub_error(FloatStub::ti_f40)); }},
    // ---- text decoders ----
    {"decode_us_ascii", P("bytes"), 1, 1, V(C::Bytes),
     [](Arg* a) { return decoded_text(TextDecoder::UsAscii, a[0].text); }},
    {"decode_iso_8859_1", P("bytes"), 1, 1, V(C::Bytes),
     [](Arg* a) { return decoded_text(TextDecoder::Iso8859_1, a[0].text); }},
    {"decode_windows_1252", P("bytes"), 1, 1, V(C::Bytes),
     [](Arg* a) { return decoded_text(TextDecoder::Windows1252, a[0].text); }},
    {"decode_utf8", P("bytes"), 1, 1, V(C::Bytes),
     [](Arg* a) { return decoded_text(TextDecoder::Utf8, a[0].text); }},
    {"decode_utf16", P("bytes"), 1, 1, V(C::Bytes),
     [](Arg* a) { return decoded_text(TextDecoder::Utf16, a[0].text); }},
    {"decode_utf16le", P("bytes"), 1, 1, V(C::Bytes),
     [](Arg* a) { return decoded_text(TextDecoder::Utf16le, a[0].text); }},
    {"decode_utf16be", P("bytes"), 1, 1, V(C::Bytes),
     [](Arg* a) { return decoded_text(TextDecoder::Utf16be, a[0].text); }},
    {"decode_utf32", P("bytes"), 1, 1, V(C::Bytes),
     [](Arg* a) { return decoded_text(TextDecoder::Utf32, a[0].text); }},
    {"decode_utf32le", P("bytes"), 1, 1, V(C::Bytes),
     [](Arg* a) { return decoded_text(TextDecoder::Utf32le, a[0].text); }},
    {"decode_utf32be", P("bytes"), 1, 1, V(C::Bytes),
     [](Arg* a) { return decoded_text(TextDecoder::Utf32be, a[0].text); }},
    // ---- integer encoders ----
    {"encode_ones_complement", P("value", "bits"), 2, 2, V(C::I64, C::U32),
     [](Arg* a) { return int_result(encode_ones_complement(a[0].i64, a[1].u32)); }},
    {"encode_twos_complement", P("value", "bits"), 2, 2, V(C::I64, C::U32),
     [](Arg* a) { return int_result(encode_twos_complement(a[0].i64, a[1].u32)); }},
    {"encode_sign_magnitude", P("value", "bits"), 2, 2, V(C::I64, C::U32),
     [](Arg* a) { return int_result(encode_sign_magnitude(a[0].i64, a[1].u32)); }},
    // ---- BCD encoders ----
    {"encode_unpacked_bcd", P("value", "bits", "signed"), 3, 2, V(C::I64, C::U32, C::Bool),
     [](Arg* a) { return int_result(encode_unpacked_bcd(a[0].i64, a[1].u32, a[2].flag)); }},
    {"encode_packed_bcd", P("value", "bits", "signed"), 3, 2, V(C::I64, C::U32, C::Bool),
     [](Arg* a) { return int_result(encode_packed_bcd(a[0].i64, a[1].u32, a[2].flag)); }},
    // ---- floating-point encoders ----
    {"encode_ieee754_f16", P("value"), 1, 1, V(C::Single),
     [](Arg* a) { return int_result(encode_ieee754_f16(a[0].f32)); }},
    {"encode_ieee754_f32", P("value"), 1, 1, V(C::Single),
     [](Arg* a) { return int_result(encode_ieee754_f32(a[0].f32)); }},
    {"encode_ieee754_f64", P("value"), 1, 1, V(C::Double),
     [](Arg* a) { return int_result(encode_ieee754_f64(a[0].f64)); }},
    {"encode_ieee754_f128", P("_value"), 1, 1, V(C::Double),
     [](Arg*) { return raise_error(float_encode_stub_error(FloatStub::ieee754_f128)); }},
    {"encode_ieee754_1985_f32", P("_value"), 1, 1, V(C::Single),
     [](Arg*) { return raise_error(float_encode_stub_error(FloatStub::ieee754_1985_f32)); }},
    {"encode_ieee754_1985_f64", P("_value"), 1, 1, V(C::Double),
     [](Arg*) { return raise_error(float_encode_stub_error(FloatStub::ieee754_1985_f64)); }},
    {"encode_ieee754_1985_f80", P("_value"), 1, 1, V(C::Double),
     [](Arg*) { return raise_error(float_encode_stub_error(FloatStub::ieee754_1985_f80)); }},
    {"encode_mil_std_1750a_f32", P("_value"), 1, 1, V(C::Single),
     [](Arg*) { return raise_error(float_encode_stub_error(FloatStub::mil_std_1750a_f32)); }},
    {"encode_mil_std_1750a_f48", P("_value"), 1, 1, V(C::Double),
     [](Arg*) { return raise_error(float_encode_stub_error(FloatStub::mil_std_1750a_f48)); }},
    {"encode_dec_f32", P("_value"), 1, 1, V(C::Single),
     [](Arg*) { return raise_error(float_encode_stub_error(FloatStub::dec_f32)); }},
    {"encode_dec_f64", P("_value"), 1, 1, V(C::Double),
     [](Arg*) { return raise_error(float_encode_stub_error(FloatStub::dec_f64)); }},
    {"encode_ibm_f32", P("_value"), 1, 1, V(C::Single),
     [](Arg*) { return raise_error(float_encode_stub_error(FloatStub::ibm_f32)); }},
    {"encode_ibm_f64", P("_value"), 1, 1, V(C::Double),
     [](Arg*) { return raise_error(float_encode_stub_error(FloatStub::ibm_f64)); }},
    {"encode_ti_f32", P("_value"), 1, 1, V(C::Single),
     [](Arg*) { return raise_error(float_encode_stub_error(FloatStub::ti_f32)); }},
    {"encode_ti_f40", P("_value"), 1, 1, V(C::Double),
     [](Arg*) { return raise_error(float_encode_stub_error(FloatStub::ti_f40)); }},
    // ---- text encoders ----
    {"encode_us_ascii", P("text"), 1, 1, V(C::Str),
     [](Arg* a) { return encoded_text(TextEncoder::UsAscii, a[0].object); }},
    {"encode_iso_8859_1", P("text"), 1, 1, V(C::Str),
     [](Arg* a) { return encoded_text(TextEncoder::Iso8859_1, a[0].object); }},
    {"encode_windows_1252", P("text"), 1, 1, V(C::Str),
     [](Arg* a) { return encoded_text(TextEncoder::Windows1252, a[0].object); }},
    {"encode_utf8", P("text"), 1, 1, V(C::Str),
     [](Arg* a) { return encoded_text(TextEncoder::Utf8, a[0].object); }},
    {"encode_utf16", P("text"), 1, 1, V(C::Str),
     [](Arg* a) { return encoded_text(TextEncoder::Utf16, a[0].object); }},
    {"encode_utf16le", P("text"), 1, 1, V(C::Str),
     [](Arg* a) { return encoded_text(TextEncoder::Utf16le, a[0].object); }},
    {"encode_utf16be", P("text"), 1, 1, V(C::Str),
     [](Arg* a) { return encoded_text(TextEncoder::Utf16be, a[0].object); }},
    {"encode_utf32", P("text"), 1, 1, V(C::Str),
     [](Arg* a) { return encoded_text(TextEncoder::Utf32, a[0].object); }},
    {"encode_utf32le", P("text"), 1, 1, V(C::Str),
     [](Arg* a) { return encoded_text(TextEncoder::Utf32le, a[0].object); }},
    {"encode_utf32be", P("text"), 1, 1, V(C::Str),
     [](Arg* a) { return encoded_text(TextEncoder::Utf32be, a[0].object); }},
};

constexpr std::size_t kRowCount = sizeof(kRows) / sizeof(kRows[0]);

template <std::size_t I>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_frame(kRows[I], args, nargs, kwnames);
}

template <std::size_t... I>
constexpr std::array<PyCFunctionFastWithKeywords, kRowCount> make_entries(std::index_sequence<I...>) {
    return {&entry<I>...};
}

constexpr auto kEntries = make_entries(std::make_index_sequence<kRowCount>{});

}  // namespace

const FunctionRow* registry_rows() { return kRows; }
std::size_t registry_size() { return kRowCount; }
PyCFunctionFastWithKeywords registry_entry(std::size_t index) { return kEntries[index]; }

}  // namespace kestrune
