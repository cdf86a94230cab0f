#include "pack_parameters.hpp"

#include <new>

#include "convert.hpp"
#include "encoder/build_packet.hpp"
#include "item_note.hpp"
#include "pyerrors.hpp"
#include "recipe_cache.hpp"

namespace kestrune {

PyObject* pack_parameters(Arg& recipe) {
    PyObject* const list = recipe.object;  // a list or tuple not yet copied, or nullptr
    bool planned = false;
    if (list && recipe_cache::active()) {
        if (const recipe_cache::Plan* plan = recipe_cache::find_plan(list, recipe_cache::Direction::Pack)) {
            planned = true;
            if (plan->usable) {
                if (PyObject* packet = pack_with_plan(*plan)) {
                    return packet;
                }
            }
        }
    }
    // The ordinary path, on the items as they are now (no Python code has
    // run since the call began).
    if (list && !copy_items(list, recipe.items)) {
        return nullptr;
    }
    PyObject* packet = nullptr;
    PyRef note;
    bool all_known = false;
    try {
        packet = build_packet(recipe.items, note, all_known);
    } catch (const std::bad_alloc&) {
        // The sizing pass's own memory.
        PyErr_NoMemory();
    }
    if (!packet) {
        wrap_as_value_error();
        add_item_note(note.get());
    } else if (list && all_known && !planned) {
        // The cache knew every item: the next call with this recipe can
        // take the planned path.
        recipe_cache::compile_plan(list, recipe_cache::Direction::Pack, plannable_encoding);
    }
    return packet;
}

}  // namespace kestrune
