#include "pack_parameters.hpp"

#include <new>

#include "encoder/build_packet.hpp"
#include "pyerrors.hpp"

namespace kestrune {

PyObject* pack_parameters(std::vector<PyRef>& items) {
    PyObject* packet = nullptr;
    try {
        packet = build_packet(items);
    } catch (const std::bad_alloc&) {
        // A text or binary buffer that could not be allocated.
        PyErr_NoMemory();
    }
    if (!packet) {
        wrap_as_value_error();
    }
    return packet;
}

}  // namespace kestrune
