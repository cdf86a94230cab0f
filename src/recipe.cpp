#include "recipe.hpp"

#include <utility>

namespace kestrune {

namespace {

RecipeKeys g_keys{};

}  // namespace

bool intern_recipe_keys() {
    const std::pair<PyObject**, const char*> keys[] = {
        {&g_keys.name, "name"},
        {&g_keys.encoding, "encoding"},
        {&g_keys.bits, "bits"},
        {&g_keys.byte_order, "byte_order"},
        {&g_keys.reverse_bits, "reverse_bits"},
        {&g_keys.offset_bits, "offset_bits"},
        {&g_keys.value, "value"},
    };
    for (const auto& [slot, text] : keys) {
        if (!*slot && !(*slot = PyUnicode_InternFromString(text))) {
            return false;
        }
    }
    return true;
}

void forget_recipe_keys() { g_keys = RecipeKeys{}; }

const RecipeKeys* recipe_keys() { return &g_keys; }

void set_missing_field(const char* key) {
    PyErr_Format(PyExc_KeyError, "Recipe missing required field: '%s'", key);
}

}  // namespace kestrune
