#include "recipe.hpp"

namespace kestrune {

const RecipeKeys* recipe_keys() {
    static const RecipeKeys* keys = [] () -> const RecipeKeys* {
        static RecipeKeys k{};
        const char* names[] = {"name", "encoding", "bits", "byte_order", "reverse_bits", "offset_bits", "value"};
        PyObject** slots[] = {&k.name,         &k.encoding,    &k.bits, &k.byte_order,
                              &k.reverse_bits, &k.offset_bits, &k.value};
        for (std::size_t i = 0; i < sizeof(names) / sizeof(names[0]); ++i) {
            *slots[i] = PyUnicode_InternFromString(names[i]);  // kept for the process
            if (!*slots[i]) {
                return nullptr;
            }
        }
        return &k;
    }();
    return keys;
}

void set_missing_field(const char* key) {
    PyErr_Format(PyExc_KeyError, "Recipe missing required field: '%s'", key);
}

}  // namespace kestrune
