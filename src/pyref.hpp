// Small RAII holder for strong references.
#pragma once

#include <Python.h>

#include <utility>

namespace kestrune {

class PyRef {
public:
    PyRef() noexcept = default;
    // Takes ownership of a new (strong) reference, which may be null.
    explicit PyRef(PyObject* owned) noexcept : p_(owned) {}
    static PyRef borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return PyRef(borrowed);
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    // Drops the reference, unless the interpreter is finalising: a daemon
    // thread is then ended by a forced unwind through our frames, without a
    // thread state, and must not touch the object (left to the dying
    // runtime; a call made during finalisation merely keeps its objects).
    ~PyRef() {
        if (p_ && !Py_IsFinalizing()) [[likely]] {
            Py_DECREF(p_);
        }
    }

    // Drops the reference now. For the normal path of hot code, which runs
    // with a thread state: the destructor then has nothing left to check.
    void reset() noexcept { Py_XDECREF(std::exchange(p_, nullptr)); }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

}  // namespace kestrune
