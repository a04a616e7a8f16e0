/* Native operation tables of kestrun.jit.jit_governor, for other extension
 * modules.
 *
 * PolicyConfig, FunctionMetrics and JitGovernor publish their tables as
 * capsules in their type dictionaries; every instance also points to its
 * type's table in its first field after the object header.  Fetch a table
 * once, then call its operations with the interpreter lock held, passing
 * only instances of the type the import returned (or of a subclass): that
 * type is the one the table belongs to, whatever the module attribute has
 * been replaced with.
 *
 *     PyTypeObject *config_type;
 *     const KestrunPolicyConfigOps *ops;
 *     if (Kestrun_ImportPolicyConfig(&config_type, &ops) < 0) return NULL;
 *     if (!PyObject_TypeCheck(config, config_type)) { ...TypeError... }
 *     int32_t first = ops->get_initial_threshold_fast(config);
 *
 * The record getters return their field unchanged, cannot fail, take no
 * lock and allocate nothing.  The governor's _get_threshold_fast may fail:
 * it then returns -1 with a Python exception set (a real threshold of -1
 * comes with no exception).  Build against it with the folder returned by
 * kestrun.get_include().
 */
#ifndef KESTRUN_JIT_GOVERNOR_H
#define KESTRUN_JIT_GOVERNOR_H

#include <Python.h>
#include <stdint.h>
#include "kestrun/ops.h"

#ifdef __cplusplus
extern "C" {
#endif

/* PolicyConfig, in its fixed order. */
typedef struct {
    int32_t (*get_initial_threshold_fast)(PyObject* self);
    int32_t (*get_min_threshold_fast)(PyObject* self);
    int32_t (*get_max_threshold_fast)(PyObject* self);
    double (*get_learning_rate_fast)(PyObject* self);
    double (*get_target_speedup_fast)(PyObject* self);
} KestrunPolicyConfigOps;

/* FunctionMetrics, in its fixed order. */
typedef struct {
    uint64_t (*get_call_count_fast)(PyObject* self);
    uint32_t (*get_compile_count_fast)(PyObject* self);
    double (*get_avg_speedup_fast)(PyObject* self);
    double (*get_last_compiled_fast)(PyObject* self);
} KestrunFunctionMetricsOps;

/* JitGovernor: the threshold of func_id (an exact str or None) without
 * taking the governor's lock; -1 with an exception set on failure
 * (OverflowError when a stored threshold does not fit 32 bits). */
typedef struct {
    int32_t (*_get_threshold_fast)(PyObject* self, PyObject* func_id);
} KestrunJitGovernorOps;

#define KESTRUN_JIT_GOVERNOR_MODULE "kestrun.jit.jit_governor"
#define KESTRUN_JIT_OPS_ATTR KESTRUN_OPS_ATTR
#define KESTRUN_POLICY_CONFIG_OPS_CAPSULE "kestrun.jit.jit_governor.PolicyConfig.__kestrun_ops__"
#define KESTRUN_FUNCTION_METRICS_OPS_CAPSULE \
    "kestrun.jit.jit_governor.FunctionMetrics.__kestrun_ops__"
#define KESTRUN_JIT_GOVERNOR_OPS_CAPSULE "kestrun.jit.jit_governor.JitGovernor.__kestrun_ops__"

/* Imports the module and fetches `type_name` and its table; 0 on success,
 * -1 with an exception set.  The type reference is new (see kestrun/ops.h). */
static inline int Kestrun_ImportJitGovernorOps(const char* type_name, const char* capsule_name,
                                               PyTypeObject** type, const void** ops) {
    return Kestrun_ImportTypeOps(KESTRUN_JIT_GOVERNOR_MODULE, type_name, capsule_name, type, ops);
}

static inline int Kestrun_ImportPolicyConfig(PyTypeObject** type,
                                             const KestrunPolicyConfigOps** ops) {
    const void* table;
    if (Kestrun_ImportJitGovernorOps("PolicyConfig", KESTRUN_POLICY_CONFIG_OPS_CAPSULE, type,
                                     &table) < 0)
        return -1;
    *ops = (const KestrunPolicyConfigOps*)table;
    return 0;
}

static inline int Kestrun_ImportFunctionMetrics(PyTypeObject** type,
                                                const KestrunFunctionMetricsOps** ops) {
    const void* table;
    if (Kestrun_ImportJitGovernorOps("FunctionMetrics", KESTRUN_FUNCTION_METRICS_OPS_CAPSULE, type,
                                     &table) < 0)
        return -1;
    *ops = (const KestrunFunctionMetricsOps*)table;
    return 0;
}

static inline int Kestrun_ImportJitGovernor(PyTypeObject** type,
                                            const KestrunJitGovernorOps** ops) {
    const void* table;
    if (Kestrun_ImportJitGovernorOps("JitGovernor", KESTRUN_JIT_GOVERNOR_OPS_CAPSULE, type,
                                     &table) < 0)
        return -1;
    *ops = (const KestrunJitGovernorOps*)table;
    return 0;
}

#ifdef __cplusplus
}
#endif

#endif /* KESTRUN_JIT_GOVERNOR_H */
