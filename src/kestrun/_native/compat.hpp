// C API names of CPython 3.13 that the package uses, provided for the older
// interpreters it also supports (3.11 and 3.12).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030D0000
typedef _PyCFunctionFast PyCFunctionFast;
typedef _PyCFunctionFastWithKeywords PyCFunctionFastWithKeywords;

// New reference to d[key] in *result: 1 found, 0 missing, -1 error.
static inline int PyDict_GetItemRef(PyObject* d, PyObject* key, PyObject** result) {
    PyObject* item = PyDict_GetItemWithError(d, key);
    if (item) {
        Py_INCREF(item);
        *result = item;
        return 1;
    }
    *result = nullptr;
    return PyErr_Occurred() ? -1 : 0;
}
#endif

#if PY_VERSION_HEX < 0x030D0000
// New reference to list[i], or nullptr with IndexError.
static inline PyObject* PyList_GetItemRef(PyObject* list, Py_ssize_t i) {
    PyObject* item = PyList_GetItem(list, i);
    Py_XINCREF(item);
    return item;
}
#endif

#if PY_VERSION_HEX < 0x030D0000
// getattr(o, name) that treats a missing attribute as absent, as hasattr()
// does: 1 found (*result a new reference), 0 no such attribute, -1 error.
static inline int PyObject_GetOptionalAttr(PyObject* o, PyObject* name, PyObject** result) {
    return _PyObject_LookupAttr(o, name, result);
}
#endif

#if PY_VERSION_HEX < 0x030D0000
// The performance counter (time.perf_counter_ns) under its 3.13 name.
typedef _PyTime_t PyTime_t;
static inline int PyTime_PerfCounter(PyTime_t* result) {
    *result = _PyTime_GetPerfCounter();
    return 0;
}
// The system clock (time.time_ns) and its conversion to time.time()'s float.
static inline int PyTime_Time(PyTime_t* result) {
    *result = _PyTime_GetSystemClock();
    return 0;
}
static inline double PyTime_AsSecondsDouble(PyTime_t t) { return _PyTime_AsSecondsDouble(t); }
#endif

namespace kn {

// Whether this thread holds its thread state (may call the C API).  False
// while the interpreter lock is released, and while a daemon thread that
// the interpreter ends at exit is being unwound out of our frames: cleanup
// that runs then must touch no Python object.
inline bool has_thread_state() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
    return _PyThreadState_UncheckedGet() != nullptr;  // per thread since 3.12
#else
    // 3.11 keeps one "current" thread state for the whole runtime: it is
    // this thread's only while this thread holds the interpreter lock.
    PyThreadState* current = _PyThreadState_UncheckedGet();
    return current && current == PyGILState_GetThisThreadState();
#endif
}

}  // namespace kn
