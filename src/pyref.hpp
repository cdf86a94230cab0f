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
    // Drops the reference, unless the thread has no thread state: that is
    // a thread being ended by a forced unwind at finalisation, which must
    // not touch the object (it is left to the dying runtime).
    ~PyRef() {
        if (p_ && PyThreadState_GetUnchecked()) [[likely]] {
            Py_DECREF(p_);
        }
    }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

}  // namespace kestrune
