// The packet builder behind pack_parameters: sizes the packet from the
// recipe, then encodes every item's value and lays its bits into the packet.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "../pyref.hpp"
#include "../recipe_cache.hpp"

namespace kestrune {

// Builds the packet that `items` (the recipe's elements) describe. Returns a
// new bytes object, or nullptr with the failure set as the current Python
// exception, as it was raised (the caller decides how to report it).
// On a failure inside an item, `note` names it (see item_note.hpp).
// `all_known` tells, on success, whether the cache knew every item.
PyObject* build_packet(std::vector<PyRef>& items, PyRef& note, bool& all_known);

// Whether the planned path packs a field of this encoding (its code in the
// cache) and width, where the ordinary path would not fail for the width.
bool plannable_encoding(std::uint8_t code, std::uint32_t bits);

// Packs with a compiled plan. Runs no Python code; returns nullptr, with no
// exception set, whenever the call must take the ordinary path instead
// (which then meets any failure itself, with its message and note): a value
// that is missing or not of an exact type, a value that does not fit.
PyObject* pack_with_plan(const recipe_cache::Plan& plan);

// The builder's own helpers (the recipe processor has a get_required_field
// of its own).
namespace builder {

// Looks `key` up in the item dict (base dict lookup) and converts its value.
// A missing key fails with KeyError "Recipe missing required field: '{key}'";
// a failed conversion keeps its own exception. The str form keeps the value
// alive in `holder`, since `out` views its UTF-8 text.
bool get_required_field(PyObject* item, PyObject* key, const char* key_name, PyRef& holder, std::string_view& out);
bool get_required_field(PyObject* item, PyObject* key, const char* key_name, std::uint32_t& out);

}  // namespace builder
}  // namespace kestrune
