#include "pyerrors.hpp"

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

// The PanicException type. It is created with the module, before any fault
// can need it: creating it when the first fault happens (usually out of
// memory) could fail just then.
PyObject* g_panic_type = nullptr;

}  // namespace

bool create_panic_type() {
    if (g_panic_type) {
        return true;
    }
    g_panic_type = PyErr_NewExceptionWithDoc(
        "kestrune.PanicException",
        "Raised when the native code of kestrune meets an internal fault.\n\n"
        "Like SystemExit it derives from BaseException, not Exception, so that it\n"
        "normally travels to the top of the stack and ends the interpreter.",
        PyExc_BaseException, nullptr);
    return g_panic_type != nullptr;
}

void forget_panic_type() { g_panic_type = nullptr; }

bool is_out_of_memory(PyObject* exc) {
    if (!PyErr_GivenExceptionMatches(exc, PyExc_MemoryError)) {
        return false;
    }
    PyRef args(PyException_GetArgs(exc));
    return args && PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) == 0;
}

bool clear_ordinary_error() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        return false;
    }
    PyErr_Clear();
    return true;
}

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
    if (!PyObject_TypeCheck(exc.get(), reinterpret_cast<PyTypeObject*>(PyExc_Exception)) ||
        is_out_of_memory(exc.get())) {
        // KeyboardInterrupt, SystemExit and other BaseException-only
        // exceptions are not input errors, nor is running out of memory:
        // let them through as they are.
        PyErr_SetRaisedException(exc.release());
        return;
    }
    PyRef qualname(PyType_GetQualName(Py_TYPE(exc.get())));
    if (!qualname) {
        if (!clear_ordinary_error()) {
            return;
        }
        qualname = PyRef(PyUnicode_FromString("Exception"));
    }
    // A __str__ that raises an ordinary exception gets a placeholder text;
    // an interrupt raised there propagates instead.
    PyRef text(qualname ? PyObject_Str(exc.get()) : nullptr);
    if (qualname && !text) {
        if (!clear_ordinary_error()) {
            return;
        }
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
    // The type exists from the start of the module's initialisation on; a
    // fault before that is raised as SystemError. When even the message
    // cannot be allocated, PyErr_SetString leaves MemoryError raised.
    PyErr_SetString(g_panic_type ? g_panic_type : PyExc_SystemError, message);
    return nullptr;
}

PyObject* raise_panic_from_current() {
    // An allocation that failed is no internal fault: it stays MemoryError.
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
        return nullptr;
    }
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
