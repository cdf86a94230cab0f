// Python result objects of the text codecs: a str created at its final
// length and width and filled in place, or a bytes object created at the
// encoder's upper bound, written in place in one pass from the str's own
// code units and shrunk in place to the written size.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>

#include "decoder/text.hpp"
#include "encoder/text.hpp"

namespace kestrune {

// Codec work on at least this many bytes runs without the GIL (or, without
// one, detached from the interpreter): the codec core touches no Python
// object, the input is an immutable bytes or str that the caller keeps
// alive, and the output a new object that no other thread can see yet.
inline constexpr std::size_t kReleaseGilBytes = std::size_t{1} << 20;

// Runs `work` (pure codec work, which may throw) and returns its result,
// without the GIL when `input_bytes` reaches kReleaseGilBytes.
template <class F>
auto run_codec(std::size_t input_bytes, F&& work) -> decltype(work()) {
    if (input_bytes < kReleaseGilBytes) {
        return work();
    }
    // Restored by hand, not by a destructor: restoring can end a daemon
    // thread at finalisation, which must unwind from here, not from a
    // destructor.
    PyThreadState* state = PyEval_SaveThread();
    try {
        auto result = work();
        PyEval_RestoreThread(state);
        return result;
    } catch (...) {
        PyEval_RestoreThread(state);
        throw;
    }
}


// The str that decoder `which` makes of `bytes` (a new reference), or nullptr
// with the decoder's error raised (PanicException when the str cannot be
// created).
PyObject* decoded_text(TextDecoder which, std::string_view bytes);

// The code units of str `s`, viewed in place (valid while `s` lives).
TextView text_view(PyObject* s);

// Raises the failure of encoding str `s`: a str holding a lone surrogate
// fails as its conversion to UTF-8 does (the interpreter's own
// UnicodeEncodeError), whatever the encoder and wherever the surrogate;
// any other failure is the encoder's `error`. Always returns nullptr.
PyObject* raise_encode_error(PyObject* s, const Error& error);

// The bytes that encoder `which` makes of str `s` (a new reference), or
// nullptr with the encoder's error raised (see raise_encode_error;
// MemoryError when the bound exceeds any possible size, PanicException when
// the bytes object cannot be created or shrunk).
PyObject* encoded_text(TextEncoder which, PyObject* s);

}  // namespace kestrune
