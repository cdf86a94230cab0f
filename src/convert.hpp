// Conversions from Python objects to the machine types that the operations
// take. Used by the call frame for function arguments and by the two packet
// layers for the values they read out of recipe dicts.
//
// Every function returns true on success. On failure it returns false with a
// Python exception set (a cast error, or the error of the CPython call used).
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "pyref.hpp"
#include "u128.hpp"

namespace kestrune {

// Drops the cached collections.abc.Sequence when the runtime that made it
// has finalised; the next runtime looks it up again.
void forget_sequence_type();

// Sets TypeError "'{type qualname}' object cannot be cast as '{target}'".
void set_cast_error(PyObject* obj, const char* target);

// str or subclass -> its UTF-8 text, viewed in place (valid while obj lives).
bool convert_str(PyObject* obj, std::string_view& out);
// bytes or subclass -> its contents, viewed in place.
bool convert_bytes(PyObject* obj, std::string_view& out);
// bytes / bytearray (copied) or a sequence of ints 0..255; a str is refused.
bool convert_byte_sequence(PyObject* obj, std::vector<std::uint8_t>& out);
// Any sequence but str -> its elements (strong references) in iteration order.
bool convert_sequence(PyObject* obj, std::vector<PyRef>& out);
// The same for an exact list or tuple.
bool copy_items(PyObject* obj, std::vector<PyRef>& out);
bool convert_double(PyObject* obj, double& out);
// The double rounded to binary32 (ties to even, overflow to infinity).
bool convert_single(PyObject* obj, float& out);
bool convert_i64(PyObject* obj, std::int64_t& out);
bool convert_u8(PyObject* obj, std::uint8_t& out);
bool convert_u32(PyObject* obj, std::uint32_t& out);
bool convert_u64(PyObject* obj, std::uint64_t& out);
bool convert_u128(PyObject* obj, u128& out);
// Exactly bool, or a NumPy boolean; an int is refused.
bool convert_bool(PyObject* obj, bool& out);
// dict or subclass (the object itself is used as it is).
bool convert_dict(PyObject* obj);

// binary32 rounding of a double as the single conversion does it.
float round_to_single(double value) noexcept;

}  // namespace kestrune
