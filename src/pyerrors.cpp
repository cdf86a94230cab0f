#include "pyerrors.hpp"

#include <cstdio>
#include <cstdlib>

#include "pyref.hpp"

namespace kestrune {
namespace {

PyObject* exception_type(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::ValueError:
            return PyExc_ValueError;
        case ErrorKind::KeyError:
            return PyExc_KeyError;
        case ErrorKind::TypeError:
            return PyExc_TypeError;
        case ErrorKind::OverflowError:
            return PyExc_OverflowError;
        case ErrorKind::NotImplementedError:
            return PyExc_NotImplementedError;
    }
    return PyExc_ValueError;
}

// The process-wide PanicException type, created on first need.
PyObject* panic_type() {
    static PyObject* type = PyErr_NewExceptionWithDoc(
        "kestrune.PanicException",
        "Raised when the native code of kestrune meets an internal fault.\n\n"
        "Like SystemExit it derives from BaseException, not Exception, so that it\n"
        "normally travels to the top of the stack and ends the interpreter.",
        PyExc_BaseException, nullptr);
    return type;
}

[[noreturn]] void abort_at_boundary() {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
}

}  // namespace

PyObject* raise_error(const Error& error) {
    PyRef message(PyUnicode_FromStringAndSize(error.message.data(), static_cast<Py_ssize_t>(error.message.size())));
    if (!message) {
        return raise_panic_from_current();
    }
    PyErr_SetObject(exception_type(error.kind), message.get());
    return nullptr;
}

void wrap_as_value_error() {
    PyRef exc(PyErr_GetRaisedException());
    if (!exc) {
        return;
    }
    if (!PyObject_TypeCheck(exc.get(), reinterpret_cast<PyTypeObject*>(PyExc_Exception))) {
        // KeyboardInterrupt, SystemExit and other BaseException-only
        // exceptions are not input errors: let them through as they are.
        PyErr_SetRaisedException(exc.release());
        return;
    }
    PyRef qualname(PyType_GetQualName(Py_TYPE(exc.get())));
    if (!qualname) {
        PyErr_Clear();
        qualname = PyRef(PyUnicode_FromString("Exception"));
    }
    PyRef text(PyObject_Str(exc.get()));
    if (!text) {
        PyErr_Clear();
        text = PyRef(PyUnicode_FromString("<exception str() failed>"));
    }
    if (!qualname || !text) {
        raise_panic_from_current();
        return;
    }
    PyRef message(PyUnicode_FromFormat("%U: %U", qualname.get(), text.get()));
    if (!message) {
        raise_panic_from_current();
        return;
    }
    PyErr_SetObject(PyExc_ValueError, message.get());
}

PyObject* raise_panic(const char* message) {
    PyErr_Clear();
    PyObject* type = panic_type();
    if (!type) {
        abort_at_boundary();
    }
    PyErr_SetString(type, message);
    return nullptr;
}

PyObject* raise_panic_from_current() {
    constexpr const char* kGeneric = "internal fault in kestrune";
    PyRef exc(PyErr_GetRaisedException());
    if (!exc) {
        return raise_panic(kGeneric);
    }
    // The fault's own text, or the generic message naming its type when it
    // has none (a MemoryError usually has no text).
    PyRef text(PyObject_Str(exc.get()));
    if (text && PyUnicode_GetLength(text.get()) == 0) {
        PyRef type_name(PyType_GetQualName(Py_TYPE(exc.get())));
        text = type_name ? PyRef(PyUnicode_FromFormat("%s (%U)", kGeneric, type_name.get())) : PyRef();
    }
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (!utf8) {
        return raise_panic(kGeneric);
    }
    return raise_panic(utf8);
}

}  // namespace kestrune
