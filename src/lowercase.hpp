// Lower-casing of encoding and byte-order names for matching against fixed
// spellings: ASCII is mapped in place without allocating; anything else goes
// through str.lower() (the full Unicode lower-case mapping, so e.g. KELVIN
// SIGN becomes an ASCII "k").
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

namespace kestrune {

class LoweredName {
public:
    // `text` is the object's UTF-8 view. Returns false with a Python error set
    // if the non-ASCII path fails.
    bool assign(PyObject* str_obj, std::string_view text);
    std::string_view view() const noexcept { return view_; }

private:
    char small_[32];
    std::string big_;
    std::string_view view_;
};

}  // namespace kestrune
