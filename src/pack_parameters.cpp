#include "pack_parameters.hpp"

#include <new>

#include "encoder/build_packet.hpp"
#include "item_note.hpp"
#include "pyerrors.hpp"

namespace kestrune {

PyObject* pack_parameters(std::vector<PyRef>& items) {
    PyObject* packet = nullptr;
    PyRef note;
    try {
        packet = build_packet(items, note);
    } catch (const std::bad_alloc&) {
        // The sizing pass's own memory.
        PyErr_NoMemory();
    }
    if (!packet) {
        wrap_as_value_error();
        add_item_note(note.get());
    }
    return packet;
}

}  // namespace kestrune
