// Critical sections on objects for free-threaded interpreters.
//
// Without the interpreter lock, a dict, a list or an object's fields that
// another thread may change are read and changed inside a critical section
// on that object (the interpreter's per-object lock, which it releases
// while the thread waits and takes again afterwards).  With the interpreter
// lock these cost nothing: the classes do nothing there, and on 3.11 and
// 3.12 they do not exist in the interpreter at all.
//
// As scopes (rather than the interpreter's block macros) they also end on
// an early return and on a C++ exception.  A daemon thread ended at
// interpreter exit (see barrier.hpp) leaves them as they are.
#pragma once

#include "compat.hpp"

namespace kn {

// A null object: nothing to lock.
class CriticalSection {
public:
    // Not noexcept: waiting for the lock may end a daemon thread at exit
    // (see barrier.hpp).
    explicit CriticalSection(PyObject* op) {
#ifdef Py_GIL_DISABLED
        if ((held_ = op != nullptr)) PyCriticalSection_Begin(&cs_, op);
#else
        (void)op;
#endif
    }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
    ~CriticalSection() {
#ifdef Py_GIL_DISABLED
        if (held_ && has_thread_state()) PyCriticalSection_End(&cs_);
#endif
    }

private:
#ifdef Py_GIL_DISABLED
    PyCriticalSection cs_;
    bool held_;
#endif
};

// Both objects at once, without lock-order deadlocks.
class CriticalSection2 {
public:
    CriticalSection2(PyObject* a, PyObject* b) {
#ifdef Py_GIL_DISABLED
        PyCriticalSection2_Begin(&cs_, a, b);
#else
        (void)a;
        (void)b;
#endif
    }
    CriticalSection2(const CriticalSection2&) = delete;
    CriticalSection2& operator=(const CriticalSection2&) = delete;
    ~CriticalSection2() {
#ifdef Py_GIL_DISABLED
        if (has_thread_state()) PyCriticalSection2_End(&cs_);
#endif
    }

private:
#ifdef Py_GIL_DISABLED
    PyCriticalSection2 cs_;
#endif
};

}  // namespace kn
