// The module frame shared by every extension module of the package:
//
//  * modules are created once per process and only in the main interpreter
//    ("Interpreter change detected ..." ImportError in any other);
//  * a module is set up once: a second execution of a module object is
//    refused with RuntimeError, but a set-up that failed may be retried;
//  * a RuntimeWarning when the running interpreter is not the one the module
//    was compiled for;
//  * functions appear on the module only at the end of its set-up, once the
//    state they use exists;
//  * `logging` and `logger` bound on the module and one info-level load line;
//  * small helpers for binding standard-library modules and names.
//
// Usage: a module defines one `kn::ModuleFrame frame{"syncore",
// "kestrun.memory.syncore"};`, an exec function that builds its state, then
// publishes its functions with add_functions() and (for the modules that log)
// ends with frame_finish(), and KN_DEFINE_MODULE(...), which wraps the exec
// function in the once-only rule and the exception barrier.  Module state
// lives in process-wide variables created once: a retried set-up keeps what
// an earlier attempt built.
#pragma once

#include "barrier.hpp"
#include "ref.hpp"

#include <atomic>
#include <cstdint>
#include <initializer_list>

namespace kn {

struct ModuleFrame {
    enum State { kNotSetUp, kSettingUp, kSetUp };
    const char* short_name;   // "syncore"
    const char* dotted_name;  // "kestrun.memory.syncore"
    // Two threads may execute module objects at once (without the
    // interpreter lock): the step into kSettingUp is one atomic exchange.
    std::atomic<State> state{kNotSetUp};
};

// Py_mod_create: the modules live in the main interpreter only.  A
// sub-interpreter's import is refused, whether it comes before or after the
// main interpreter's, so no sub-interpreter can lock the main one out.
inline PyObject* frame_create(ModuleFrame&, PyObject* module_spec) {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    Ref name = Ref::steal(PyObject_GetAttrString(module_spec, "name"));
    if (!name) return nullptr;
    return PyModule_NewObject(name.get());
}

// Start of Py_mod_exec: the once-only rule and the version warning.  A set-up
// that is running or has succeeded refuses another; one that failed does not.
inline bool frame_begin(ModuleFrame& f) {
    ModuleFrame::State expected = ModuleFrame::kNotSetUp;
    if (!f.state.compare_exchange_strong(expected, ModuleFrame::kSettingUp)) {
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     f.short_name);
        return false;
    }
    const unsigned long runtime = Py_Version;
    const int major = static_cast<int>((runtime >> 24) & 0xff);
    const int minor = static_cast<int>((runtime >> 16) & 0xff);
    if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) {
        if (PyErr_WarnFormat(
                PyExc_RuntimeWarning, 1,
                "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                PY_MAJOR_VERSION, PY_MINOR_VERSION, f.dotted_name, "does not match", major,
                minor) < 0) {
            f.state = ModuleFrame::kNotSetUp;
            return false;
        }
    }
    return true;
}

// Py_mod_exec: the once-only rule around the module's own set-up, which runs
// inside the exception barrier.  Only a set-up that succeeded marks the
// module as imported.
template <int (*Exec)(PyObject*)>
inline int frame_exec(ModuleFrame& f, PyObject* module) {
    if (!frame_begin(f)) return -1;
    const int result = guarded<Exec>(module);
    f.state = result == 0 ? ModuleFrame::kSetUp : ModuleFrame::kNotSetUp;
    return result;
}

// Publishes the module's functions; call once its state exists.
inline bool add_functions(PyObject* module, PyMethodDef* methods) {
    return PyModule_AddFunctions(module, methods) == 0;
}

// Creates a piece of module state once per process: `slot` keeps what an
// earlier (possibly failed) set-up made.  `make` returns a new reference.
template <typename Make>
inline bool create_once(PyObject*& slot, Make&& make) {
    if (!slot) slot = make();
    return slot != nullptr;
}

// Fills in and readies a static type once per process; a type that is
// already ready (an earlier set-up got that far) is kept as it is, since
// instances of it may exist.
template <typename Fill>
inline bool ready_type_once(PyTypeObject& type, Fill&& fill) {
    if (type.tp_flags & Py_TPFLAGS_READY) return true;
    fill(type);
    return PyType_Ready(&type) == 0;
}

// Imports a standard module and binds it on `module` under its own name.
inline bool bind_import(PyObject* module, const char* name) {
    Ref mod = Ref::steal(PyImport_ImportModule(name));
    return mod && PyModule_AddObjectRef(module, name, mod.get()) == 0;
}

// `from <source> import <names...>` onto `module`.
inline bool bind_from(PyObject* module, const char* source,
                      std::initializer_list<const char*> names) {
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
    PyModuleDef_Slot slots[5];
};

inline FrameSlots frame_slots(PyObject* (*create)(PyObject*, PyModuleDef*),
                              int (*exec)(PyObject*)) {
    FrameSlots f{};
    int i = 0;
    f.slots[i++] = {Py_mod_create, reinterpret_cast<void*>(create)};
    f.slots[i++] = {Py_mod_exec, reinterpret_cast<void*>(exec)};
#if PY_VERSION_HEX >= 0x030C0000
    // Loading into any other interpreter (with or without its own
    // interpreter lock) is refused by frame_create with the package's own
    // message, so the interpreter itself need not refuse it.
    f.slots[i++] = {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED};
#endif
#ifdef Py_GIL_DISABLED
    // Every piece of state two threads can reach is guarded by an atomic,
    // its object's own lock or a critical section: a free-threaded
    // interpreter keeps running without the GIL when the modules load.
    f.slots[i++] = {Py_mod_gil, Py_MOD_GIL_NOT_USED};
#endif
    f.slots[i] = {0, nullptr};
    return f;
}

}  // namespace kn

// Defines PyInit_<name> for a module whose set-up function is `exec_fn`.
// The definition lists no functions: exec_fn publishes them with
// kn::add_functions once the state they need exists.
#define KN_DEFINE_MODULE(name, frame, doc, exec_fn)                                         \
    static PyObject* name##_create(PyObject* module_spec, PyModuleDef*) {                   \
        return kn::guarded<kn::frame_create>(frame, module_spec);                           \
    }                                                                                       \
    static int name##_frame_exec(PyObject* module) {                                        \
        return kn::frame_exec<exec_fn>(frame, module);                                      \
    }                                                                                       \
    static kn::FrameSlots name##_slots = kn::frame_slots(name##_create, name##_frame_exec); \
    static PyModuleDef name##_def = {PyModuleDef_HEAD_INIT,                                 \
                                     (frame).dotted_name,                                   \
                                     doc,                                                   \
                                     0,                                                     \
                                     nullptr,                                               \
                                     name##_slots.slots,                                    \
                                     nullptr,                                               \
                                     nullptr,                                               \
                                     nullptr};                                              \
    PyMODINIT_FUNC PyInit_##name(void) { return PyModuleDef_Init(&name##_def); }
