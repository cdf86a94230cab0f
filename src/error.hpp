// Error values shared by every codec and by the packet layers.
//
// Codecs never throw and never touch Python objects: each returns either its
// result or an Error carrying the Python exception kind and the exact message
// that the module boundary raises.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <utility>

namespace kestrune {

enum class ErrorKind : std::uint8_t {
    ValueError,
    KeyError,
    TypeError,
    OverflowError,
    NotImplementedError,
};

struct Error {
    ErrorKind kind;
    std::string message;
};

template <class T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(ErrorKind kind, std::string message) {
    return std::unexpected<Error>(Error{kind, std::move(message)});
}

inline std::unexpected<Error> value_error(std::string message) {
    return fail(ErrorKind::ValueError, std::move(message));
}

inline std::unexpected<Error> not_implemented(std::string message) {
    return fail(ErrorKind::NotImplementedError, std::move(message));
}

}  // namespace kestrune
