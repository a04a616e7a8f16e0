// kestrun.memory.syncore: lock-free atomic primitives.
//
//   AtomicCounter         signed 64-bit counter; every change is one
//                         sequentially consistent atomic instruction, done
//                         with the interpreter lock released; a native
//                         operation table for other extension modules
//   AtomicCounterWrapper  plain Python class forwarding to an AtomicCounter
//   AtomicPointer         versioned object slot with identity CAS
//   LockFreeStack         LIFO of objects in native nodes, atomic size
//   LockFreeStatistics    allocation counters with peaks and snapshots
//   PerformanceTimer      nanosecond stopwatch over time.perf_counter_ns
//
// This file holds the module's set-up and its globals.
#include "syncore.hpp"

namespace syncore {

kn::ModuleFrame frame{"syncore", "kestrun.memory.syncore"};

PyObject* s_increment = nullptr;
PyObject* s_decrement = nullptr;
PyObject* s_load = nullptr;
PyObject* s_store = nullptr;
PyObject* s_compare_and_swap = nullptr;
PyObject* s_update_peaks = nullptr;
PyObject* s_elapsed_ns = nullptr;

kn::ModuleGlobals globals;

namespace {

// ---------------------------------------------------------------- set-up

bool intern_names() {
    struct {
        PyObject** slot;
        const char* text;
    } names[] = {
        {&s_increment, "increment"},
        {&s_decrement, "decrement"},
        {&s_load, "load"},
        {&s_store, "store"},
        {&s_compare_and_swap, "compare_and_swap"},
        {&s_update_peaks, "_update_peaks"},
        {&s_elapsed_ns, "elapsed_ns"},
    };
    for (auto& n : names)
        if (!kn::create_once(*n.slot, [&n] { return PyUnicode_InternFromString(n.text); }))
            return false;
    return true;
}

// The class lives in kestrun/memory/_counter_wrapper.py, where linters and
// type checkers see it; it is given the counter type and the int argument
// rule, and presented as a class of this module.
PyObject* g_wrapper = nullptr;

PyObject* make_wrapper_class(PyObject* module_name) {
    kn::Ref helpers = kn::Ref::steal(PyImport_ImportModule("kestrun.memory._counter_wrapper"));
    if (!helpers) return nullptr;
    kn::Ref as_int = kn::Ref::steal(PyCFunction_NewEx(&as_int_def, nullptr, nullptr));
    if (!as_int ||
        PyObject_SetAttrString(helpers.get(), "AtomicCounter",
                               reinterpret_cast<PyObject*>(&CounterType)) < 0 ||
        PyObject_SetAttrString(helpers.get(), "_as_int", as_int.get()) < 0)
        return nullptr;
    kn::Ref cls = kn::Ref::steal(PyObject_GetAttrString(helpers.get(), "AtomicCounterWrapper"));
    if (!cls || PyObject_SetAttrString(cls.get(), "__module__", module_name) < 0) return nullptr;
    return cls.release();
}

int syncore_exec(PyObject* module) {
    if (!globals.bind(module)) return -1;
    kn::Ref threading = kn::Ref::steal(PyImport_ImportModule("threading"));
    kn::Ref time = threading ? kn::Ref::steal(PyImport_ImportModule("time")) : kn::Ref();
    if (!time || !intern_names() || !kn::resolve_lock_type(threading.get()) ||
        !ready_counter_type() || !ready_pointer_type() || !ready_stack_type() ||
        !ready_statistics_type() || !ready_timer_type())
        return -1;
    kn::Ref module_name = kn::Ref::steal(PyModule_GetNameObject(module));
    if (!module_name ||
        !kn::create_once(g_wrapper, [&] { return make_wrapper_class(module_name.get()); }))
        return -1;

    // Everything the module's types need exists: publish them.
    const std::pair<const char*, PyTypeObject*> types[] = {
        {"AtomicCounter", &CounterType},  {"AtomicPointer", &PointerType},
        {"LockFreeStack", &StackType},    {"LockFreeStatistics", &StatsType},
        {"PerformanceTimer", &TimerType},
    };
    for (const auto& [name, type] : types)
        if (PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) < 0) return -1;
    if (PyModule_AddObjectRef(module, "threading", threading.get()) < 0 ||
        PyModule_AddObjectRef(module, "time", time.get()) < 0 ||
        !kn::bind_from(module, "typing", {"Optional", "TypeVar", "Generic"}) ||
        PyModule_AddObjectRef(module, "AtomicCounterWrapper", g_wrapper) < 0 ||
        !kn::frame_finish(frame, module,
                          "kestrun.memory.syncore loaded: atomic primitives active with lock-free "
                          "native atomics (expected speed-up 10-20x)"))
        return -1;
    return PyModule_AddObjectRef(module, "NATIVE_ATOMICS_AVAILABLE", Py_True);
}

}  // namespace

// ---------------------------------------------------------------- shared helpers

PyObject* call_method(PyObject* name, PyObject* self, PyObject* arg1, PyObject* arg2) {
    PyObject* args[] = {self, arg1, arg2};
    size_t n = arg2 ? 3 : arg1 ? 2 : 1;
    return PyObject_VectorcallMethod(name, args, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

}  // namespace syncore

KN_DEFINE_MODULE(syncore, syncore::frame,
                 "Lock-free atomic primitives: counters, a versioned slot, a stack, allocation "
                 "statistics and a nanosecond timer.",
                 syncore::syncore_exec)
