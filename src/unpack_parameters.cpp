#include "unpack_parameters.hpp"

#include "decoder/process_recipe.hpp"
#include "item_note.hpp"
#include "pyerrors.hpp"

namespace kestrune {

PyObject* unpack_parameters(std::string_view packet, std::uint64_t offset_bits, std::vector<PyRef>& items) {
    PyRef note;
    PyObject* result = process_recipe(packet, offset_bits, items, note);
    if (!result) {
        wrap_as_value_error();
        add_item_note(note.get());
    }
    return result;
}

}  // namespace kestrune
