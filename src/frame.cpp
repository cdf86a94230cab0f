#include "frame.hpp"

#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "convert.hpp"
#include "pyerrors.hpp"
#include "unwind.hpp"

namespace kestrune {
namespace {

// Interned parameter names, per row and slot, created once at module
// creation. Keyword names in calls are usually interned too, so a keyword
// is matched by identity first and only then by its UTF-8 text.
constexpr std::size_t kMaxRows = 64;
PyObject* g_param_names[kMaxRows][kMaxParams];

std::size_t row_index(const FunctionRow& row) { return static_cast<std::size_t>(&row - registry_rows()); }

PyObject* too_many_positional(const FunctionRow& row, Py_ssize_t nargs) {
    const char* verb = nargs == 1 ? "was" : "were";
    if (row.nrequired == row.nparams) {
        PyErr_Format(PyExc_TypeError, "%s() takes %d positional arguments but %zd %s given", row.name, row.nparams,
                     nargs, verb);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() takes from %d to %d positional arguments but %zd %s given", row.name,
                     row.nrequired, row.nparams, nargs, verb);
    }
    return nullptr;
}

PyObject* missing_arguments(const FunctionRow& row, PyObject* const* slots) {
    const char* missing[kMaxParams];
    int k = 0;
    for (int i = 0; i < row.nrequired; ++i) {
        if (!slots[i]) {
            missing[k++] = row.params[static_cast<std::size_t>(i)];
        }
    }
    std::string list;
    for (int i = 0; i < k; ++i) {
        if (i > 0) {
            list += k > 2 ? ", " : " ";
            if (i == k - 1) {
                list += "and ";
            }
        }
        list += '\'';
        list += missing[i];
        list += '\'';
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %d required positional %s: %s", row.name, k,
                 k == 1 ? "argument" : "arguments", list.c_str());
    return nullptr;
}

// Index of the parameter that `key` names, or -1.
int find_parameter(const FunctionRow& row, PyObject* key) {
    PyObject* const* names = g_param_names[row_index(row)];
    for (int i = 0; i < row.nparams; ++i) {
        if (names[i] == key) {
            return i;
        }
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
    if (!text) {
        PyErr_Clear();
        return -1;
    }
    for (int i = 0; i < row.nparams; ++i) {
        const char* name = row.params[static_cast<std::size_t>(i)];
        if (std::strlen(name) == static_cast<std::size_t>(size) && std::memcmp(name, text, static_cast<std::size_t>(size)) == 0) {
            return i;
        }
    }
    return -1;
}

bool convert_argument(Conv conv, PyObject* obj, Arg& out) {
    switch (conv) {
        case Conv::Str:
            if (!PyUnicode_Check(obj)) {
                set_cast_error(obj, "str");
                return false;
            }
            out.object = obj;
            return true;
        case Conv::Bytes:
            return convert_bytes(obj, out.text);
        case Conv::Seq:
            return convert_sequence(obj, out.items);
        case Conv::Recipe:
            // A list or tuple is kept as it is: the packet function looks
            // for its compiled plan first, and takes the items' references
            // only when it has none (before any Python code can run).
            if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
                out.object = obj;
                return true;
            }
            out.object = nullptr;
            return convert_sequence(obj, out.items);
        case Conv::Double:
            return convert_double(obj, out.f64);
        case Conv::Single:
            return convert_single(obj, out.f32);
        case Conv::I64:
            return convert_i64(obj, out.i64);
        case Conv::U32:
            return convert_u32(obj, out.u32);
        case Conv::U64:
            return convert_u64(obj, out.u64);
        case Conv::U128:
            return convert_u128(obj, out.u128);
        case Conv::Bool:
            return convert_bool(obj, out.flag);
    }
    PyErr_SetString(PyExc_SystemError, "unknown argument conversion");
    return false;
}

// A TypeError from converting an argument is re-raised as
// TypeError "argument '{name}': {text}", keeping its __cause__; any other
// exception passes unchanged.
void prefix_argument_error(const char* param) {
    PyRef exc(PyErr_GetRaisedException());
    if (!exc) {
        return;
    }
    if (Py_TYPE(exc.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(exc.release());
        return;
    }
    PyRef text(PyObject_Str(exc.get()));
    if (!text) {
        return;
    }
    PyRef message(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
    if (!message) {
        return;
    }
    PyRef replacement(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!replacement) {
        return;
    }
    if (PyObject* cause = PyException_GetCause(exc.get())) {
        PyException_SetCause(replacement.get(), cause);  // steals the reference
    }
    PyErr_SetRaisedException(replacement.release());
}

PyObject* run(const FunctionRow& row, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[kMaxParams] = {nullptr, nullptr, nullptr};
    if (nargs > row.nparams) {
        return too_many_positional(row, nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        slots[i] = args[i];
    }
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            const int index = find_parameter(row, key);
            if (index < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", row.name, key);
                return nullptr;
            }
            if (slots[index]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", row.name, key);
                return nullptr;
            }
            slots[index] = args[nargs + k];
        }
    }
    if (nargs < row.nrequired) {
        for (int i = static_cast<int>(nargs); i < row.nrequired; ++i) {
            if (!slots[i]) {
                return missing_arguments(row, slots);
            }
        }
    }
    Arg converted[kMaxParams];
    for (int i = 0; i < row.nparams; ++i) {
        if (!slots[i]) {
            continue;  // an optional argument keeps its default
        }
        if (!convert_argument(row.conv[static_cast<std::size_t>(i)], slots[i], converted[i])) {
            prefix_argument_error(row.params[static_cast<std::size_t>(i)]);
            return nullptr;
        }
    }
    return row.op(converted);
}

}  // namespace

bool intern_parameter_names() {
    const FunctionRow* rows = registry_rows();
    if (registry_size() > kMaxRows) {
        PyErr_SetString(PyExc_SystemError, "kestrune registry is larger than the call frame allows");
        return false;
    }
    for (std::size_t r = 0; r < registry_size(); ++r) {
        for (int i = 0; i < rows[r].nparams; ++i) {
            if (g_param_names[r][i]) {
                continue;
            }
            PyObject* name = PyUnicode_InternFromString(rows[r].params[static_cast<std::size_t>(i)]);
            if (!name) {
                return false;
            }
            g_param_names[r][i] = name;  // kept for the life of the process
        }
    }
    return true;
}

void forget_parameter_names() {
    for (auto& row : g_param_names) {
        for (PyObject*& name : row) {
            name = nullptr;
        }
    }
}

PyObject* call_frame(const FunctionRow& row, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // No C++ exception may unwind into the interpreter: anything thrown by
    // the operation becomes a Python exception here.
    try {
        return run(row, args, nargs, kwnames);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    } catch (const std::length_error&) {
        // A container asked to grow past what can be allocated.
        PyErr_NoMemory();
        return nullptr;
    } catch (const std::exception& e) {
        return raise_panic(e.what());
    }
    KESTRUNE_RETHROW_FORCED_UNWIND
    catch (...) {
        return raise_panic("internal fault in kestrune");
    }
}

}  // namespace kestrune
