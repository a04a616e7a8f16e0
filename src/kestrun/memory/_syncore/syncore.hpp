// kestrun.memory.syncore: what the module's source files share.
//
//   module.cpp      set-up, module globals
//   counter.cpp     AtomicCounter and its native operation table
//   slot_stack.cpp  AtomicPointer and LockFreeStack
//   statistics.cpp  LockFreeStatistics and its native operation table
//   timer.cpp       PerformanceTimer
//
// AtomicCounterWrapper is plain Python (kestrun/memory/_counter_wrapper.py).
#pragma once

#include "kestrun/syncore.h"
#include "kestrun_native.hpp"
#include "pylock.hpp"

#include <atomic>
#include <cstdint>

namespace syncore {

extern kn::ModuleFrame frame;

// Interned method names used on the slow paths.
extern PyObject* s_increment;
extern PyObject* s_decrement;
extern PyObject* s_load;
extern PyObject* s_store;
extern PyObject* s_compare_and_swap;
extern PyObject* s_update_peaks;
extern PyObject* s_elapsed_ns;

// The module's globals (`threading`, `time`), looked up when used.
extern kn::ModuleGlobals globals;

// obj.name(arg1, arg2) with the arguments that are given.
PyObject* call_method(PyObject* name, PyObject* self, PyObject* arg1 = nullptr,
                      PyObject* arg2 = nullptr);

// LockFreeStatistics' threading.Lock is held through kn::LockedScope with
// kn::LockProtocol::kAcquireRelease: a lock of another type (from a replaced
// `threading`) gets its acquire() and release() called.

// ---------------------------------------------------------------- AtomicCounter

struct CounterObject {
    PyObject_HEAD
    const KestrunAtomicCounterOps* ops;
    std::atomic<int64_t> value;
};

extern PyTypeObject CounterType;

// Two's complement wrap-around without signed overflow.
inline int64_t wrap_add(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}
inline int64_t wrap_sub(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}

inline std::atomic<int64_t>& counter_value(PyObject* self) {
    return reinterpret_cast<CounterObject*>(self)->value;
}

// The native operations (std::atomic fetch_add on signed integers wraps).
inline int64_t c_load(PyObject* self) { return counter_value(self).load(); }
inline void c_store(PyObject* self, int64_t v) { counter_value(self).store(v); }
inline int64_t c_increment(PyObject* self, const int64_t* delta) {
    int64_t d = delta ? *delta : 1;
    return wrap_add(counter_value(self).fetch_add(d), d);
}
inline int64_t c_decrement(PyObject* self, const int64_t* delta) {
    int64_t d = delta ? *delta : 1;
    return wrap_sub(counter_value(self).fetch_sub(d), d);
}
inline int c_compare_and_swap(PyObject* self, int64_t expected, int64_t new_value) {
    return counter_value(self).compare_exchange_strong(expected, new_value) ? 1 : 0;
}
inline int64_t c_fetch_and_add(PyObject* self, int64_t delta) {
    return counter_value(self).fetch_add(delta);
}

// Raises an atomic peak to at least `value`; stops as soon as the stored
// peak is already greater or equal.
inline void raise_peak(std::atomic<int64_t>& peak, int64_t value) {
    int64_t seen = peak.load();
    while (seen < value && !peak.compare_exchange_weak(seen, value)) {
    }
}

// Counters as LockFreeStatistics drives them: an exact AtomicCounter through
// its native operations; anything else (a subclass, a replacement object,
// None) through its Python methods.
inline bool is_exact_counter(PyObject* o) { return Py_IS_TYPE(o, &CounterType); }

enum class Step { Increment, Decrement };

// counter.increment(delta) or counter.decrement(delta); delta nullptr means
// the method's default.  Return false with an exception set.
bool counter_step(PyObject* counter, Step step, PyObject* delta = nullptr);
bool counter_step_i64(PyObject* counter, Step step, int64_t delta);
// counter.load() as a new reference.
PyObject* counter_load_obj(PyObject* counter);
// counter.store(0).
bool counter_store_zero(PyObject* counter);

// The int-annotated argument rule, as a Python callable for the wrapper
// class: _as_int(value, name).
extern PyMethodDef as_int_def;

// ---------------------------------------------------------------- the other types

extern PyTypeObject PointerType;
extern PyTypeObject StackType;
extern PyTypeObject StatsType;
extern PyTypeObject TimerType;

// Each type's set-up, run once per process (ready_type_once): slots,
// PyType_Ready, and for the counter and the statistics their published
// native operation tables.
bool ready_counter_type();
bool ready_pointer_type();
bool ready_stack_type();
bool ready_statistics_type();
bool ready_timer_type();

}  // namespace syncore
