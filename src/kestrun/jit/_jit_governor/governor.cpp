// JitGovernor: a call-count threshold per function, the compile decision
// from a metric ledger's figures, the threshold's adaptation to the speed-up
// a compilation achieved, statistics; and the process-wide governor behind
// get_jit_governor() and reset_jit_governor().
//
// Locking.  Each governor owns one private native lock.  Sections that call into
// Python (the ledger's get_metrics and the metrics' attributes) always take
// it, so no other section of the same governor can interleave while that
// Python code runs, even if it releases the interpreter lock.  Sections that
// run no Python code at all (get_threshold, get_statistics) hold the
// interpreter lock from start to end, so they cannot interleave with any
// other section either; they take the governor's lock only when another
// thread is inside a section that holds it, and then wait for it as the
// lock requires.  Without the interpreter lock (a free-threaded build)
// nothing keeps such a section whole, so there every section takes the
// governor's lock.  The clock is read outside a section (and only when the
// decision needs it) and the debug line is logged after it.  A thread that
// comes back into a section of a governor whose lock it holds gets
// RuntimeError.  Every governor's lock and `_policy_lock` (a threading.Lock:
// it is a module global) are held across fork() (kn::ForkLink).
#include "jit_governor.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

namespace jit_governor {

PyTypeObject JitGovernorType;

namespace {

struct GovernorObject {
    PyObject ob_base;                  // the object header (PyObject_HEAD)
    const KestrunJitGovernorOps* ops;  // the type's operation table, in every instance
    PyObject* config;      // PolicyConfig or a subclass; nullptr once cleared by the collector
    PyObject* thresholds;  // dict: func_id (str or None) -> int
    double recompile_interval_s;
    kn::NativeLock lock;     // its owner: the thread inside a section that holds it
    kn::ForkLink fork_link;  // `lock` is held across fork()
};

inline GovernorObject* governor(PyObject* o) { return reinterpret_cast<GovernorObject*>(o); }

constexpr double kRecompileIntervalS = 600.0;

void governor_fork_locks(PyObject* self, std::vector<kn::ForkLock>& out);

// ---------------------------------------------------------------- sections

constexpr const char* kGovernorReentry =
    "JitGovernor called again by the thread that holds its lock: a metric ledger (or a metrics "
    "attribute) must not call back into the governor that is querying it";

// One critical section on a governor's lock (see the top of this file).
// end() leaves it and reports a failed release; on an error path the
// destructor leaves it and keeps the error already raised.
class Section {
public:
    enum Kind { kRunsPython, kNativeOnly };

    Section(GovernorObject* g, Kind kind)
        : scope_(g->lock, kGovernorReentry, takes_lock(g, kind)) {}
    Section(const Section&) = delete;
    Section& operator=(const Section&) = delete;

    bool ok() const { return scope_.ok(); }
    bool end() { return scope_.leave(); }

private:
    static bool takes_lock(const GovernorObject* g, Kind kind) {
#ifdef Py_GIL_DISABLED
        (void)g;
        (void)kind;
        return true;
#else
        return kind == kRunsPython || g->lock.owner.load(std::memory_order_relaxed) != 0;
#endif
    }

    kn::NativeScope scope_;
};

PyObject* cleared_error() {
    PyErr_SetString(
        PyExc_RuntimeError,
        "this JitGovernor was cleared by the garbage collector and can no longer be used");
    return nullptr;
}

// ---------------------------------------------------------------- threshold lookup

// The function's threshold without taking the lock: its entry in the map,
// else the configuration's initial_threshold.  -1 with an exception set on
// failure.  Runs no Python code for an exact str or None.  The entry is held
// while it is read: without the interpreter lock an update may replace it
// meanwhile.
int32_t threshold_fast(PyObject* self, PyObject* func_id) {
    GovernorObject* g = governor(self);
    if (!g->config || !g->thresholds) {
        cleared_error();
        return -1;
    }
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(g->thresholds, func_id, &found) < 0) return -1;
    kn::Ref value = kn::Ref::steal(found);
    if (!value) return policy(g->config)->ops->get_initial_threshold_fast(g->config);
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return -1;
    if (overflow || v < INT32_MIN || v > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int32_t");
        return -1;
    }
    return static_cast<int32_t>(v);
}

const KestrunJitGovernorOps governor_ops = {threshold_fast};

bool check_func_id(PyObject* func_id) {
    return kn::check_exact(func_id, &PyUnicode_Type, "func_id");
}

// ---------------------------------------------------------------- reading metrics

// What the decision and the update read from a metrics object.
struct Figures {
    uint64_t call_count = 0;
    uint32_t compile_count = 0;
    double avg_speedup = 0.0;
    double last_compiled = 0.0;
};

// metrics.<name> converted by `convert`; an exact FunctionMetrics is read
// natively by the caller instead.
template <typename T, typename Convert>
bool read_attr(PyObject* metrics, PyObject* name, T* out, Convert convert) {
    kn::Ref v = kn::Ref::steal(PyObject_GetAttr(metrics, name));
    return v && convert(v.get(), out);
}

// last_compiled, 0.0 when the attribute is missing.
bool read_last_compiled(PyObject* metrics, double* out) {
    kn::Ref held;
    if (kn::optional_attr(metrics, s_last_compiled, &held) < 0) return false;
    if (!held) {
        *out = 0.0;
        return true;
    }
    return kn::to_double(held.get(), out);
}

// metrics_ledger.get_metrics(func_id), as a new reference.
PyObject* get_metrics(PyObject* ledger, PyObject* func_id) {
    PyObject* args[] = {ledger, func_id};
    return PyObject_VectorcallMethod(s_get_metrics, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     nullptr);
}

// ---------------------------------------------------------------- the clock

// should_compile's clock: time.time() through the module global `time`,
// which is looked up at once (a missing one is a NameError whatever the
// decision).  A replaced clock may run any code: it is called at once,
// before the lock.  The genuine one runs none and is read only when the
// decision needs its value.
class Clock {
public:
    bool start() {
        kn::Ref time = globals.get(s_time);
        if (!time) return false;
        if (PyModule_CheckExact(time.get())) {
            PyObject* fn = nullptr;
            if (PyDict_GetItemRef(PyModule_GetDict(time.get()), s_time, &fn) < 0) return false;
            Py_XDECREF(fn);  // only its identity is compared
            if (fn && fn == g_time_fn) {
                deferred_ = true;
                return true;
            }
        }
        return globals.time_seconds(&value_);
    }

    bool now(double* out) const {
        if (!deferred_) {
            *out = value_;
            return true;
        }
        PyTime_t t;
        if (PyTime_Time(&t) < 0) return false;
        *out = PyTime_AsSecondsDouble(t);
        return true;
    }

private:
    bool deferred_ = false;
    double value_ = 0.0;
};

// ---------------------------------------------------------------- construction

constexpr kn::Signature<1> kJitGovernorNewSig{"JitGovernor", {"config"}, 0};

// The configuration a constructor argument gives: a default one for None, a
// PolicyConfig (or subclass) as it is, and for any other object a new
// PolicyConfig from whichever of the five attributes it has.
PyObject* config_from(PyObject* arg) {
    if (!arg || arg == Py_None) return new_default_config();
    if (PyObject_TypeCheck(arg, &PolicyConfigType)) return Py_NewRef(arg);
    static const char* const names[5] = {"initial_threshold", "min_threshold", "max_threshold",
                                         "learning_rate", "target_speedup"};
    kn::Ref values[5];
    for (int i = 0; i < 5; ++i)  // a missing attribute leaves the default
        if (kn::optional_attr(arg, names[i], &values[i]) < 0) return nullptr;
    return new_config(values[0].get(), values[1].get(), values[2].get(), values[3].get(),
                      values[4].get());
}

PyObject* governor_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    std::array<PyObject*, 1> a;
    if (!kn::bind_tuple(kJitGovernorNewSig, args, kwds, a)) return nullptr;
    kn::Ref arg = kn::Ref::borrow(a[0]);
    kn::Ref config = kn::Ref::steal(config_from(arg.get()));
    if (!config) return nullptr;
    kn::Ref thresholds = kn::Ref::steal(PyDict_New());
    if (!thresholds) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    GovernorObject* g = governor(self);
    g->ops = &governor_ops;
    g->config = config.release();
    g->thresholds = thresholds.release();
    g->recompile_interval_s = kRecompileIntervalS;
    new (&g->lock) kn::NativeLock();
    g->fork_link = kn::ForkLink{};
    g->fork_link.obj = self;
    g->fork_link.locks = governor_fork_locks;
    kn::fork_register(g->fork_link);
    return self;
}

int governor_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    GovernorObject* g = governor(self);
    Py_VISIT(g->config);
    Py_VISIT(g->thresholds);
    return 0;
}

// Only the configuration can lead back to the governor (a PolicyConfig
// subclass may hold anything); the map holds strings and ints.
int governor_clear(PyObject* self) {
    Py_CLEAR(governor(self)->config);
    return 0;
}

// A chain of governors and configurations that hold governors is freed
// through the trashcan, one link at a time instead of one nested call each.
void governor_dealloc(PyObject* self) {
    GovernorObject* g = governor(self);
    kn::fork_unregister(g->fork_link);
    PyObject_GC_UnTrack(self);
    // clang-format off
    Py_TRASHCAN_BEGIN(self, kn::guarded<governor_dealloc>)
    Py_CLEAR(g->config);
    Py_CLEAR(g->thresholds);
    Py_TYPE(self)->tp_free(self);
    Py_TRASHCAN_END
    // clang-format on
}

// ---------------------------------------------------------------- methods

constexpr kn::Signature<1> kJitGovernorGetThresholdSig{"get_threshold", {"func_id"}, 1};

PyObject* governor_get_threshold(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    std::array<PyObject*, 1> a;
    if (!kn::bind(kJitGovernorGetThresholdSig, args, nargs, kwnames, a) || !check_func_id(a[0]))
        return nullptr;
    GovernorObject* g = governor(self);
    Section section(g, Section::kNativeOnly);
    if (!section.ok()) return nullptr;
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(g->thresholds, a[0], &found) < 0) return nullptr;
    kn::Ref result = kn::Ref::steal(found);
    if (!result) {
        if (!g->config) return cleared_error();
        result = kn::Ref::steal(PyLong_FromLong(load_field(policy(g->config)->initial_threshold)));
        if (!result) return nullptr;
    }
    if (!section.end()) return nullptr;
    return result.release();
}

constexpr kn::Signature<2> kJitGovernorShouldCompileSig{
    "should_compile", {"func_id", "metric_ledger"}, 2};

PyObject* governor_should_compile(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    std::array<PyObject*, 2> a;
    if (!kn::bind(kJitGovernorShouldCompileSig, args, nargs, kwnames, a) || !check_func_id(a[0]))
        return nullptr;
    PyObject* func_id = a[0];
    PyObject* ledger = a[1];
    Clock clock;
    if (!clock.start()) return nullptr;

    GovernorObject* g = governor(self);
    int32_t threshold;
    Figures f;
    {
        Section section(g, Section::kRunsPython);
        if (!section.ok()) return nullptr;
        threshold = threshold_fast(self, func_id);
        if (threshold == -1 && PyErr_Occurred()) return nullptr;
        kn::Ref metrics = kn::Ref::steal(get_metrics(ledger, func_id));
        if (!metrics) return nullptr;
        if (Py_IS_TYPE(metrics.get(), &FunctionMetricsType)) {
            const MetricsValues m = read_metrics(metrics.get());
            f = {m.call_count, m.compile_count, m.avg_speedup, m.last_compiled};
        } else {
            // In this order; each may run Python code.  avg_speedup takes no
            // part in the decision, but must be there and convert.
            PyObject* mo = metrics.get();
            if (!read_attr(mo, s_call_count, &f.call_count, kn::to_uint64) ||
                !read_attr(mo, s_compile_count, &f.compile_count, kn::to_uint32) ||
                !read_attr(mo, s_avg_speedup, &f.avg_speedup, kn::to_double) ||
                !read_last_compiled(mo, &f.last_compiled))
                return nullptr;
        }
        if (!section.end()) return nullptr;
    }
    // Unsigned comparison with the threshold sign-extended: a negative
    // threshold is larger than every call count.
    if (f.call_count < static_cast<uint64_t>(static_cast<int64_t>(threshold)))
        return kn::boolean(false);
    if (f.compile_count == 0) return kn::boolean(true);
    double current_time;
    if (!clock.now(&current_time)) return nullptr;
    // A NaN difference is not >= the interval either.
    return kn::boolean(current_time - f.last_compiled >= g->recompile_interval_s);
}

// The adapted threshold after a compilation: lower after a speed-up above
// the target, higher otherwise, by a step that shrinks by a tenth of the
// learning rate per compilation; clamped to the bounds in this order (a
// configuration with min > max gives min below min and max otherwise).
int32_t adapted_threshold(int32_t current, uint32_t compile_count, double avg_speedup,
                          const PolicyValues& c) {
    const double divisor = c.target_speedup > 0.0 ? c.target_speedup : 1.0;
    const double ratio = avg_speedup / divisor;
    const double damping = std::min(static_cast<double>(compile_count) * 0.1, 1.0);
    const double step = c.learning_rate - damping * c.learning_rate;
    const double t = static_cast<double>(current);
    const double value = ratio > 1.0 ? t - step * t : t + step * t;  // a NaN ratio rises
    if (!(value >= static_cast<double>(c.min_threshold))) return c.min_threshold;
    if (value > static_cast<double>(c.max_threshold)) return c.max_threshold;
    return kn::saturate_cast<int32_t>(value);
}

// "Updated threshold for <func_id>: <old> -> <new> (speedup: <x.xx>x)",
// with a None func_id written as "None".  Built directly for the usual
// ASCII name: this runs on every update.
PyObject* update_message(PyObject* func_id, int32_t current, int32_t updated, double avg_speedup) {
    char* speed = PyOS_double_to_string(avg_speedup, 'f', 2, 0, nullptr);
    if (!speed) return nullptr;
    char tail[512];  // ": " + two 32-bit numbers + a formatted double of up to 312 characters
    const int n = PyOS_snprintf(tail, sizeof tail, ": %d -> %d (speedup: %sx)",
                                static_cast<int>(current), static_cast<int>(updated), speed);
    PyMem_Free(speed);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof tail) {
        PyErr_SetString(PyExc_SystemError, "threshold update message too long");
        return nullptr;
    }
    static constexpr std::string_view head = "Updated threshold for ";
    if (func_id == Py_None || !PyUnicode_IS_ASCII(func_id)) {
        return PyUnicode_FromFormat("%s%S%s", head.data(), func_id, tail);
    }
    const Py_ssize_t name_len = PyUnicode_GET_LENGTH(func_id);
    PyObject* message = PyUnicode_New(static_cast<Py_ssize_t>(head.size()) + name_len + n, 127);
    if (!message) return nullptr;
    char* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(message));
    std::memcpy(out, head.data(), head.size());
    std::memcpy(out + head.size(), PyUnicode_1BYTE_DATA(func_id),
                static_cast<std::size_t>(name_len));
    std::memcpy(out + head.size() + name_len, tail, static_cast<std::size_t>(n));
    return message;
}

// The update's line at debug level on the module's `logger`.  A
// logging.Logger is first asked whether it would emit a debug record (its own
// answer, so a level changed meanwhile counts) and the message is built only
// then, for the same record as always; any other object gets
// debug(message).
bool log_update(PyObject* func_id, int32_t current, int32_t updated, double avg_speedup) {
    kn::Ref logger = globals.get(s_logger);
    if (!logger) return false;
    if (reinterpret_cast<PyObject*>(Py_TYPE(logger.get())) == g_logger_type) {
        kn::Ref level = kn::Ref::steal(PyLong_FromLong(10));  // logging.DEBUG
        if (!level) return false;
        PyObject* ask[] = {logger.get(), level.get()};
        kn::Ref enabled = kn::Ref::steal(PyObject_VectorcallMethod(
            s_is_enabled_for, ask, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (!enabled) return false;
        const int on = PyObject_IsTrue(enabled.get());
        if (on <= 0) return on == 0;
    }
    kn::Ref message = kn::Ref::steal(update_message(func_id, current, updated, avg_speedup));
    if (!message) return false;
    PyObject* args[] = {logger.get(), message.get()};
    kn::Ref r = kn::Ref::steal(
        PyObject_VectorcallMethod(s_debug, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    return static_cast<bool>(r);
}

constexpr kn::Signature<2> kJitGovernorUpdateSig{"update", {"func_id", "metric_ledger"}, 2};

PyObject* governor_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    std::array<PyObject*, 2> a;
    if (!kn::bind(kJitGovernorUpdateSig, args, nargs, kwnames, a) || !check_func_id(a[0]))
        return nullptr;
    PyObject* func_id = a[0];
    PyObject* ledger = a[1];
    GovernorObject* g = governor(self);
    int32_t current = 0, updated = 0;
    double avg_speedup = 0.0;
    {
        Section section(g, Section::kRunsPython);
        if (!section.ok()) return nullptr;
        kn::Ref metrics = kn::Ref::steal(get_metrics(ledger, func_id));
        if (!metrics) return nullptr;
        PyObject* mo = metrics.get();
        const bool exact = Py_IS_TYPE(mo, &FunctionMetricsType);
        // One reading of an exact record's figures.
        const MetricsValues m = exact ? read_metrics(mo) : MetricsValues{};
        // No compilation yet: nothing to learn from.  Python equality with 0.
        int uncompiled;
        if (exact) {
            uncompiled = m.compile_count == 0;
        } else {
            kn::Ref count = kn::Ref::steal(PyObject_GetAttr(mo, s_compile_count));
            if (!count) return nullptr;
            kn::Ref zero = kn::Ref::steal(PyLong_FromLong(0));
            kn::Ref eq = kn::Ref::steal(PyObject_RichCompare(count.get(), zero.get(), Py_EQ));
            if (!eq || (uncompiled = PyObject_IsTrue(eq.get())) < 0) return nullptr;
        }
        if (uncompiled) return section.end() ? kn::none() : nullptr;

        current = threshold_fast(self, func_id);
        if (current == -1 && PyErr_Occurred()) return nullptr;
        uint32_t compile_count = 0;
        if (exact) {
            compile_count = m.compile_count;
            avg_speedup = m.avg_speedup;
        } else if (!read_attr(mo, s_compile_count, &compile_count, kn::to_uint32) ||
                   !read_attr(mo, s_avg_speedup, &avg_speedup, kn::to_double)) {
            return nullptr;
        }
        // The attribute reads above may have run Python code; the
        // configuration is read only now.
        if (!g->config) return cleared_error();
        updated = adapted_threshold(current, compile_count, avg_speedup, read_policy(g->config));
        kn::Ref value = kn::Ref::steal(PyLong_FromLong(updated));
        if (!value || PyDict_SetItem(g->thresholds, func_id, value.get()) < 0) return nullptr;
        if (!section.end()) return nullptr;
    }
    if (!log_update(func_id, current, updated, avg_speedup)) return nullptr;
    return kn::none();
}

PyObject* governor_get_statistics(PyObject* self, PyObject*) {
    GovernorObject* g = governor(self);
    Py_ssize_t count;
    int64_t sum = 0;
    int32_t low = 0, high = 0;
    {
        Section section(g, Section::kNativeOnly);
        if (!section.ok()) return nullptr;
        if (!g->config) return cleared_error();
        count = PyDict_GET_SIZE(g->thresholds);
        if (count == 0) {
            const PolicyValues c = read_policy(g->config);
            low = c.min_threshold;
            high = c.max_threshold;
            sum = c.initial_threshold;
        } else {
            // Every stored value is an int made from a 32-bit threshold.
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            bool first = true;
            while (PyDict_Next(g->thresholds, &pos, &key, &value)) {
                long v = PyLong_AsLong(value);
                if (v == -1 && PyErr_Occurred()) return nullptr;
                sum += v;
                low = first ? static_cast<int32_t>(v) : std::min(low, static_cast<int32_t>(v));
                high = first ? static_cast<int32_t>(v) : std::max(high, static_cast<int32_t>(v));
                first = false;
            }
        }
        if (!section.end()) return nullptr;
    }
    kn::Ref tracked = kn::Ref::steal(PyLong_FromSsize_t(count));
    kn::Ref total = kn::Ref::steal(PyLong_FromLongLong(sum));
    kn::Ref lo = kn::Ref::steal(PyLong_FromLong(low));
    kn::Ref hi = kn::Ref::steal(PyLong_FromLong(high));
    if (!tracked || !total || !lo || !hi) return nullptr;
    // An empty map reports the configured initial threshold as an int; else
    // sum / count with Python's true division of ints (correctly rounded).
    kn::Ref avg = count == 0 ? std::move(total)
                             : kn::Ref::steal(PyNumber_TrueDivide(total.get(), tracked.get()));
    if (!avg) return nullptr;
    kn::Ref dict = kn::Ref::steal(PyDict_New());
    if (!dict || PyDict_SetItem(dict.get(), s_tracked_functions, tracked.get()) < 0 ||
        PyDict_SetItem(dict.get(), s_avg_threshold, avg.get()) < 0 ||
        PyDict_SetItem(dict.get(), s_min_threshold, lo.get()) < 0 ||
        PyDict_SetItem(dict.get(), s_max_threshold, hi.get()) < 0)
        return nullptr;
    return dict.release();
}

PyObject* governor_get_config(PyObject* self, void*) {
    PyObject* config = governor(self)->config;
    return Py_NewRef(config ? config : Py_None);
}

PyGetSetDef governor_getset[] = {
    {"config", kn::guarded<governor_get_config>, nullptr,
     "The PolicyConfig in use (the object itself, not a copy).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef governor_methods[] = {
    KN_NO_PICKLE,
    kn::def<governor_get_threshold>("get_threshold",
                                    "get_threshold($self, /, func_id)\n--\n\n"
                                    "The function's current call-count threshold."),
    kn::def<governor_should_compile>(
        "should_compile",
        "should_compile($self, /, func_id, metric_ledger)\n--\n\n"
        "Whether the function should be compiled now: its call count has reached its\n"
        "threshold and, if it was compiled before, 600 seconds have passed since."),
    kn::def<governor_update>(
        "update",
        "update($self, /, func_id, metric_ledger)\n--\n\n"
        "Adapts the function's threshold to the speed-up its compilations achieved."),
    kn::def<governor_get_statistics>(
        "get_statistics",
        "get_statistics($self, /)\n--\n\n"
        "tracked_functions, avg_threshold, min_threshold and max_threshold as a new dict."),
    kn::kEndOfMethods,
};

// ---------------------------------------------------------------- process-wide governor

// The governor get_jit_governor() hands out (nullptr: none yet), guarded by
// the module global `_policy_lock`, and the thread holding that lock.  The
// slot is atomic as well, so that a `_policy_lock` replaced by an object
// that does not lock still installs one governor.
std::atomic<PyObject*> singleton{nullptr};
kn::LockOwner policy_owner{0};

// Holds `_policy_lock` for a scope; refuses the thread that already holds it.
class PolicySection {
public:
    PolicySection()
        : lock_(globals.get("_policy_lock")),
          scope_(lock_.get(), policy_owner,
                 "_policy_lock is already held by this thread: creating the process-wide "
                 "JitGovernor must not call get_jit_governor() or reset_jit_governor()",
                 kn::LockProtocol::kAcquireRelease) {}
    PolicySection(const PolicySection&) = delete;
    PolicySection& operator=(const PolicySection&) = delete;

    bool ok() const { return lock_ && scope_.ok(); }
    bool end() { return scope_.leave(); }

private:
    kn::Ref lock_;
    kn::LockedScope scope_;
};

// fork(): each governor's lock is held across it, and `_policy_lock` (a
// link of its own, registered at set-up) before them.
void governor_fork_locks(PyObject* self, std::vector<kn::ForkLock>& out) {
    out.push_back(kn::fork_native_lock(governor(self)->lock));
}

void policy_fork_locks(PyObject*, std::vector<kn::ForkLock>& out) {
    kn::Ref lock = globals.get("_policy_lock");
    if (!lock) {
        PyErr_WriteUnraisable(nullptr);
        return;
    }
    out.push_back({std::move(lock), &policy_owner, kn::LockProtocol::kAcquireRelease});
}

PyObject* get_jit_governor(PyObject*, PyObject*) {
    kn::Ref result;
    {
        PolicySection section;
        if (!section.ok()) return nullptr;
        PyObject* current = singleton.load();
        if (!current) {
            // Created under the lock; on failure the slot stays empty.  The
            // slot is filled only if still empty: creating runs Python code,
            // and a `_policy_lock` replaced by an object that does not lock
            // would let another thread fill the slot meanwhile.
            kn::Ref made =
                kn::Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&JitGovernorType)));
            if (!made) return nullptr;
            if (singleton.compare_exchange_strong(current, made.get())) current = made.release();
        }
        result = kn::Ref::borrow(current);
        if (!section.end()) return nullptr;
    }
    return result.release();
}

PyObject* reset_jit_governor(PyObject*, PyObject*) {
    kn::Ref dropped;
    {
        PolicySection section;
        if (!section.ok()) return nullptr;
        dropped = kn::Ref::steal(singleton.exchange(nullptr));
        if (!section.end()) return nullptr;
    }
    return kn::none();  // the old governor is released after the lock
}

kn::ForkLink policy_fork_link;

}  // namespace

bool guard_policy_lock_across_fork() {
    if (!policy_fork_link.next) {
        policy_fork_link.locks = policy_fork_locks;
        kn::fork_register(policy_fork_link);
    }
    return kn::install_fork_hooks();
}

PyMethodDef get_jit_governor_def = kn::def<get_jit_governor>(
    "get_jit_governor",
    "get_jit_governor($module, /)\n--\n\n"
    "The process-wide JitGovernor, created with the default configuration on first use.");

PyMethodDef reset_jit_governor_def = kn::def<reset_jit_governor>(
    "reset_jit_governor",
    "reset_jit_governor($module, /)\n--\n\n"
    "Drops the process-wide JitGovernor; the next get_jit_governor() creates a new one.");

bool ready_governor_type() {
    return kn::ready_type_once(JitGovernorType,
                               [](PyTypeObject& t) {
                                   t = kn::static_type<governor_new>(
                                       "kestrun.jit.jit_governor.JitGovernor",
                                       sizeof(GovernorObject),
                                       "JitGovernor(config=None)\n--\n\n"
                                       "Decides when a function is compiled, from a per-function "
                                       "call-count threshold that adapts to the speed-ups "
                                       "compilations achieve.",
                                       governor_methods, true);
                                   t.tp_getset = governor_getset;
                                   t.tp_traverse = kn::guarded<governor_traverse>;
                                   t.tp_clear = kn::guarded<governor_clear>;
                                   t.tp_dealloc = kn::guarded<governor_dealloc>;
                               }) &&
           kn::publish_ops(JitGovernorType, &governor_ops, KESTRUN_JIT_GOVERNOR_OPS_CAPSULE);
}

}  // namespace jit_governor
