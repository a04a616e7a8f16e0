// A module's globals, looked up when they are used, as the package's Python
// code would: a test or a program may replace `threading` or `time` on the
// module, and the next call sees it.
//
// Lookups report what went wrong: NameError "name 'x' is not defined" for a
// missing global, and the dict's own error (a failed allocation, a hostile
// key's __eq__) as it is, never as a missing name.  Results are new
// references, so a global replaced meanwhile by another thread stays alive
// while it is used.
//
// One clock for every module: time.perf_counter_ns() and time.time() through
// the global `time`.  While `time` is the genuine module and the attribute
// its genuine function, the clock is read directly and no Python code runs;
// anything replaced is called.
//
// Usage: one `kn::ModuleGlobals globals;` per module, bound at the start of
// its set-up (a retried set-up binds the new module object).
#pragma once

#include "convert.hpp"
#include "ref.hpp"

#include <cstdint>

namespace kn {

class ModuleGlobals {
public:
    // Keeps the module's dict and, once per process, the genuine `time`
    // functions and the names it looks up.
    bool bind(PyObject* module) {
        if (!names_ready_) {
            struct {
                PyObject** slot;
                const char* text;
            } names[] = {{&s_time_, "time"},
                         {&s_perf_counter_ns_, "perf_counter_ns"},
                         {&s_threading_, "threading"},
                         {&s_lock_, "Lock"}};
            for (auto& n : names)
                if (!*n.slot && !(*n.slot = PyUnicode_InternFromString(n.text))) return false;
            Ref time = Ref::steal(PyImport_ImportModule("time"));
            if (!time) return false;
            Ref perf = Ref::steal(PyObject_GetAttr(time.get(), s_perf_counter_ns_));
            Ref now = perf ? Ref::steal(PyObject_GetAttr(time.get(), s_time_)) : Ref();
            if (!now) return false;
            perf_counter_ns_fn_ = perf.release();
            time_fn_ = now.release();
            names_ready_ = true;
        }
        PyObject* dict = PyModule_GetDict(module);
        if (!dict) return false;
        Py_XSETREF(dict_, Py_NewRef(dict));
        return true;
    }

    // The global `name` (an interned str); NameError when it is missing.
    Ref get(PyObject* name) const {
        PyObject* value = nullptr;
        if (!dict_) {
            missing(name);
            return Ref();
        }
        const int found = PyDict_GetItemRef(dict_, name, &value);
        if (found == 0) missing(name);
        return Ref::steal(value);
    }
    Ref get(const char* name) const {
        Ref key = Ref::steal(PyUnicode_InternFromString(name));
        return key ? get(key.get()) : Ref();
    }

    // threading.Lock() through the global `threading`.
    Ref new_lock() const {
        Ref threading = get(s_threading_);
        if (!threading) return Ref();
        PyObject* args[] = {threading.get()};
        return Ref::steal(
            PyObject_VectorcallMethod(s_lock_, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }

    // time.perf_counter_ns() as a Python object (whatever a replaced clock returns).
    Ref perf_counter_ns_object() const {
        Ref time = get(s_time_);
        if (!time) return Ref();
        const int genuine = is_genuine(time.get(), s_perf_counter_ns_, perf_counter_ns_fn_);
        if (genuine < 0) return Ref();
        if (genuine) {
            PyTime_t now;
            if (PyTime_PerfCounter(&now) < 0) return Ref();
            return Ref::steal(PyLong_FromLongLong(now));
        }
        return call(time.get(), s_perf_counter_ns_);
    }

    // time.perf_counter_ns() as unsigned 64-bit.
    bool perf_counter_ns(uint64_t* out) const {
        Ref time = get(s_time_);
        if (!time) return false;
        const int genuine = is_genuine(time.get(), s_perf_counter_ns_, perf_counter_ns_fn_);
        if (genuine < 0) return false;
        if (genuine) {
            PyTime_t now;
            if (PyTime_PerfCounter(&now) < 0) return false;
            if (now < 0) {
                PyErr_SetString(PyExc_OverflowError, "can't convert negative value to uint64_t");
                return false;
            }
            *out = static_cast<uint64_t>(now);
            return true;
        }
        Ref now = call(time.get(), s_perf_counter_ns_);
        return now && to_uint64(now.get(), out);
    }

    // time.time() as a double.
    bool time_seconds(double* out) const {
        Ref time = get(s_time_);
        if (!time) return false;
        const int genuine = is_genuine(time.get(), s_time_, time_fn_);
        if (genuine < 0) return false;
        if (genuine) {
            PyTime_t now;
            if (PyTime_Time(&now) < 0) return false;
            *out = PyTime_AsSecondsDouble(now);
            return true;
        }
        Ref now = call(time.get(), s_time_);
        return now && to_double(now.get(), out);
    }

private:
    static void missing(PyObject* name) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }

    static Ref call(PyObject* obj, PyObject* name) {
        PyObject* args[] = {obj};
        return Ref::steal(
            PyObject_VectorcallMethod(name, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }

    // 1 when `module.name` is `genuine` read from a plain module's own dict
    // (the module type has no attribute of these names, so the dict decides
    // and reading it runs no Python code); 0 otherwise; -1 on error.
    static int is_genuine(PyObject* module, PyObject* name, PyObject* genuine) {
        if (!PyModule_CheckExact(module)) return 0;
        PyObject* fn = nullptr;
        const int found = PyDict_GetItemRef(PyModule_GetDict(module), name, &fn);
        Py_XDECREF(fn);  // only its identity is compared
        if (found < 0) return -1;
        return fn == genuine;
    }

    PyObject* dict_ = nullptr;  // the module's dict, for the process
    // Created once per process; a retried set-up keeps them.
    inline static bool names_ready_ = false;
    inline static PyObject* s_time_ = nullptr;
    inline static PyObject* s_perf_counter_ns_ = nullptr;
    inline static PyObject* s_threading_ = nullptr;
    inline static PyObject* s_lock_ = nullptr;
    inline static PyObject* perf_counter_ns_fn_ = nullptr;
    inline static PyObject* time_fn_ = nullptr;
};

}  // namespace kn
