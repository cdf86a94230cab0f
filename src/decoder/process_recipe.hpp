// The recipe processor: reads the fields that a recipe describes out of a
// packet and collects their values in a new dict keyed by the items' names.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "../pyref.hpp"
#include "../recipe_cache.hpp"

namespace kestrune {

// Walks `recipe` in order and decodes each item's field from `packet`, whose
// bit 0 is the most significant bit of its first byte. An item's own
// `offset_bits` counts from `offset_bits`; an item without one follows the
// previous item (the first follows `offset_bits` itself). The packet is read
// in place and never outside its bounds.
//
// Returns a new dict, or nullptr with the Python exception of the first
// failing item set (not yet wrapped for the caller).
// On failure `note` names the item that failed (see item_note.hpp).
// `all_known` tells, on success, whether the cache knew every item.
PyObject* process_recipe(std::string_view packet, std::uint64_t offset_bits, const std::vector<PyRef>& recipe,
                         PyRef& note, bool& all_known);

// Whether the planned path decodes a field of this encoding (its code in the
// cache) and width, where the ordinary path would not fail for the width.
bool plannable_decoding(std::uint8_t code, std::uint32_t bits);

// Unpacks with a compiled plan. Runs no Python code; returns nullptr, with
// no exception set, whenever the call must take the ordinary path instead
// (which then meets any failure itself, with its message and note): a field
// past the packet's end, text that does not decode.
PyObject* unpack_with_plan(const recipe_cache::Plan& plan, std::string_view packet, std::uint64_t offset_bits);

// The processor's own helpers (the packet builder has a get_required_field
// of its own).
namespace processor {

// Looks `key` up in the dict `item` with the base dict lookup and converts
// the value to a str view. A missing key fails with KeyError
// "Recipe missing required field: '{key_name}'"; a value that is not a str
// fails with the str conversion's error. On success `holder` keeps the value
// alive for as long as `out` is used.
bool get_required_field(PyObject* item, PyObject* key, const char* key_name, PyRef& holder, std::string_view& out);

}  // namespace processor
}  // namespace kestrune
