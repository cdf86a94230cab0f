// pack_parameters(recipe): the module function that builds a packet.
#pragma once

#include <Python.h>

#include <vector>

#include "pyref.hpp"
#include "registry.hpp"

namespace kestrune {

// Builds the packet the recipe items describe and returns it as bytes. Every
// failure of the recipe work is raised as ValueError "{type}: {text}"
// (exceptions outside Exception, such as KeyboardInterrupt, pass unchanged).
// `recipe`: the converted recipe argument (a list or tuple, or its items).
PyObject* pack_parameters(Arg& recipe);

}  // namespace kestrune
