// The module frame shared by every extension module of the package:
//
//  * modules are created once per process and only in the first interpreter
//    that loads them ("Interpreter change detected ..." ImportError);
//  * a second execution of a module object is refused with RuntimeError;
//  * a RuntimeWarning when the running interpreter is not the one the module
//    was compiled for;
//  * `logging` and `logger` bound on the module and one info-level load line;
//  * small helpers for binding standard-library modules and names.
//
// Usage: a module defines one `static kn::ModuleFrame frame{"syncore",
// "kestrun.memory.syncore"};`, an exec function that starts with
// frame_begin() and ends with frame_finish(), and KN_DEFINE_MODULE(...).
#pragma once

#include "ref.hpp"

#include <atomic>
#include <cstdint>
#include <initializer_list>

namespace kn {

struct ModuleFrame {
    const char* short_name;   // "syncore"
    const char* dotted_name;  // "kestrun.memory.syncore"
    bool executed = false;
    // The interpreter that owns the module; read by every interpreter that
    // tries to load it, possibly under different interpreter locks.
    std::atomic<int64_t> interpreter_id{-1};
};

// Py_mod_create: refuses any interpreter but the first one to load the module.
inline PyObject* frame_create(ModuleFrame& f, PyObject* module_spec) {
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    int64_t owner = -1;
    if (!f.interpreter_id.compare_exchange_strong(owner, current) && owner != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    Ref name = Ref::steal(PyObject_GetAttrString(module_spec, "name"));
    if (!name) return nullptr;
    return PyModule_NewObject(name.get());
}

// Start of Py_mod_exec: the once-only rule and the version warning.
inline bool frame_begin(ModuleFrame& f) {
    if (f.executed) {
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     f.short_name);
        return false;
    }
    f.executed = true;
    const unsigned long runtime = Py_Version;
    const int major = static_cast<int>((runtime >> 24) & 0xff);
    const int minor = static_cast<int>((runtime >> 16) & 0xff);
    if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                             "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                             PY_MAJOR_VERSION, PY_MINOR_VERSION, f.dotted_name, "does not match",
                             major, minor) < 0)
            return false;
    }
    return true;
}

// Imports a standard module and binds it on `module` under its own name.
inline bool bind_import(PyObject* module, const char* name) {
    Ref mod = Ref::steal(PyImport_ImportModule(name));
    return mod && PyModule_AddObjectRef(module, name, mod.get()) == 0;
}

// `from <source> import <names...>` onto `module`.
inline bool bind_from(PyObject* module, const char* source, std::initializer_list<const char*> names) {
    Ref mod = Ref::steal(PyImport_ImportModule(source));
    if (!mod) return false;
    for (const char* name : names) {
        Ref value = Ref::steal(PyObject_GetAttrString(mod.get(), name));
        if (!value || PyModule_AddObjectRef(module, name, value.get()) < 0) return false;
    }
    return true;
}

// End of Py_mod_exec: binds `logging` and `logger = logging.getLogger(__name__)`
// and logs the module's load line at info level.
inline bool frame_finish(ModuleFrame& f, PyObject* module, const char* load_message) {
    if (!bind_import(module, "logging")) return false;
    Ref logging = Ref::steal(PyObject_GetAttrString(module, "logging"));
    if (!logging) return false;
    Ref logger = Ref::steal(PyObject_CallMethod(logging.get(), "getLogger", "s", f.dotted_name));
    if (!logger || PyModule_AddObjectRef(module, "logger", logger.get()) < 0) return false;
    Ref done = Ref::steal(PyObject_CallMethod(logger.get(), "info", "s", load_message));
    return static_cast<bool>(done);
}

// The module-definition slots every module uses; `create` and `exec` are the
// module's own functions, which call the frame helpers above.
struct FrameSlots {
    PyModuleDef_Slot slots[4];
};

inline FrameSlots frame_slots(PyObject* (*create)(PyObject*, PyModuleDef*),
                                        int (*exec)(PyObject*)) {
    return FrameSlots{{
        {Py_mod_create, reinterpret_cast<void*>(create)},
        {Py_mod_exec, reinterpret_cast<void*>(exec)},
#if PY_VERSION_HEX >= 0x030C0000
        // Loading into any other interpreter (with or without its own
        // interpreter lock) is refused by frame_create with the package's
        // own message, so the interpreter itself need not refuse it.
        {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#else
        {0, nullptr},
#endif
        {0, nullptr},
    }};
}

}  // namespace kn

// Defines PyInit_<name> for a module whose exec function is `exec_fn`.
#define KN_DEFINE_MODULE(name, frame, doc, methods, exec_fn)                               \
    static PyObject* name##_create(PyObject* module_spec, PyModuleDef*) {                          \
        return kn::frame_create(frame, module_spec);                                               \
    }                                                                                       \
    static kn::FrameSlots name##_slots = kn::frame_slots(name##_create, exec_fn);           \
    static PyModuleDef name##_def = {PyModuleDef_HEAD_INIT, (frame).dotted_name, doc, 0,    \
                                     methods, name##_slots.slots, nullptr, nullptr,         \
                                     nullptr};                                              \
    PyMODINIT_FUNC PyInit_##name(void) { return PyModuleDef_Init(&name##_def); }
