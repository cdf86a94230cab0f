// The packet builder behind pack_parameters: sizes the packet from the
// recipe, then encodes every item's value and lays its bits into the packet.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "../pyref.hpp"

namespace kestrune {

// Builds the packet that `items` (the recipe's elements) describe. Returns a
// new bytes object, or nullptr with the failure set as the current Python
// exception, as it was raised (the caller decides how to report it).
PyObject* build_packet(std::vector<PyRef>& items);

// The builder's own helpers (the recipe processor has a get_required_field
// of its own).
namespace builder {

// Looks `key` up in the item dict (base dict lookup) and converts its value.
// A missing key fails with KeyError "Recipe missing required field: '{key}'";
// a failed conversion keeps its own exception. The str form keeps the value
// alive in `holder`, since `out` views its UTF-8 text.
bool get_required_field(PyObject* item, PyObject* key, const char* key_name, PyRef& holder, std::string_view& out);
bool get_required_field(PyObject* item, PyObject* key, const char* key_name, std::uint32_t& out);

// Writes exactly `bits` packet bits starting at packet bit `off` from the
// last `bits` bits of `src` (`len` bytes; when `src` holds fewer bits than
// `bits`, it fills the start of the field and the rest is zero). Bits are
// replaced, not ORed; bits that fall outside the packet are not written.
void place_field(std::uint8_t* packet, std::uint64_t packet_size, std::uint64_t off, const std::uint8_t* src,
                 std::uint64_t len, std::uint32_t bits) noexcept;

}  // namespace builder
}  // namespace kestrune
