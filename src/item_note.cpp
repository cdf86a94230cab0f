#include "item_note.hpp"

#include <string>

namespace kestrune {

PyRef item_note(const ItemSite& site) {
    PyObject* raised = PyErr_GetRaisedException();
    std::string details;
    if (!site.encoding.empty()) {
        details.append(site.encoding);
    }
    if (site.has_bits) {
        if (!details.empty()) {
            details += ", ";
        }
        details += std::to_string(site.bits) + " bits";
        if (site.has_position) {
            details += " at bit " + std::to_string(site.position);
        }
    }
    if (!details.empty()) {
        details = " (" + details + ")";
    }
    PyRef note(site.name && PyUnicode_Check(site.name)
                   ? PyUnicode_FromFormat("in recipe item %zu '%U'%s", site.index, site.name, details.c_str())
                   : PyUnicode_FromFormat("in recipe item %zu%s", site.index, details.c_str()));
    if (!note) {
        PyErr_Clear();  // the failure itself matters more than its note
    }
    PyErr_SetRaisedException(raised);
    return note;
}

void add_item_note(PyObject* note) {
    if (!note) {
        return;
    }
    PyObject* raised = PyErr_GetRaisedException();
    if (!raised) {
        return;
    }
    PyRef done(PyObject_CallMethod(raised, "add_note", "O", note));
    if (!done) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            // An interrupt raised meanwhile wins over the failure.
            Py_DECREF(raised);
            return;
        }
        PyErr_Clear();
    }
    PyErr_SetRaisedException(raised);
}

}  // namespace kestrune
