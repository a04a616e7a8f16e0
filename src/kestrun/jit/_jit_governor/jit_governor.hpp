// kestrun.jit.jit_governor: what the module's source files share.
//
//   records.cpp   PolicyConfig and FunctionMetrics with their native operation
//                 tables, and the two factory functions
//   governor.cpp  JitGovernor, the process-wide governor and its two functions
//   module.cpp    set-up and module globals
#pragma once

#include "forkguard.hpp"
#include "kestrun/jit_governor.h"
#include "kestrun_native.hpp"
#include "optional_attr.hpp"
#include "pylock.hpp"

#include <atomic>
#include <cstdint>

namespace jit_governor {

extern kn::ModuleFrame frame;

// ---------------------------------------------------------------- records

struct PolicyConfigObject {
    PyObject ob_base;                   // the object header (PyObject_HEAD)
    const KestrunPolicyConfigOps* ops;  // the type's operation table, in every instance
    int32_t initial_threshold;
    int32_t min_threshold;
    int32_t max_threshold;
    double learning_rate;
    double target_speedup;
};

struct FunctionMetricsObject {
    PyObject ob_base;                      // the object header (PyObject_HEAD)
    const KestrunFunctionMetricsOps* ops;  // the type's operation table, in every instance
    uint64_t call_count;
    uint32_t compile_count;
    double avg_speedup;
    double total_execution_time_ms;
    double last_compiled;
};

// A record's number fields are read without a lock (the native tables,
// the getters) while a setter may write them from another thread; without
// the interpreter lock each access is a relaxed atomic one.
template <typename T>
inline T load_field(const T& field) noexcept {
#ifdef Py_GIL_DISABLED
    return std::atomic_ref<T>(const_cast<T&>(field)).load(std::memory_order_relaxed);
#else
    return field;
#endif
}

template <typename T>
inline void store_field(T& field, T value) noexcept {
#ifdef Py_GIL_DISABLED
    std::atomic_ref<T>(field).store(value, std::memory_order_relaxed);
#else
    field = value;
#endif
}

// The five values of a PolicyConfig (the defaults here).
struct PolicyValues {
    int32_t initial_threshold = 100;
    int32_t min_threshold = 10;
    int32_t max_threshold = 10000;
    double learning_rate = 0.1;
    double target_speedup = 2.0;
};

// The figures of a FunctionMetrics.
struct MetricsValues {
    uint64_t call_count = 0;
    uint32_t compile_count = 0;
    double avg_speedup = 0.0;
    double last_compiled = 0.0;
};

// All of a record's values at one moment: read in a critical section on
// the record, which its setters also hold, so no setter's change is half
// seen.  Run no Python code.
PolicyValues read_policy(PyObject* config);
MetricsValues read_metrics(PyObject* metrics);

extern PyTypeObject PolicyConfigType;
extern PyTypeObject FunctionMetricsType;

inline PolicyConfigObject* policy(PyObject* o) { return reinterpret_cast<PolicyConfigObject*>(o); }
inline FunctionMetricsObject* metrics_of(PyObject* o) {
    return reinterpret_cast<FunctionMetricsObject*>(o);
}

// A new PolicyConfig with the default values (100, 10, 10000, 0.1, 2.0).
PyObject* new_default_config();

// PolicyConfig(**kwargs) for the governor's "any other object" case: the
// five values as keyword arguments, nullptr meaning "not given".
PyObject* new_config(PyObject* initial, PyObject* min, PyObject* max, PyObject* learning_rate,
                     PyObject* target_speedup);

// The factories, published by the set-up.
extern PyMethodDef create_policy_config_def;
extern PyMethodDef create_function_metrics_def;

bool ready_record_types();

// ---------------------------------------------------------------- governor

extern PyTypeObject JitGovernorType;

bool ready_governor_type();

extern PyMethodDef get_jit_governor_def;
extern PyMethodDef reset_jit_governor_def;

// ---------------------------------------------------------------- module globals

// Interned names used on every call.
extern PyObject* s_get_metrics;
extern PyObject* s_call_count;
extern PyObject* s_compile_count;
extern PyObject* s_avg_speedup;
extern PyObject* s_last_compiled;
extern PyObject* s_time;
extern PyObject* s_debug;
extern PyObject* s_logger;
extern PyObject* s_is_enabled_for;
extern PyObject* s_tracked_functions;
extern PyObject* s_avg_threshold;
extern PyObject* s_min_threshold;
extern PyObject* s_max_threshold;

// The module's globals (`time`, `logger`, `_policy_lock`),
// looked up when used.
extern kn::ModuleGlobals globals;

// logging.Logger and time.time() as set-up found them (process-wide), for
// the fast paths that recognise the genuine logger type and clock.
extern PyObject* g_logger_type;
extern PyObject* g_time_fn;

// Holds `_policy_lock` and every governor's lock across fork(); once per
// process, at set-up.
bool guard_policy_lock_across_fork();

}  // namespace jit_governor
