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
    const auto size = encoded_size(which, utf8);
    if (!size) {
        return raise_error(size.error());
    }
    PyObject* b = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(*size));
    if (b == nullptr) {
        return raise_panic_from_current();
    }
    if (!encode_text_into(which, utf8, PyBytes_AS_STRING(b), *size)) {
        Py_DECREF(b);
        return raise_panic("text encoder wrote a different size than it measured");
    }
    return b;
}

}  // namespace kestrune
