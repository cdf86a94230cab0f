#include "unpack_parameters.hpp"

#include "convert.hpp"
#include "decoder/process_recipe.hpp"
#include "item_note.hpp"
#include "pyerrors.hpp"
#include "recipe_cache.hpp"

namespace kestrune {

PyObject* unpack_parameters(std::string_view packet, std::uint64_t offset_bits, Arg& recipe) {
    PyObject* const list = recipe.object;  // a list or tuple not yet copied, or nullptr
    bool planned = false;
    if (list && recipe_cache::active()) {
        if (const recipe_cache::Plan* plan = recipe_cache::find_plan(list, recipe_cache::Direction::Unpack)) {
            planned = true;
            if (plan->usable) {
                if (PyObject* result = unpack_with_plan(*plan, packet, offset_bits)) {
                    return result;
                }
            }
        }
    }
    // The ordinary path, on the items as they are now (no Python code has
    // run since the call began).
    if (list && !copy_items(list, recipe.items)) {
        return nullptr;
    }
    PyRef note;
    bool all_known = false;
    PyObject* result = process_recipe(packet, offset_bits, recipe.items, note, all_known);
    if (!result) {
        wrap_as_value_error();
        add_item_note(note.get());
    } else if (list && all_known && !planned) {
        // The cache knew every item: the next call with this recipe can
        // take the planned path.
        recipe_cache::compile_plan(list, recipe_cache::Direction::Unpack, plannable_decoding);
    }
    return result;
}

}  // namespace kestrune
