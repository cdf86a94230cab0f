// Raising codec errors as Python exceptions, and the error forms of the
// module boundary.
#pragma once

#include <Python.h>

#include "error.hpp"

namespace kestrune {

// Sets `error` as the raised Python exception. Always returns nullptr.
PyObject* raise_error(const Error& error);

// Replaces the exception being raised by ValueError "{qualname}: {str(exc)}"
// ("<exception str() failed>" when str() fails), without chaining. Exceptions
// that do not derive from Exception (KeyboardInterrupt, SystemExit, ...) are
// left to propagate unchanged. Used by the two packet functions.
void wrap_as_value_error();

// Replaces the exception being raised (if any) by PanicException with the
// same text. For internal faults such as a result object that could not be
// created. Always returns nullptr.
PyObject* raise_panic_from_current();
PyObject* raise_panic(const char* message);

}  // namespace kestrune
