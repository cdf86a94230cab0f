// What the packet builder and the recipe processor share about recipe items:
// the interned key strings and the missing-key error.
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>

#include "pyref.hpp"

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

// Items processed between two checks for signals in the packet functions'
// item loops: tens of microseconds of work, so that Ctrl-C is answered at
// once, at a cost that does not show.
inline constexpr std::size_t kItemsBetweenSignalChecks = 1024;

// Interns the keys if they are not yet (at module creation, so that no call
// has to). False with the error set; a later attempt starts again.
bool intern_recipe_keys();
// Drops the keys when the runtime that interned them has finalised (they
// went with it); the next runtime interns its own.
void forget_recipe_keys();

// The interned keys. Valid from the module's creation on.
const RecipeKeys* recipe_keys();

// Looks `key` up with the base dict lookup (a dict subclass's __getitem__ or
// __missing__ is never consulted). Returns 1 and a new reference in `out`
// when present, 0 when absent, -1 with an exception set on error.
inline int recipe_lookup(PyObject* item, PyObject* key, PyObject** out) { return PyDict_GetItemRef(item, key, out); }

// Sets KeyError "Recipe missing required field: '{key}'".
void set_missing_field(const char* key);

// Looks up a required key without converting its value: true with the
// value in `out`; false with the missing-field KeyError (or the lookup's own
// error) set.
inline bool lookup_required(PyObject* item, PyObject* key, const char* key_name, PyRef& out) {
    PyObject* found = nullptr;
    const int r = recipe_lookup(item, key, &found);
    if (r == 0) {
        set_missing_field(key_name);
    }
    out = PyRef(found);
    return r > 0;
}

// The name objects (encoding, byte order) already accepted in one call, each
// with what it selected. Recipes usually share a handful of str objects for
// these names; a str is immutable, so meeting the same object again (held
// here, so it cannot be freed and its address reused) means the same
// conversion, lower-casing and match, which can then be skipped.
template <class T, std::size_t N>
class AcceptedNames {
public:
    const T* find(PyObject* obj) const noexcept {
        for (std::size_t i = 0; i < count_; ++i) {
            if (objects_[i].get() == obj) {
                return &values_[i];
            }
        }
        return nullptr;
    }
    void remember(PyObject* obj, T value) {
        const std::size_t slot = next_++ % N;
        objects_[slot] = PyRef::borrow(obj);
        values_[slot] = value;
        count_ = std::min(count_ + 1, N);
    }

private:
    std::array<PyRef, N> objects_;
    std::array<T, N> values_{};
    std::size_t count_ = 0;
    std::size_t next_ = 0;
};

}  // namespace kestrune
