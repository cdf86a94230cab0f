// Python result objects of the text codecs: a str created at its final
// length and width and filled in place, or a bytes object created at the
// encoder's upper bound, written in place in one pass and shrunk in place to
// the written size.
#pragma once

#include <Python.h>

#include <string_view>

#include "decoder/text.hpp"
#include "encoder/text.hpp"

namespace kestrune {

// The str that decoder `which` makes of `bytes` (a new reference), or nullptr
// with the decoder's error raised (PanicException when the str cannot be
// created).
PyObject* decoded_text(TextDecoder which, std::string_view bytes);

// The bytes that encoder `which` makes of the UTF-8 text `utf8` (a new
// reference), or nullptr with the encoder's error raised (MemoryError when the
// bound exceeds any possible size, PanicException when the bytes object
// cannot be created or shrunk).
PyObject* encoded_text(TextEncoder which, std::string_view utf8);

}  // namespace kestrune
