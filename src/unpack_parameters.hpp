// unpack_parameters: reads the parameters that a recipe describes out of a
// packet and returns them as a dict.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "pyref.hpp"
#include "registry.hpp"

namespace kestrune {

// Returns a new dict from parameter name to value, or nullptr with an
// exception set. Every failure of the recipe work is raised as ValueError
// "{exception type}: {text}"; exceptions that do not derive from Exception
// (KeyboardInterrupt, ...) pass unchanged.
// `recipe`: the converted recipe argument (a list or tuple, or its items).
PyObject* unpack_parameters(std::string_view packet, std::uint64_t offset_bits, Arg& recipe);

}  // namespace kestrune
