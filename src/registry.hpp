// The registry: one row per module function, in registration order. The call
// frame binds and converts arguments as the row says and calls its operation.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "pyref.hpp"
#include "u128.hpp"

namespace kestrune {

// How the call frame converts one argument.
enum class Conv : std::uint8_t { Str, Bytes, Seq, Recipe, Double, Single, I64, U32, U64, U128, Bool };

inline constexpr int kMaxParams = 3;

// One converted argument; only the member of the row's conversion is set,
// and only that one is read. The numeric members are left uninitialised:
// the frame makes three of these per call, and zeroing them all costs more
// than a short text codec call does.
struct Arg {
    std::string_view text;     // Bytes: viewed in place for the call
    PyObject* object;          // Str: the argument itself (borrowed for the call);
                               // Recipe: the list or tuple, or nullptr
                               // when `items` holds the sequence's items
    double f64;                // Double
    float f32;                 // Single
    std::int64_t i64;          // I64
    std::uint32_t u32;         // U32
    std::uint64_t u64;         // U64
    kestrune::u128 u128;       // U128
    bool flag = false;         // Bool (and the default of an optional bool)
    std::vector<PyRef> items;  // Seq, Recipe

    Arg() = default;
    Arg(const Arg&) = delete;
    Arg& operator=(const Arg&) = delete;
    // Drops the items' references in one pass, with one look at the
    // interpreter's state for all of them (a recipe may hold millions).
    ~Arg() {
        if (items.empty()) {
            return;
        }
        const bool finalising = Py_IsFinalizing();
        for (PyRef& item : items) {
            PyObject* p = item.release();
            if (!finalising) {
                Py_XDECREF(p);
            }
        }
    }
};

// Returns a new reference, or nullptr with an exception set.
using Operation = PyObject* (*)(Arg* args);

struct FunctionRow {
    const char* name;
    std::array<const char*, kMaxParams> params;  // unused slots are nullptr
    int nparams;
    int nrequired;  // parameters beyond this are optional (signed=False)
    std::array<Conv, kMaxParams> conv;
    Operation op;
};

// The rows in registration order, and the C entry point of each.
const FunctionRow* registry_rows();
std::size_t registry_size();
PyCFunctionFastWithKeywords registry_entry(std::size_t index);

}  // namespace kestrune
