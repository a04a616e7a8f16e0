// Owned strong references: one owner per reference, so that no exit path can
// leak or release twice.
#pragma once

#include "compat.hpp"

#include <utility>

namespace kn {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    // Releasing the reference may run a finaliser, and with it Python code
    // that ends a daemon thread at exit (see barrier.hpp): not noexcept.
    // When the thread has no thread state (that unwind is under way), the
    // reference is left alone.
    ~Ref() noexcept(false) {
        if (p_ && has_thread_state()) Py_DECREF(p_);
    }

    // Takes over a reference the caller already owns (for example the
    // result of a call); nullptr stays empty.
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Takes a new reference to a borrowed object.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Gives the reference to the caller (for example as a result).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset(PyObject* p = nullptr) {
        PyObject* old = std::exchange(p_, p);
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Result helpers for functions that return a new reference.
inline PyObject* none() noexcept { Py_RETURN_NONE; }
inline PyObject* boolean(bool v) noexcept {
    if (v) Py_RETURN_TRUE;
    Py_RETURN_FALSE;
}

// Sets a pending exception aside for a scope (cleanup that must call into
// Python while an error is on its way out) and restores it at the end.
class ErrorStash {
public:
    ErrorStash() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        exc_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &exc_, &tb_);
#endif
    }
    ErrorStash(const ErrorStash&) = delete;
    ErrorStash& operator=(const ErrorStash&) = delete;
    // Without a thread state (a daemon thread ended at exit) the stashed
    // error is left alone.
    ~ErrorStash() {
        if (!has_thread_state()) return;
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(exc_);
#else
        PyErr_Restore(type_, exc_, tb_);
#endif
    }

private:
    PyObject* exc_ = nullptr;
#if PY_VERSION_HEX < 0x030C0000
    PyObject* type_ = nullptr;
    PyObject* tb_ = nullptr;
#endif
};

// The interpreter's empty tuple (borrowed; it lives as long as the process).
inline PyObject* empty_tuple() noexcept {
    static PyObject* empty = PyTuple_New(0);
    return empty;
}

}  // namespace kn
