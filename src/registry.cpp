// The table of all module functions, in registration order, and the C entry
// points that route each of them into the generic call frame.
#include "registry.hpp"

#include <utility>

#include "decoder/integer.hpp"
#include "encoder/integer.hpp"
#include "frame.hpp"
#include "results.hpp"

namespace kestrune {
namespace {

using C = Conv;
constexpr std::array<const char*, kMaxParams> P(const char* a, const char* b = nullptr, const char* c = nullptr) {
    return {a, b, c};
}
constexpr std::array<Conv, kMaxParams> V(Conv a, Conv b = Conv::Bool, Conv c = Conv::Bool) { return {a, b, c}; }

constexpr FunctionRow kRows[] = {
    // ---- packet functions (unpack_parameters, pack_parameters) ----
    // ---- integer decoders ----
    {"decode_ones_complement", P("value", "bits"), 2, 2, V(C::U64, C::U32),
     [](Arg* a) { return int_result(decode_ones_complement(a[0].u64, a[1].u32)); }},
    {"decode_twos_complement", P("value", "bits"), 2, 2, V(C::U64, C::U32),
     [](Arg* a) { return int_result(decode_twos_complement(a[0].u64, a[1].u32)); }},
    {"decode_sign_magnitude", P("value", "bits"), 2, 2, V(C::U64, C::U32),
     [](Arg* a) { return int_result(decode_sign_magnitude(a[0].u64, a[1].u32)); }},
    // ---- BCD decoders (decode_unpacked_bcd, decode_packed_bcd) ----
    // ---- float decoders (decode_ieee754_f16 ... decode_ti_f40) ----
    // ---- text decoders (decode_us_ascii ... decode_utf32be) ----
    // ---- integer encoders ----
    {"encode_ones_complement", P("value", "bits"), 2, 2, V(C::I64, C::U32),
     [](Arg* a) { return int_result(encode_ones_complement(a[0].i64, a[1].u32)); }},
    {"encode_twos_complement", P("value", "bits"), 2, 2, V(C::I64, C::U32),
     [](Arg* a) { return int_result(encode_twos_complement(a[0].i64, a[1].u32)); }},
    {"encode_sign_magnitude", P("value", "bits"), 2, 2, V(C::I64, C::U32),
     [](Arg* a) { return int_result(encode_sign_magnitude(a[0].i64, a[1].u32)); }},
    // ---- BCD encoders (encode_unpacked_bcd, encode_packed_bcd) ----
    // ---- float encoders (encode_ieee754_f16 ... encode_ti_f40) ----
    // ---- text encoders (encode_us_ascii ... encode_utf32be) ----
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
