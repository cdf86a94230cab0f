#include "text_objects.hpp"

#include <cstdint>

#include "pyerrors.hpp"

namespace kestrune {
namespace {

// Shrinks a new bytes object that nothing else refers to yet to its first
// `size` bytes. Only the private _PyBytes_Resize does that without a copy,
// so it is used here and nowhere else. On failure the object has been
// released and the error is set.
bool shrink_new_bytes(PyObject*& bytes, Py_ssize_t size) { return _PyBytes_Resize(&bytes, size) == 0; }

// Fills the new str `s` with the measured text.
void fill_str(const MeasuredText& text, PyObject* s) {
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND:
            fill_text(text, static_cast<std::uint8_t*>(PyUnicode_DATA(s)));
            break;
        case PyUnicode_2BYTE_KIND:
            fill_text(text, static_cast<std::uint16_t*>(PyUnicode_DATA(s)));
            break;
        default:
            fill_text(text, static_cast<std::uint32_t*>(PyUnicode_DATA(s)));
            break;
    }
}

}  // namespace

PyObject* decoded_text(TextDecoder which, std::string_view bytes) {
    const auto text = run_codec(bytes.size(), [&] { return measure_text(which, bytes); });
    if (!text) {
        return raise_error(text.error());
    }
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(text->length), static_cast<Py_UCS4>(text->max_char));
    if (s == nullptr) {
        return raise_panic_from_current();
    }
    run_codec(bytes.size(), [&] {
        fill_str(*text, s);
        return true;
    });
    return s;
}

TextView text_view(PyObject* s) {
    return {PyUnicode_DATA(s), static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)),
            static_cast<unsigned>(PyUnicode_KIND(s)), PyUnicode_IS_ASCII(s) != 0};
}

PyObject* raise_encode_error(PyObject* s, const Error& error) {
    if (has_surrogate(text_view(s))) {
        Py_ssize_t size = 0;
        if (PyUnicode_AsUTF8AndSize(s, &size) == nullptr) {
            return nullptr;
        }
    }
    return raise_error(error);
}

PyObject* encoded_text(TextEncoder which, PyObject* s) {
    const TextView text = text_view(s);
    // Text whose units are already its encoding is copied as the bytes object
    // is made (large text goes below, to be copied without the GIL).
    if (is_own_encoding(which, text) && text.length < kReleaseGilBytes) {
        PyObject* b =
            PyBytes_FromStringAndSize(static_cast<const char*>(text.data), static_cast<Py_ssize_t>(text.length));
        return b != nullptr ? b : raise_panic_from_current();
    }
    const auto bound = encoded_size_bound(which, text);
    if (!bound) {
        return PyErr_NoMemory();
    }
    // Short text is encoded on the stack and copied once into a bytes object
    // of the exact size: cheaper than shrinking one.
    constexpr std::size_t kShort = 256;
    if (*bound <= kShort) {
        char buffer[kShort];
        const auto written = encode_text_into(which, text, buffer);
        if (!written) {
            return raise_encode_error(s, written.error());
        }
        PyObject* b = PyBytes_FromStringAndSize(buffer, static_cast<Py_ssize_t>(*written));
        return b != nullptr ? b : raise_panic_from_current();
    }
    PyObject* b = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(*bound));
    if (b == nullptr) {
        return raise_panic_from_current();
    }
    const auto written =
        run_codec(*bound, [&] { return encode_text_into(which, text, PyBytes_AS_STRING(b)); });
    if (!written) {
        Py_DECREF(b);
        return raise_encode_error(s, written.error());
    }
    if (*written != *bound && !shrink_new_bytes(b, static_cast<Py_ssize_t>(*written))) {
        return raise_panic_from_current();
    }
    return b;
}

}  // namespace kestrune
