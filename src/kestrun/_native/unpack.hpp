// Unpacking an object into exactly N items, as `a, b = obj` does, with the
// package's unpacking messages:
//
//   "too many values to unpack (expected 2)"
//   "need more than 1 value to unpack" / "need more than 0 values to unpack"
//
// An exact tuple or list is read directly (no iterator object); any other
// iterable is iterated, and after the N-th item the iterator is asked once
// more to make sure it is exhausted.  Errors raised by the iterator itself
// propagate unchanged.
//
// Usage:
//     std::array<kn::Ref, 2> items;
//     if (!kn::unpack(entry, items)) return nullptr;
#pragma once

#include "critical.hpp"
#include "ref.hpp"

#include <array>
#include <cstddef>

namespace kn {

// ValueError "too many values to unpack (expected N)".
inline void unpack_too_many(Py_ssize_t expected) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
}

// ValueError "need more than N value(s) to unpack".
inline void unpack_too_few(Py_ssize_t got) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got,
                 got == 1 ? "" : "s");
}

// Borrowed view of the items of an exact tuple or list, or nullptr for any
// other object.  The pointer is valid only while nothing can resize the list
// (no Python code runs) and the container is alive.
inline PyObject* const* sequence_items(PyObject* o, Py_ssize_t* size) noexcept {
    if (PyTuple_CheckExact(o)) {
        *size = PyTuple_GET_SIZE(o);
        return &PyTuple_GET_ITEM(o, 0);
    }
    if (PyList_CheckExact(o)) {
        *size = PyList_GET_SIZE(o);
        return reinterpret_cast<PyListObject*>(o)->ob_item;
    }
    return nullptr;
}

// Unpacks `o` into exactly N new references; false with an exception set
// (ValueError for a wrong count, TypeError for a non-iterable).
template <std::size_t N>
inline bool unpack(PyObject* o, std::array<Ref, N>& out) {
    constexpr Py_ssize_t n = static_cast<Py_ssize_t>(N);
    Py_ssize_t size = 0;
    // A list another thread may change is read under its own lock (nothing
    // on this path runs Python code).
    CriticalSection cs(PyList_CheckExact(o) ? o : nullptr);
    if (PyObject* const* items = sequence_items(o, &size)) {
        if (size != n) {
            if (size > n)
                unpack_too_many(n);
            else
                unpack_too_few(size);
            return false;
        }
        for (std::size_t i = 0; i < N; ++i)
            out[i] = Ref::borrow(items[i]);
        return true;
    }
    Ref it = Ref::steal(PyObject_GetIter(o));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(o)->tp_iter &&
            !PySequence_Check(o)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(o)->tp_name);
        }
        return false;
    }
    iternextfunc next = Py_TYPE(it.get())->tp_iternext;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item = Ref::steal(next(it.get()));
        if (!item) {
            if (PyErr_Occurred()) {
                if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return false;
                PyErr_Clear();
            }
            unpack_too_few(i);
            return false;
        }
        out[static_cast<std::size_t>(i)] = std::move(item);
    }
    Ref extra = Ref::steal(next(it.get()));
    if (extra) {
        unpack_too_many(n);
        return false;
    }
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return false;
        PyErr_Clear();
    }
    return true;
}

}  // namespace kn
