/* Native operation tables of kestrun.memory.syncore, for other extension
 * modules.
 *
 * AtomicCounter and LockFreeStatistics publish their tables as capsules in
 * their type dictionaries.  Fetch a table once, with the interpreter lock
 * held, then call its operations from any thread, with or without the lock.
 * The operations cannot fail and touch no Python object; the caller must
 * hold a reference to the instance while it uses it, and pass only instances
 * of the type the import returned (or of a subclass): that type is the one
 * the table belongs to, whatever the module attribute has been replaced with.
 *
 *     PyTypeObject *counter_type;
 *     const KestrunAtomicCounterOps *ops;
 *     if (Kestrun_ImportAtomicCounter(&counter_type, &ops) < 0) return NULL;
 *     if (!PyObject_TypeCheck(counter, counter_type)) { ...TypeError... }
 *     int64_t now = ops->_c_increment(counter, NULL);   // NULL delta: 1
 *
 * Build against it with the folder returned by kestrun.get_include().
 */
#ifndef KESTRUN_SYNCORE_H
#define KESTRUN_SYNCORE_H

#include <Python.h>
#include <stdint.h>
#include "kestrun/ops.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The table of AtomicCounter, in its fixed order.  Every step is one
 * sequentially consistent atomic instruction; additions wrap modulo 2**64. */
typedef struct {
    int64_t (*_c_load)(PyObject* self);
    void (*_c_store)(PyObject* self, int64_t value);
    /* delta may be NULL, meaning 1; returns the new value. */
    int64_t (*_c_increment)(PyObject* self, const int64_t* delta);
    int64_t (*_c_decrement)(PyObject* self, const int64_t* delta);
    /* Strong compare-exchange; 1 when the value equalled expected. */
    int (*_c_compare_and_swap)(PyObject* self, int64_t expected, int64_t new_value);
    /* Returns the value before the addition. */
    int64_t (*_c_fetch_and_add)(PyObject* self, int64_t delta);
} KestrunAtomicCounterOps;

/* The table of LockFreeStatistics: each raises the instance's native peak
 * counter to at least value. */
typedef struct {
    void (*_update_peak_allocations)(PyObject* self, int64_t value);
    void (*_update_peak_bytes)(PyObject* self, int64_t value);
} KestrunStatisticsOps;

#define KESTRUN_SYNCORE_MODULE "kestrun.memory.syncore"
#define KESTRUN_COUNTER_OPS_CAPSULE "kestrun.memory.syncore.AtomicCounter.__kestrun_ops__"
#define KESTRUN_STATISTICS_OPS_CAPSULE "kestrun.memory.syncore.LockFreeStatistics.__kestrun_ops__"

/* Imports the module and fetches `type_name` and its table; 0 on success,
 * -1 with an exception set.  The type reference is new (see kestrun/ops.h). */
static inline int Kestrun_ImportOps(const char* type_name, const char* capsule_name,
                                    PyTypeObject** type, const void** ops) {
    return Kestrun_ImportTypeOps(KESTRUN_SYNCORE_MODULE, type_name, capsule_name, type, ops);
}

static inline int Kestrun_ImportAtomicCounter(PyTypeObject** type,
                                              const KestrunAtomicCounterOps** ops) {
    const void* table;
    if (Kestrun_ImportOps("AtomicCounter", KESTRUN_COUNTER_OPS_CAPSULE, type, &table) < 0)
        return -1;
    *ops = (const KestrunAtomicCounterOps*)table;
    return 0;
}

static inline int Kestrun_ImportStatistics(PyTypeObject** type, const KestrunStatisticsOps** ops) {
    const void* table;
    if (Kestrun_ImportOps("LockFreeStatistics", KESTRUN_STATISTICS_OPS_CAPSULE, type, &table) < 0)
        return -1;
    *ops = (const KestrunStatisticsOps*)table;
    return 0;
}

#ifdef __cplusplus
}
#endif

#endif /* KESTRUN_SYNCORE_H */
