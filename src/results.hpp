// Python result objects for the operations of the registry. A result object
// that cannot be created is an internal fault (PanicException); an error
// value is raised as its own exception.
#pragma once

#include <Python.h>

#include <concepts>
#include <cstdint>
#include <type_traits>

#include "error.hpp"
#include "pyerrors.hpp"

namespace kestrune {

template <std::integral T>
inline PyObject* int_result(T value) {
    PyObject* obj;
    if constexpr (std::is_signed_v<T>) {
        obj = PyLong_FromLongLong(static_cast<long long>(value));
    } else {
        obj = PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value));
    }
    return obj ? obj : raise_panic_from_current();
}

inline PyObject* float_result(double value) {
    PyObject* obj = PyFloat_FromDouble(value);
    return obj ? obj : raise_panic_from_current();
}

template <class T>
inline PyObject* int_result(const Result<T>& r) {
    return r ? int_result(*r) : raise_error(r.error());
}

}  // namespace kestrune
