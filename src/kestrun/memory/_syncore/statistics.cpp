// LockFreeStatistics: allocation counters kept in twelve public
// AtomicCounter attributes (any object may replace one; a replaced or
// subclassed counter gets its Python methods called), with peaks raised by
// compare-and-swap loops, snapshots and reset; the legacy recorders also
// keep a native mirror reachable through the published operation table.
#include "syncore.hpp"

namespace syncore {

PyTypeObject StatsType;

namespace {

enum Stat : int {
    TOTAL_ALLOCATIONS,
    TOTAL_DEALLOCATIONS,
    CURRENT_ALLOCATIONS,
    BYTES_ALLOCATED,
    BYTES_RESERVED,
    PEAK_ALLOCATIONS,
    PEAK_BYTES_ALLOCATED,
    BUCKETED_ALLOCATIONS,
    FALLBACK_ALLOCATIONS,
    ALIGNMENT_PADDING_BYTES,
    TOTAL_ALLOCATION_TIME_NS,
    TOTAL_DEALLOCATION_TIME_NS,
    STAT_COUNT,
};

constexpr const char* kStatNames[STAT_COUNT] = {
    "total_allocations",       "total_deallocations",      "current_allocations",
    "bytes_allocated",         "bytes_reserved",           "peak_allocations",
    "peak_bytes_allocated",    "bucketed_allocations",     "fallback_allocations",
    "alignment_padding_bytes", "total_allocation_time_ns", "total_deallocation_time_ns",
};

struct StatsObject {
    PyObject_HEAD
    const KestrunStatisticsOps* ops;
    std::atomic<int64_t> mirror[STAT_COUNT];  // native counters of the legacy methods
    PyObject* lock;                           // used only by reset()
    kn::LockOwner lock_owner;
    PyObject* counters[STAT_COUNT];  // the public AtomicCounter attributes
};

inline StatsObject* stats(PyObject* self) { return reinterpret_cast<StatsObject*>(self); }

void c_update_peak_allocations(PyObject* self, int64_t value) {
    raise_peak(stats(self)->mirror[PEAK_ALLOCATIONS], value);
}
void c_update_peak_bytes(PyObject* self, int64_t value) {
    raise_peak(stats(self)->mirror[PEAK_BYTES_ALLOCATED], value);
}

const KestrunStatisticsOps stats_ops = {c_update_peak_allocations, c_update_peak_bytes};

PyObject* stats_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    if (PyTuple_GET_SIZE(args) || (kwds && PyDict_GET_SIZE(kwds))) {
        PyErr_Format(PyExc_TypeError, "LockFreeStatistics() takes no arguments");
        return nullptr;
    }
    kn::Ref self = kn::Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    StatsObject* s = stats(self.get());
    s->ops = &stats_ops;
    for (auto& m : s->mirror)
        m.store(0, std::memory_order_relaxed);
    for (auto& c : s->counters)
        c = nullptr;
    s->lock = globals.new_lock().release();
    if (!s->lock) return nullptr;
    for (auto& c : s->counters) {
        c = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&CounterType));
        if (!c) return nullptr;
    }
    return self.release();
}

int stats_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    StatsObject* s = stats(self);
    Py_VISIT(s->lock);
    for (PyObject* c : s->counters)
        Py_VISIT(c);
    return 0;
}

int stats_clear(PyObject* self) {
    StatsObject* s = stats(self);
    Py_CLEAR(s->lock);
    for (auto& c : s->counters)
        Py_CLEAR(c);
    return 0;
}

// Statistics holding statistics (through a counter attribute) are freed
// through the trashcan (see pointer_dealloc).
void stats_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, kn::guarded<stats_dealloc>)
    stats_clear(self);
    Py_TYPE(self)->tp_free(self);
    Py_TRASHCAN_END
}

// The public counters: any object may be assigned; deleting sets None.
// Without the interpreter lock the attributes are read and replaced inside
// a critical section on the object, so a reader always gets a counter that
// is still alive.
PyObject* stats_get_counter(PyObject* self, void* closure) {
    kn::CriticalSection fields(self);
    PyObject* c = stats(self)->counters[reinterpret_cast<intptr_t>(closure)];
    return Py_NewRef(c ? c : Py_None);
}

int stats_set_counter(PyObject* self, PyObject* value, void* closure) {
    PyObject* old;
    {
        kn::CriticalSection fields(self);
        PyObject*& slot = stats(self)->counters[reinterpret_cast<intptr_t>(closure)];
        old = slot;
        slot = Py_NewRef(value ? value : Py_None);
    }
    Py_XDECREF(old);  // outside: a finaliser may run here
    return 0;
}

// A counter attribute as a strong reference (None when unset).  Strong,
// because a counter's Python method may release the interpreter lock, and
// another thread may replace the attribute and free the old counter then.
inline kn::Ref counter_at(PyObject* self, int i) {
    kn::CriticalSection fields(self);
    PyObject* c = stats(self)->counters[i];
    return kn::Ref::borrow(c ? c : Py_None);
}

// One peak loop over public counters:
//   p = peak.load(); stop if value <= p; stop if peak.compare_and_swap(p, value)
// An exact counter runs the loop natively.  A value below the signed 64-bit
// range is below every peak, so the loop stops at once, as it does for any
// other counter; one above the range cannot be stored (OverflowError, as
// compare_and_swap raises for it).
bool update_peak(PyObject* peak, PyObject* value) {
    if (is_exact_counter(peak)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (v == -1 && PyErr_Occurred()) return false;
        if (overflow < 0) return true;
        int64_t v64 = v;
        if (overflow > 0) return kn::to_int64(value, &v64);  // raises the OverflowError
        raise_peak(counter_value(peak), v64);
        return true;
    }
    for (;;) {
        kn::Ref p = kn::Ref::steal(call_method(s_load, peak));
        if (!p) return false;
        int le = PyObject_RichCompareBool(value, p.get(), Py_LE);
        if (le < 0) return false;
        if (le) return true;
        kn::Ref ok = kn::Ref::steal(call_method(s_compare_and_swap, peak, p.get(), value));
        if (!ok) return false;
        int done = PyObject_IsTrue(ok.get());
        if (done < 0) return false;
        if (done) return true;
    }
}

constexpr kn::Signature<2> kStatisticsUpdatePeaksSig{
    "_update_peaks", {"current_allocs", "current_bytes"}, 2};
PyObject* stats_update_peaks(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    std::array<PyObject*, 2> a;
    if (!kn::bind(kStatisticsUpdatePeaksSig, args, nargs, kwnames, a)) return nullptr;
    kn::Ref allocs = kn::int_arg(a[0], "current_allocs");
    if (!allocs) return nullptr;
    kn::Ref bytes = kn::int_arg(a[1], "current_bytes");
    if (!bytes) return nullptr;
    if (!update_peak(counter_at(self, PEAK_ALLOCATIONS).get(), allocs.get()) ||
        !update_peak(counter_at(self, PEAK_BYTES_ALLOCATED).get(), bytes.get()))
        return nullptr;
    return kn::none();
}

// self._update_peaks(current_allocations.load(), bytes_allocated.load()),
// looked up as a method so that a subclass may replace it.  On the exact
// type (no instance dictionary, immutable type) the lookup always finds the
// native method, so it is called directly.
bool call_update_peaks(PyObject* self) {
    kn::Ref current_ref = counter_at(self, CURRENT_ALLOCATIONS);
    kn::Ref bytes_ref = counter_at(self, BYTES_ALLOCATED);
    PyObject* current = current_ref.get();
    PyObject* bytes = bytes_ref.get();
    if (Py_IS_TYPE(self, &StatsType) && is_exact_counter(current) && is_exact_counter(bytes)) {
        kn::Ref peak_allocs_ref = counter_at(self, PEAK_ALLOCATIONS);
        kn::Ref peak_bytes_ref = counter_at(self, PEAK_BYTES_ALLOCATED);
        PyObject* peak_allocs = peak_allocs_ref.get();
        PyObject* peak_bytes = peak_bytes_ref.get();
        // Native steps only from here on.
        if (is_exact_counter(peak_allocs) && is_exact_counter(peak_bytes)) {
            raise_peak(counter_value(peak_allocs), c_load(current));
            raise_peak(counter_value(peak_bytes), c_load(bytes));
            return true;
        }
    }
    kn::Ref cur = kn::Ref::steal(counter_load_obj(current));
    if (!cur) return false;
    kn::Ref byt = kn::Ref::steal(counter_load_obj(bytes));
    if (!byt) return false;
    kn::Ref r = kn::Ref::steal(call_method(s_update_peaks, self, cur.get(), byt.get()));
    return static_cast<bool>(r);
}

constexpr kn::Signature<4> kStatisticsRecordAllocationSig{
    "record_allocation", {"size", "is_bucketed", "padding", "time_ns"}, 1};
PyObject* stats_record_allocation(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    std::array<PyObject*, 4> a;
    if (!kn::bind(kStatisticsRecordAllocationSig, args, nargs, kwnames, a)) return nullptr;
    kn::Ref size = kn::int_arg(a[0], "size");
    if (!size) return nullptr;
    bool bucketed = true;
    if (a[1] && !kn::to_truth(a[1], &bucketed)) return nullptr;
    kn::Ref padding, time_ns;
    if (a[2] && !(padding = kn::int_arg(a[2], "padding"))) return nullptr;
    if (a[3] && !(time_ns = kn::int_arg(a[3], "time_ns"))) return nullptr;
    int padding_sign = padding ? kn::int_sign(padding.get()) : 0;
    int time_sign = time_ns ? kn::int_sign(time_ns.get()) : 0;
    if (padding_sign == -2 || time_sign == -2) return nullptr;

    if (!counter_step(counter_at(self, TOTAL_ALLOCATIONS).get(), Step::Increment) ||
        !counter_step(counter_at(self, CURRENT_ALLOCATIONS).get(), Step::Increment) ||
        !counter_step(counter_at(self, BYTES_ALLOCATED).get(), Step::Increment, size.get()) ||
        !counter_step(
            counter_at(self, bucketed ? BUCKETED_ALLOCATIONS : FALLBACK_ALLOCATIONS).get(),
            Step::Increment) ||
        (padding_sign > 0 && !counter_step(counter_at(self, ALIGNMENT_PADDING_BYTES).get(),
                                           Step::Increment, padding.get())) ||
        (time_sign > 0 && !counter_step(counter_at(self, TOTAL_ALLOCATION_TIME_NS).get(),
                                        Step::Increment, time_ns.get())) ||
        !call_update_peaks(self))
        return nullptr;
    return kn::none();
}

constexpr kn::Signature<2> kStatisticsRecordDeallocationSig{
    "record_deallocation", {"size", "time_ns"}, 1};
PyObject* stats_record_deallocation(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    std::array<PyObject*, 2> a;
    if (!kn::bind(kStatisticsRecordDeallocationSig, args, nargs, kwnames, a)) return nullptr;
    kn::Ref size = kn::int_arg(a[0], "size");
    if (!size) return nullptr;
    kn::Ref time_ns;
    if (a[1] && !(time_ns = kn::int_arg(a[1], "time_ns"))) return nullptr;
    int time_sign = time_ns ? kn::int_sign(time_ns.get()) : 0;
    if (time_sign == -2) return nullptr;
    if (!counter_step(counter_at(self, TOTAL_DEALLOCATIONS).get(), Step::Increment) ||
        !counter_step(counter_at(self, CURRENT_ALLOCATIONS).get(), Step::Decrement) ||
        !counter_step(counter_at(self, BYTES_ALLOCATED).get(), Step::Decrement, size.get()) ||
        (time_sign > 0 && !counter_step(counter_at(self, TOTAL_DEALLOCATION_TIME_NS).get(),
                                        Step::Increment, time_ns.get())))
        return nullptr;
    return kn::none();
}

// The legacy recorders keep the native mirror (with the interpreter lock
// released) and the three basic public counters.
constexpr kn::Signature<4> kStatisticsPyRecordAllocationSig{
    "py_record_allocation", {"size", "is_bucketed", "padding", "time_ns"}, 2};
PyObject* stats_py_record_allocation(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
    std::array<PyObject*, 4> a;
    if (!kn::bind(kStatisticsPyRecordAllocationSig, args, nargs, kwnames, a)) return nullptr;
    int64_t size, padding = 0, time_ns = 0;
    bool bucketed;
    if (!kn::int_arg_int64(a[0], "size", &size) || !kn::to_truth(a[1], &bucketed) ||
        (a[2] && !kn::int_arg_int64(a[2], "padding", &padding)) ||
        (a[3] && !kn::int_arg_int64(a[3], "time_ns", &time_ns)))
        return nullptr;
    std::atomic<int64_t>* m = stats(self)->mirror;
    Py_BEGIN_ALLOW_THREADS
    m[TOTAL_ALLOCATIONS].fetch_add(1);
    int64_t current = wrap_add(m[CURRENT_ALLOCATIONS].fetch_add(1), 1);
    int64_t bytes = wrap_add(m[BYTES_ALLOCATED].fetch_add(size), size);
    m[bucketed ? BUCKETED_ALLOCATIONS : FALLBACK_ALLOCATIONS].fetch_add(1);
    if (padding > 0) m[ALIGNMENT_PADDING_BYTES].fetch_add(padding);
    if (time_ns > 0) m[TOTAL_ALLOCATION_TIME_NS].fetch_add(time_ns);
    raise_peak(m[PEAK_ALLOCATIONS], current);
    raise_peak(m[PEAK_BYTES_ALLOCATED], bytes);
    Py_END_ALLOW_THREADS
    if (!counter_step(counter_at(self, TOTAL_ALLOCATIONS).get(), Step::Increment) ||
        !counter_step(counter_at(self, CURRENT_ALLOCATIONS).get(), Step::Increment) ||
        !counter_step_i64(counter_at(self, BYTES_ALLOCATED).get(), Step::Increment, size))
        return nullptr;
    return kn::none();
}

constexpr kn::Signature<2> kStatisticsPyRecordDeallocationSig{
    "py_record_deallocation", {"size", "time_ns"}, 1};
PyObject* stats_py_record_deallocation(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    std::array<PyObject*, 2> a;
    if (!kn::bind(kStatisticsPyRecordDeallocationSig, args, nargs, kwnames, a)) return nullptr;
    int64_t size, time_ns = 0;
    if (!kn::int_arg_int64(a[0], "size", &size) ||
        (a[1] && !kn::int_arg_int64(a[1], "time_ns", &time_ns)))
        return nullptr;
    std::atomic<int64_t>* m = stats(self)->mirror;
    Py_BEGIN_ALLOW_THREADS
    m[TOTAL_DEALLOCATIONS].fetch_add(1);
    m[CURRENT_ALLOCATIONS].fetch_sub(1);
    m[BYTES_ALLOCATED].fetch_sub(size);
    if (time_ns > 0) m[TOTAL_DEALLOCATION_TIME_NS].fetch_add(time_ns);
    Py_END_ALLOW_THREADS
    if (!counter_step(counter_at(self, TOTAL_DEALLOCATIONS).get(), Step::Increment) ||
        !counter_step(counter_at(self, CURRENT_ALLOCATIONS).get(), Step::Decrement) ||
        !counter_step_i64(counter_at(self, BYTES_ALLOCATED).get(), Step::Decrement, size))
        return nullptr;
    return kn::none();
}

// numerator / denominator if denominator > 0, else 0.0 (Python semantics).
PyObject* ratio_or_zero(PyObject* numerator, PyObject* denominator) {
    kn::Ref zero = kn::Ref::steal(PyLong_FromLong(0));
    int positive = PyObject_RichCompareBool(denominator, zero.get(), Py_GT);
    if (positive < 0) return nullptr;
    if (!positive) return PyFloat_FromDouble(0.0);
    return PyNumber_TrueDivide(numerator, denominator);
}

PyObject* stats_get_snapshot(PyObject* self, PyObject*) {
    kn::Ref v[STAT_COUNT];
    for (int i = 0; i < STAT_COUNT; ++i) {
        v[i] = kn::Ref::steal(counter_load_obj(counter_at(self, i).get()));
        if (!v[i]) return nullptr;
    }
    // bucketed / total * 100.0 (0.0 without allocations), as "75.0%".
    kn::Ref ratio =
        kn::Ref::steal(ratio_or_zero(v[BUCKETED_ALLOCATIONS].get(), v[TOTAL_ALLOCATIONS].get()));
    if (!ratio) return nullptr;
    kn::Ref hundred = kn::Ref::steal(PyFloat_FromDouble(100.0));
    if (!hundred) return nullptr;
    ratio = kn::Ref::steal(PyNumber_Multiply(ratio.get(), hundred.get()));
    if (!ratio) return nullptr;
    kn::Ref fmt = kn::Ref::steal(PyUnicode_FromString(".1f"));
    kn::Ref formatted = kn::Ref::steal(fmt ? PyObject_Format(ratio.get(), fmt.get()) : nullptr);
    if (!formatted) return nullptr;
    kn::Ref ratio_text = kn::Ref::steal(PyUnicode_FromFormat("%U%%", formatted.get()));
    if (!ratio_text) return nullptr;
    kn::Ref avg_alloc = kn::Ref::steal(
        ratio_or_zero(v[TOTAL_ALLOCATION_TIME_NS].get(), v[TOTAL_ALLOCATIONS].get()));
    if (!avg_alloc) return nullptr;
    kn::Ref avg_dealloc = kn::Ref::steal(
        ratio_or_zero(v[TOTAL_DEALLOCATION_TIME_NS].get(), v[TOTAL_DEALLOCATIONS].get()));
    if (!avg_dealloc) return nullptr;
    kn::Ref mode = kn::Ref::steal(PyUnicode_FromString("lock-free native atomics"));
    if (!mode) return nullptr;

    const std::pair<const char*, PyObject*> items[] = {
        {"total_allocations", v[TOTAL_ALLOCATIONS].get()},
        {"total_deallocations", v[TOTAL_DEALLOCATIONS].get()},
        {"current_allocations", v[CURRENT_ALLOCATIONS].get()},
        {"bytes_allocated", v[BYTES_ALLOCATED].get()},
        {"bytes_reserved", v[BYTES_RESERVED].get()},
        {"peak_allocations", v[PEAK_ALLOCATIONS].get()},
        {"peak_bytes_allocated", v[PEAK_BYTES_ALLOCATED].get()},
        {"bucketed_allocations", v[BUCKETED_ALLOCATIONS].get()},
        {"fallback_allocations", v[FALLBACK_ALLOCATIONS].get()},
        {"bucketed_allocation_ratio", ratio_text.get()},
        {"alignment_padding_bytes", v[ALIGNMENT_PADDING_BYTES].get()},
        {"average_allocation_time_ns", avg_alloc.get()},
        {"average_deallocation_time_ns", avg_dealloc.get()},
        {"allocation_mode", mode.get()},
    };
    kn::Ref dict = kn::Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [key, value] : items)
        if (PyDict_SetItemString(dict.get(), key, value) < 0) return nullptr;
    return dict.release();
}

PyObject* stats_reset(PyObject* self, PyObject*) {
    StatsObject* s = stats(self);
    kn::LockedScope guard(s->lock, s->lock_owner,
                          "re-entrant call into LockFreeStatistics.reset() from the thread that "
                          "is resetting it (a counter's store() must not call reset() again)",
                          kn::LockProtocol::kAcquireRelease);
    if (!guard.ok()) return nullptr;
    for (auto& m : s->mirror)
        m.store(0);
    for (int i = 0; i < STAT_COUNT; ++i)
        if (!counter_store_zero(counter_at(self, i).get())) return nullptr;
    return kn::none();
}

PyMethodDef stats_methods[] = {
    kn::def<stats_record_allocation>(
        "record_allocation",
        "record_allocation($self, /, size, is_bucketed=True, padding=0, time_ns=0)\n--\n\n"
        "Counts one allocation of size bytes."),
    kn::def<stats_record_deallocation>("record_deallocation",
                                       "record_deallocation($self, /, size, "
                                       "time_ns=0)\n--\n\nCounts one deallocation of size bytes."),
    kn::def<stats_update_peaks>("_update_peaks",
                                "_update_peaks($self, /, current_allocs, current_bytes)\n--\n\n"
                                "Raises the peak counters to at least the values given."),
    kn::def<stats_get_snapshot>(
        "get_snapshot",
        "get_snapshot($self, /)\n--\n\nAll counters and derived ratios as a new dictionary."),
    kn::def<stats_reset>("reset", "reset($self, /)\n--\n\nSets every counter back to 0."),
    kn::def<stats_py_record_allocation>(
        "py_record_allocation",
        "py_record_allocation($self, /, size, is_bucketed, padding=0, time_ns=0)\n--\n\n"
        "Legacy recorder: also keeps the native counters."),
    kn::def<stats_py_record_deallocation>(
        "py_record_deallocation",
        "py_record_deallocation($self, /, size, time_ns=0)\n--\n\n"
        "Legacy recorder: also keeps the native counters."),
    KN_NO_PICKLE,
    kn::kEndOfMethods,
};

PyGetSetDef stats_getset[STAT_COUNT + 1] = {};

}  // namespace

bool ready_statistics_type() {
    return kn::ready_type_once(
               StatsType,
               [](PyTypeObject& t) {
                   t = kn::static_type<stats_new>(
                       "kestrun.memory.syncore.LockFreeStatistics", sizeof(StatsObject),
                       "LockFreeStatistics()\n--\n\n"
                       "Allocation counters updated from many threads without a lock.",
                       stats_methods, true);
                   for (intptr_t i = 0; i < STAT_COUNT; ++i)
                       stats_getset[i] = {kStatNames[i], kn::guarded<stats_get_counter>,
                                          kn::guarded<stats_set_counter>, nullptr,
                                          reinterpret_cast<void*>(i)};
                   t.tp_getset = stats_getset;
                   t.tp_traverse = kn::guarded<stats_traverse>;
                   t.tp_clear = kn::guarded<stats_clear>;
                   t.tp_dealloc = kn::guarded<stats_dealloc>;
               }) &&
           kn::publish_ops(StatsType, &stats_ops, KESTRUN_STATISTICS_OPS_CAPSULE);
}

}  // namespace syncore
