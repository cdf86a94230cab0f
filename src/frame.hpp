// The generic call frame shared by every module function.
#pragma once

#include <Python.h>

#include "registry.hpp"

namespace kestrune {

// Binds `args` (vectorcall layout) to the row's parameters, converts them,
// runs the operation and turns every failure into a raised exception.
PyObject* call_frame(const FunctionRow& row, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Interns the parameter names of every row (once, at module creation).
bool intern_parameter_names();
// Drops them when the runtime that interned them has finalised.
void forget_parameter_names();

}  // namespace kestrune
