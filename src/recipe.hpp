// What the packet builder and the recipe processor share about recipe items:
// the interned key strings and the missing-key error.
#pragma once

#include <Python.h>

namespace kestrune {

struct RecipeKeys {
    PyObject* name;
    PyObject* encoding;
    PyObject* bits;
    PyObject* byte_order;
    PyObject* reverse_bits;
    PyObject* offset_bits;
    PyObject* value;
};

// The interned keys, created once per process. Returns nullptr with an
// exception set if they cannot be created.
const RecipeKeys* recipe_keys();

// Looks `key` up with the base dict lookup (a dict subclass's __getitem__ or
// __missing__ is never consulted). Returns 1 and a new reference in `out`
// when present, 0 when absent, -1 with an exception set on error.
inline int recipe_lookup(PyObject* item, PyObject* key, PyObject** out) { return PyDict_GetItemRef(item, key, out); }

// Sets KeyError "Recipe missing required field: '{key}'".
void set_missing_field(const char* key);

}  // namespace kestrune
