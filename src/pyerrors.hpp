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
// that do not derive from Exception (KeyboardInterrupt, SystemExit, ...) and
// out of memory are left to propagate unchanged. Used by the two packet
// functions.
void wrap_as_value_error();

// Creates the PanicException type if it does not exist yet (at module
// creation, so that every later fault finds it). False with the error set.
bool create_panic_type();
// Drops the type when the runtime that made it has finalised (the object
// went with it); the next runtime creates its own.
void forget_panic_type();

// True for out of memory as the interpreter raises it: a MemoryError
// without arguments. A MemoryError with a text (a packet too large for its
// offsets, or one a caller's code raised) is an ordinary failure.
bool is_out_of_memory(PyObject* exc);

// Clears the exception being raised and returns true when it derives from
// Exception. KeyboardInterrupt, SystemExit and other BaseException-only
// exceptions stay raised (false): they are never ignored or replaced.
bool clear_ordinary_error();

// Replaces the exception being raised (if any) by PanicException with the
// same text, for internal faults; a MemoryError stays as it is (a result
// object that could not be allocated). Always returns nullptr.
PyObject* raise_panic_from_current();
PyObject* raise_panic(const char* message);

}  // namespace kestrune
