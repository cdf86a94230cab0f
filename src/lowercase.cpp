#include "lowercase.hpp"

#include "pyref.hpp"

namespace kestrune {

bool LoweredName::assign(PyObject* str_obj, std::string_view text) {
    bool ascii = text.size() <= sizeof(small_);
    for (std::size_t i = 0; ascii && i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            ascii = false;
        } else {
            small_[i] = static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
        }
    }
    if (ascii) {
        view_ = std::string_view(small_, text.size());
        return true;
    }
    // Long or non-ASCII names: str.lower() applies the full Unicode mapping.
    // It is called unbound so that a str subclass cannot override it.
    PyRef lowered(PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower", "O", str_obj));
    if (!lowered) {
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(lowered.get(), &size);
    if (!utf8) {
        return false;
    }
    big_.assign(utf8, static_cast<std::size_t>(size));
    view_ = big_;
    return true;
}

}  // namespace kestrune
