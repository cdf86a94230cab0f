// The note that names the recipe item a packet call failed in.
//
// A failure inside the recipe work keeps its type, text and chaining; a
// note (BaseException.add_note) says where it happened:
//   in recipe item {index} '{name}' ({encoding}, {bits} bits at bit {position})
// with only what was known when the item failed: the name once read, the
// encoding once matched (the spelling given, in lower case), the width once
// read, the bit position once the field was placed.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "pyref.hpp"

namespace kestrune {

struct ItemSite {
    std::size_t index = 0;
    PyObject* name = nullptr;  // borrowed: the note is made while it lives
    std::string_view encoding;  // empty until matched
    std::uint32_t bits = 0;
    std::uint64_t position = 0;
    bool has_bits = false;
    bool has_position = false;

    void begin(std::size_t i) noexcept {
        *this = ItemSite{};
        index = i;
    }
    void set_bits(std::uint32_t n) noexcept {
        bits = n;
        has_bits = true;
    }
    void set_position(std::uint64_t p) noexcept {
        position = p;
        has_position = true;
    }
};

// The note's text for the site, made while an exception is being raised
// (which stays raised). Null when it cannot be made.
PyRef item_note(const ItemSite& site);

// Adds `note` (if any) to the exception being raised. If that fails, the
// exception stays as it was.
void add_item_note(PyObject* note);

}  // namespace kestrune
