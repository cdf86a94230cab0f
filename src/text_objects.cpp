#include "text_objects.hpp"

#include <cstdint>

#include "pyerrors.hpp"

namespace kestrune {

PyObject* decoded_text(TextDecoder which, std::string_view bytes) {
    const auto text = measure_text(which, bytes);
    if (!text) {
        return raise_error(text.error());
    }
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(text->length), static_cast<Py_UCS4>(text->max_char));
    if (s == nullptr) {
        return raise_panic_from_current();
    }
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND:
            fill_text(*text, static_cast<std::uint8_t*>(PyUnicode_DATA(s)));
            break;
        case PyUnicode_2BYTE_KIND:
            fill_text(*text, static_cast<std::uint16_t*>(PyUnicode_DATA(s)));
            break;
        default:
            fill_text(*text, static_cast<std::uint32_t*>(PyUnicode_DATA(s)));
            break;
    }
    return s;
}

PyObject* encoded_text(TextEncoder which, std::string_view utf8) {
    const auto bound = encoded_size_bound(which, utf8.size());
    if (!bound) {
        return PyErr_NoMemory();
    }
    PyObject* b = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(*bound));
    if (b == nullptr) {
        return raise_panic_from_current();
    }
    const auto written = encode_text_into(which, utf8, PyBytes_AS_STRING(b));
    if (!written) {
        Py_DECREF(b);
        return raise_error(written.error());
    }
    // Shrinking reallocates in place; on failure it has released the object.
    if (*written != *bound && _PyBytes_Resize(&b, static_cast<Py_ssize_t>(*written)) != 0) {
        return raise_panic_from_current();
    }
    return b;
}

}  // namespace kestrune
