// kestrun.jit.jit_governor: the adaptive JIT compile-threshold policy.
//
//   PolicyConfig      a governor's five tuning parameters, validated once
//   FunctionMetrics   one function's call and compilation figures
//   JitGovernor       per-function thresholds, the compile decision and the
//                     threshold's adaptation, serialised on a private lock
//   create_policy_config, create_function_metrics   factories
//   get_jit_governor, reset_jit_governor            the process-wide governor
//
// This file holds the module's set-up and its globals.  The module binds
// `time`, `logging`, `threading`, `Dict`, `Optional`, `logger` and
// `_policy_lock`; the governor reads `time`, `logger` and
// `_policy_lock` from the module's globals when it needs them, as the
// package's Python code would, so replacing one (in a test, say) takes
// effect at once.
#include "jit_governor.hpp"

namespace jit_governor {

kn::ModuleFrame frame{"jit_governor", "kestrun.jit.jit_governor"};

PyObject* s_get_metrics = nullptr;
PyObject* s_call_count = nullptr;
PyObject* s_compile_count = nullptr;
PyObject* s_avg_speedup = nullptr;
PyObject* s_last_compiled = nullptr;
PyObject* s_time = nullptr;
PyObject* s_debug = nullptr;
PyObject* s_logger = nullptr;
PyObject* s_is_enabled_for = nullptr;
PyObject* s_tracked_functions = nullptr;
PyObject* s_avg_threshold = nullptr;
PyObject* s_min_threshold = nullptr;
PyObject* s_max_threshold = nullptr;

kn::ModuleGlobals globals;
PyObject* g_logger_type = nullptr;
PyObject* g_time_fn = nullptr;

namespace {

// `_policy_lock`, made once per process so that a retried set-up binds the
// same lock.
PyObject* g_policy_lock = nullptr;

bool intern_names() {
    struct {
        PyObject** slot;
        const char* text;
    } names[] = {
        {&s_get_metrics, "get_metrics"},
        {&s_call_count, "call_count"},
        {&s_compile_count, "compile_count"},
        {&s_avg_speedup, "avg_speedup"},
        {&s_last_compiled, "last_compiled"},
        {&s_time, "time"},
        {&s_debug, "debug"},
        {&s_logger, "logger"},
        {&s_is_enabled_for, "isEnabledFor"},
        {&s_tracked_functions, "tracked_functions"},
        {&s_avg_threshold, "avg_threshold"},
        {&s_min_threshold, "min_threshold"},
        {&s_max_threshold, "max_threshold"},
    };
    for (auto& n : names)
        if (!kn::create_once(*n.slot, [&n] { return PyUnicode_InternFromString(n.text); }))
            return false;
    return true;
}

PyMethodDef* module_functions() {
    static PyMethodDef methods[5];
    methods[0] = create_policy_config_def;
    methods[1] = create_function_metrics_def;
    methods[2] = get_jit_governor_def;
    methods[3] = reset_jit_governor_def;
    methods[4] = kn::kEndOfMethods;
    return methods;
}

int jit_governor_exec(PyObject* module) {
    if (!globals.bind(module)) return -1;
    kn::Ref threading = kn::Ref::steal(PyImport_ImportModule("threading"));
    if (!threading || !intern_names() || !kn::resolve_lock_type(threading.get()) ||
        !ready_record_types() || !ready_governor_type() || !kn::create_once(g_policy_lock, [&] {
            return PyObject_CallMethod(threading.get(), "Lock", nullptr);
        }))
        return -1;
    kn::Ref time = kn::Ref::steal(PyImport_ImportModule("time"));
    if (!time || !guard_policy_lock_across_fork() ||
        !kn::create_once(g_time_fn, [&] { return PyObject_GetAttr(time.get(), s_time); }) ||
        !kn::create_once(g_logger_type, [] {
            kn::Ref logging = kn::Ref::steal(PyImport_ImportModule("logging"));
            return logging ? PyObject_GetAttrString(logging.get(), "Logger") : nullptr;
        }))
        return -1;
    if (PyModule_AddObjectRef(module, "threading", threading.get()) < 0 ||
        PyModule_AddObjectRef(module, "time", time.get()) < 0 ||
        !kn::bind_from(module, "typing", {"Dict", "Optional"}))
        return -1;
    // Everything the types and functions need exists: publish them.
    const std::pair<const char*, PyTypeObject*> types[] = {
        {"PolicyConfig", &PolicyConfigType},
        {"FunctionMetrics", &FunctionMetricsType},
        {"JitGovernor", &JitGovernorType},
    };
    for (const auto& [name, type] : types)
        if (PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) < 0) return -1;
    if (PyModule_AddObjectRef(module, "_policy_lock", g_policy_lock) < 0 ||
        !kn::add_functions(module, module_functions()) ||
        !kn::frame_finish(frame, module,
                          "kestrun.jit.jit_governor loaded: native JIT policy governor active"))
        return -1;
    return 0;
}

}  // namespace

}  // namespace jit_governor

KN_DEFINE_MODULE(jit_governor, jit_governor::frame,
                 "Adaptive JIT compile-threshold policy: PolicyConfig, FunctionMetrics and "
                 "JitGovernor, with a process-wide governor.",
                 jit_governor::jit_governor_exec)
