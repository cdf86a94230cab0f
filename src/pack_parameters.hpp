// pack_parameters(recipe): the module function that builds a packet.
#pragma once

#include <Python.h>

#include <vector>

#include "pyref.hpp"

namespace kestrune {

// Builds the packet the recipe items describe and returns it as bytes. Every
// failure of the recipe work is raised as ValueError "{type}: {text}"
// (exceptions outside Exception, such as KeyboardInterrupt, pass unchanged).
PyObject* pack_parameters(std::vector<PyRef>& items);

}  // namespace kestrune
