#include "unpack_parameters.hpp"

#include "decoder/process_recipe.hpp"
#include "pyerrors.hpp"

namespace kestrune {

PyObject* unpack_parameters(std::string_view packet, std::uint64_t offset_bits, std::vector<PyRef>& items) {
    PyObject* result = process_recipe(packet, offset_bits, items);
    if (!result) {
        wrap_as_value_error();
    }
    return result;
}

}  // namespace kestrune
