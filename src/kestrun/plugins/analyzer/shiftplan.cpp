// kestrun.plugins.analyzer.shiftplan: stateless decision functions for the
// adaptive orchestrator.
//
// Four functions read the orchestrator's recorded history (performance
// degradation and trend, workload change, dominant pattern); seven turn the
// orchestrator's numbers into decisions (adaptation benefit, cool-down,
// memory pressure, fragmentation, urgency, pool score, resource prediction).
// Nothing here keeps state or modifies its arguments; all sums are native
// doubles.
//
// History lists are walked by index with the length read again on every
// step, and an entry is held by a strong reference whenever converting it
// can run Python code, so a caller's __float__ that mutates the list can
// neither crash the walk nor free an entry under it.  Without the
// interpreter lock, a list argument (and a list entry) is read inside a
// critical section on it, so another thread's change to it comes wholly
// before or wholly after the walk, as with the lock, unless the walk itself
// runs Python code.
#include "kestrun_native.hpp"
#include "unpack.hpp"

#include <cmath>
#include <cstdint>
#include <vector>

namespace {

kn::ModuleFrame frame{"shiftplan", "kestrun.plugins.analyzer.shiftplan"};

// The result when no pattern dominates.
PyObject* mixed_name = nullptr;

// ---------------------------------------------------------------- Shared helpers

// A list-typed argument: an exact list or None.
bool list_arg(PyObject* o, const char* argname) {
    return kn::check_exact(o, &PyList_Type, argname);
}

// An optional float argument: its default when omitted.
bool float_arg(PyObject* o, double fallback, double* out) {
    if (!o) {
        *out = fallback;
        return true;
    }
    return kn::to_double(o, out);
}

// Numbers whose conversion to double runs no Python code: an exact float or
// an exact int (whose only failure is OverflowError).  Returns 1 when `o` was
// such a number and has been read, 0 when it is not, -1 on error.
inline int plain_double(PyObject* o, double* out) {
    if (PyFloat_CheckExact(o)) {
        *out = PyFloat_AS_DOUBLE(o);
        return 1;
    }
    if (PyLong_CheckExact(o)) {
        double v = PyLong_AsDouble(o);
        if (v == -1.0 && PyErr_Occurred()) return -1;
        *out = v;
        return 1;
    }
    return 0;
}

// Two plain numbers read in place: 1 read, 0 not both plain, -1 on error.
inline int plain_pair(PyObject* const* items, double* first, double* second) {
    const int a = plain_double(items[0], first);
    return a > 0 ? plain_double(items[1], second) : a;
}

// The entry's first item, read under the lock of a list entry (whose caller
// holds a reference to it): 1 read, 0 not a plain number, -1 on error.
inline int plain_first(PyObject* entry, double* out) {
    if (PyTuple_CheckExact(entry))
        return PyTuple_GET_SIZE(entry) > 0 ? plain_double(PyTuple_GET_ITEM(entry, 0), out) : 0;
    if (!PyList_CheckExact(entry)) return 0;
    kn::CriticalSection cs(entry);
    return PyList_GET_SIZE(entry) > 0 ? plain_double(PyList_GET_ITEM(entry, 0), out) : 0;
}

// `first, second = entry` followed by float() of each, for an entry held by
// the caller: the items are unpacked into owned references (converting them
// may run Python code), a list's under its lock.
bool read_held_pair(PyObject* entry, double* first, double* second) {
    std::array<kn::Ref, 2> items;
    if (PyList_CheckExact(entry)) {
        kn::CriticalSection cs(entry);
        if (PyList_GET_SIZE(entry) == 2) {
            const int r =
                plain_pair(reinterpret_cast<PyListObject*>(entry)->ob_item, first, second);
            if (r != 0) return r > 0;
        }
    }
    // kn::unpack reads a list under its own lock (not nested in the one
    // above: 3.13 takes an object's lock again only through its slow path).
    if (!kn::unpack(entry, items)) return false;
    return kn::to_double(items[0].get(), first) && kn::to_double(items[1].get(), second);
}

// One history entry (borrowed from a list whose lock the caller holds) as two
// doubles, as `first, second = entry` followed by float() of each.  Tuples
// of two plain numbers are read in place, without references or an iterator.
// Anything else is held first: reading it may run Python code or wait for
// the entry's own lock, and either lets the history change meanwhile.
inline bool read_pair(PyObject* entry, double* first, double* second) {
    if (PyTuple_CheckExact(entry) && PyTuple_GET_SIZE(entry) == 2) {
        const int r = plain_pair(&PyTuple_GET_ITEM(entry, 0), first, second);
        if (r != 0) return r > 0;
    }
    kn::Ref hold = kn::Ref::borrow(entry);
    return read_held_pair(entry, first, second);
}

// Item 0 of an entry (borrowed as for read_pair) as a double, by indexing (so
// an entry without an item 0 raises that object's own indexing error).
bool first_item(PyObject* entry, double* out) {
    kn::Ref hold = kn::Ref::borrow(entry);
    const int r = plain_first(entry, out);
    if (r != 0) return r > 0;
    kn::Ref zero = kn::Ref::steal(PyLong_FromLong(0));
    if (!zero) return false;
    kn::Ref item = kn::Ref::steal(PyObject_GetItem(entry, zero.get()));
    return item && kn::to_double(item.get(), out);
}

// Borrowed entry i of a list, or nullptr once the list has become shorter.
inline PyObject* list_entry(PyObject* list, Py_ssize_t i) {
    return i < PyList_GET_SIZE(list) ? PyList_GET_ITEM(list, i) : nullptr;
}

// ---------------------------------------------------------------- Performance degradation and
// workload change detection

constexpr kn::Signature<4> kDetectPerformanceDegradationSig{
    "detect_performance_degradation",
    {"performance_history", "baseline_performance", "threshold", "window_start_time"},
    4};

PyObject* detect_performance_degradation(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    std::array<PyObject*, 4> a;
    if (!kn::bind(kDetectPerformanceDegradationSig, args, nargs, kwnames, a)) return nullptr;
    PyObject* history = a[0];
    double baseline, threshold, window_start;
    if (!list_arg(history, "performance_history") || !kn::to_double(a[1], &baseline) ||
        !kn::to_double(a[2], &threshold) || !kn::to_double(a[3], &window_start))
        return nullptr;
    if (history == Py_None) Py_RETURN_FALSE;
    kn::CriticalSection cs(history);
    if (baseline <= 0.0 || PyList_GET_SIZE(history) < 5) Py_RETURN_FALSE;

    double recent_sum = 0.0;
    int64_t recent_count = 0;
    for (Py_ssize_t i = 0; PyObject* entry = list_entry(history, i); ++i) {
        double ts, perf;
        if (!read_pair(entry, &ts, &perf)) return nullptr;
        if (ts >= window_start) {
            recent_sum += perf;
            ++recent_count;
        }
    }
    if (recent_count < 5) Py_RETURN_FALSE;
    double degradation = (baseline - recent_sum / static_cast<double>(recent_count)) / baseline;
    return kn::boolean(degradation > threshold);
}

constexpr kn::Signature<2> kCalculatePerformanceTrendSig{
    "calculate_performance_trend", {"performance_history", "window_start_time"}, 2};

PyObject* calculate_performance_trend(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    std::array<PyObject*, 2> a;
    if (!kn::bind(kCalculatePerformanceTrendSig, args, nargs, kwnames, a)) return nullptr;
    PyObject* history = a[0];
    double window_start;
    if (!list_arg(history, "performance_history") || !kn::to_double(a[1], &window_start))
        return nullptr;
    if (history == Py_None) return PyFloat_FromDouble(0.0);
    kn::CriticalSection cs(history);
    if (PyList_GET_SIZE(history) < 3) return PyFloat_FromDouble(0.0);

    // Least squares over the pairs inside the window, x measured from the
    // first of them; one pass, the sums taken in list order.
    double t0 = 0.0, sum_x = 0.0, sum_y = 0.0, sum_xy = 0.0, sum_xx = 0.0;
    Py_ssize_t n = 0;
    for (Py_ssize_t i = 0; PyObject* entry = list_entry(history, i); ++i) {
        double ts, perf;
        if (!read_pair(entry, &ts, &perf)) return nullptr;
        if (!(ts >= window_start)) continue;
        if (n++ == 0) t0 = ts;
        double x = ts - t0;
        sum_x += x;
        sum_y += perf;
        sum_xy += x * perf;
        sum_xx += x * x;
    }
    if (n < 3) return PyFloat_FromDouble(0.0);
    double dn = static_cast<double>(n);
    double mean_x = sum_x / dn, mean_y = sum_y / dn;
    double sxx = sum_xx - dn * mean_x * mean_x;
    double sxy = sum_xy - dn * mean_x * mean_y;
    if (std::fabs(sxx) < 1e-10 || std::fabs(mean_y) < 1e-10) return PyFloat_FromDouble(0.0);
    double trend = sxy / (mean_y * sxx);
    if (trend < -1.0) trend = -1.0;
    if (trend > 1.0) trend = 1.0;
    return PyFloat_FromDouble(trend);
}

// The keys of a pattern observation, in the order of the result.
constexpr const char* kPatternKeys[3] = {"parallelization_potential", "cpu_intensity",
                                         "memory_intensity"};
PyObject* pattern_keys[3] = {nullptr, nullptr, nullptr};

PyObject* no_change() { return Py_BuildValue("(Oddd)", Py_False, 0.0, 0.0, 0.0); }

// `acc += value` with acc a float, as Python adds: plain numbers natively,
// anything else through the number protocol (its own TypeError on failure).
bool accumulate(double* acc, PyObject* value) {
    if (PyFloat_CheckExact(value)) {
        *acc += PyFloat_AS_DOUBLE(value);
        return true;
    }
    if (PyLong_CheckExact(value) || PyBool_Check(value)) {
        double v = PyLong_AsDouble(value);
        if (v == -1.0 && PyErr_Occurred()) return false;
        *acc += v;
        return true;
    }
    kn::Ref left = kn::Ref::steal(PyFloat_FromDouble(*acc));
    if (!left) return false;
    kn::Ref sum = kn::Ref::steal(PyNumber_InPlaceAdd(left.get(), value));
    return sum && kn::to_double(sum.get(), acc);
}

constexpr kn::Signature<2> kDetectWorkloadCharacteristicsChangeSig{
    "detect_workload_characteristics_change", {"pattern_history", "change_threshold"}, 1};

PyObject* detect_workload_characteristics_change(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                                 PyObject* kwnames) {
    std::array<PyObject*, 2> a;
    if (!kn::bind(kDetectWorkloadCharacteristicsChangeSig, args, nargs, kwnames, a)) return nullptr;
    PyObject* history = a[0];
    double change_threshold;
    if (!list_arg(history, "pattern_history") || !float_arg(a[1], 0.3, &change_threshold))
        return nullptr;
    if (history == Py_None) return kn::none_has_no_len();

    // The last six observations, oldest first, taken (as the slice
    // history[-6:] would take them) before any Python code can run, and held
    // for the whole call: the key lookups and additions below may run
    // Python code (a stored key's __eq__, a value's __add__) that changes the
    // list or the dicts.
    std::array<kn::Ref, 6> obs;
    {
        kn::CriticalSection cs(history);
        const Py_ssize_t n = PyList_GET_SIZE(history);
        if (n < 6) return no_change();
        for (Py_ssize_t i = 0; i < 6; ++i)
            obs[static_cast<std::size_t>(i)] = kn::Ref::borrow(PyList_GET_ITEM(history, n - 6 + i));
    }
    for (const kn::Ref& held : obs) {
        PyObject* d = held.get();
        if (d == Py_None) {
            PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
            return nullptr;
        }
        if (!PyDict_Check(d)) {
            PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "dict", Py_TYPE(d)->tp_name);
            return nullptr;
        }
        for (PyObject* key : pattern_keys) {
            int has = PyDict_Contains(d, key);
            if (has < 0) return nullptr;
            if (!has) return no_change();
        }
    }

    // sums[0] over the three newest observations, sums[1] over the three before.
    double sums[2][3] = {{0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}};
    for (int half = 0; half < 2; ++half) {
        for (int j = 0; j < 3; ++j) {
            PyObject* d = obs[static_cast<std::size_t>(half == 0 ? 3 + j : j)].get();
            for (int k = 0; k < 3; ++k) {
                PyObject* value = nullptr;
                int found = PyDict_GetItemRef(d, pattern_keys[k], &value);
                if (found < 0) return nullptr;
                if (found == 0) {  // removed by an earlier addition's side effect
                    PyErr_SetObject(PyExc_KeyError, pattern_keys[k]);
                    return nullptr;
                }
                kn::Ref hold = kn::Ref::steal(value);
                if (!accumulate(&sums[half][k], value)) return nullptr;
            }
        }
    }
    double change[3];
    bool changed = false;
    for (int k = 0; k < 3; ++k) {
        change[k] = std::fabs(sums[0][k] - sums[1][k]) / 3.0;
        if (change[k] > change_threshold) changed = true;
    }
    return Py_BuildValue("(Oddd)", changed ? Py_True : Py_False, change[0], change[1], change[2]);
}

// Counts of the names in a window, in order of first appearance.  Names are
// exact str or None, so hashing and comparing them runs no Python code; an
// open-addressing table of slots into `names` keeps each step O(1).
class NameCounts {
public:
    struct Entry {
        PyObject* name;  // borrowed from the caller's list for the call
        Py_hash_t hash;
        Py_ssize_t count;
    };

    // Adds one occurrence of `name` (an exact str or None).
    bool add(PyObject* name) {
        Py_hash_t h = 0;
        if (name != Py_None) {
            h = PyObject_Hash(name);
            if (h == -1) return false;
        }
        if (2 * (entries_.size() + 1) > slots_.size()) grow();
        std::size_t mask = slots_.size() - 1;
        for (std::size_t i = static_cast<std::size_t>(h) & mask;; i = (i + 1) & mask) {
            int32_t s = slots_[i];
            if (s < 0) {
                slots_[i] = static_cast<int32_t>(entries_.size());
                entries_.push_back({name, h, 1});
                return true;
            }
            Entry& e = entries_[static_cast<std::size_t>(s)];
            if (e.name == name || (e.hash == h && name != Py_None && e.name != Py_None &&
                                   PyUnicode_Compare(e.name, name) == 0)) {
                ++e.count;
                return true;
            }
        }
    }

    const std::vector<Entry>& entries() const { return entries_; }

private:
    void grow() {
        std::size_t size = slots_.empty() ? 16 : 2 * slots_.size();
        slots_.assign(size, -1);
        std::size_t mask = size - 1;
        for (std::size_t k = 0; k < entries_.size(); ++k) {
            std::size_t i = static_cast<std::size_t>(entries_[k].hash) & mask;
            while (slots_[i] >= 0)
                i = (i + 1) & mask;
            slots_[i] = static_cast<int32_t>(k);
        }
    }

    std::vector<Entry> entries_;
    std::vector<int32_t> slots_;
};

constexpr kn::Signature<2> kDetectDominantPatternSig{
    "detect_dominant_pattern", {"patterns", "window_size"}, 1};

PyObject* detect_dominant_pattern(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    std::array<PyObject*, 2> a;
    if (!kn::bind(kDetectDominantPatternSig, args, nargs, kwnames, a)) return nullptr;
    PyObject* patterns = a[0];
    int32_t window_size = 5;
    if (!list_arg(patterns, "patterns") || (a[1] && !kn::to_int32(a[1], &window_size)))
        return nullptr;
    if (patterns == Py_None) return kn::none_has_no_len();
    // The names stay borrowed from the list up to the result's reference.
    kn::CriticalSection cs(patterns);
    Py_ssize_t n = PyList_GET_SIZE(patterns);
    Py_ssize_t start = n - static_cast<Py_ssize_t>(window_size);
    if (start < 0) start = 0;
    if (window_size <= 0) start = n;

    // Nothing below runs Python code, so the list cannot change meanwhile.
    NameCounts counts;
    for (Py_ssize_t i = start; i < n; ++i) {
        PyObject* name = PyList_GET_ITEM(patterns, i);
        if (!PyUnicode_CheckExact(name) && name != Py_None) {
            PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(name)->tp_name);
            return nullptr;
        }
        if (!counts.add(name)) return nullptr;
    }
    PyObject* result = mixed_name;
    Py_ssize_t best = 0;
    for (const NameCounts::Entry& e : counts.entries()) {
        if (e.count > best) {
            best = e.count;
            result = e.name;
        }
    }
    return Py_NewRef(result);
}

// ---------------------------------------------------------------- Adaptation decisions and
// resource prediction

// A pool name: an exact str or None.
bool pool_arg(PyObject* o, const char* argname) {
    return kn::check_exact(o, &PyUnicode_Type, argname);
}

constexpr kn::Signature<8> kIsAdaptationBeneficialSig{
    "is_adaptation_beneficial",
    {"current_pool", "recommended_pool", "recommendation_score", "recommendation_confidence",
     "current_performance_estimate", "trigger_code", "min_improvement_ratio", "min_confidence"},
    6};

PyObject* is_adaptation_beneficial(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    std::array<PyObject*, 8> a;
    if (!kn::bind(kIsAdaptationBeneficialSig, args, nargs, kwnames, a)) return nullptr;
    double score, confidence, estimate, min_ratio, min_confidence;
    int32_t trigger_code;
    if (!pool_arg(a[0], "current_pool") || !pool_arg(a[1], "recommended_pool") ||
        !kn::to_double(a[2], &score) || !kn::to_double(a[3], &confidence) ||
        !kn::to_double(a[4], &estimate) || !kn::to_int32(a[5], &trigger_code) ||
        !float_arg(a[6], 1.1, &min_ratio) || !float_arg(a[7], 0.6, &min_confidence))
        return nullptr;

    PyObject *current = a[0], *recommended = a[1];
    if (current == recommended) Py_RETURN_FALSE;
    if (current != Py_None && recommended != Py_None &&
        PyUnicode_Compare(current, recommended) == 0)
        Py_RETURN_FALSE;
    if (confidence < min_confidence) Py_RETURN_FALSE;
    if (trigger_code == 0) return kn::boolean(score > 0.5);
    if (estimate > 0.0) return kn::boolean(score > min_ratio * estimate);
    return kn::boolean(score > 0.6);
}

constexpr kn::Signature<3> kShouldSkipAdaptationSig{
    "should_skip_adaptation", {"last_adaptation_time", "current_time", "min_interval"}, 3};

PyObject* should_skip_adaptation(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    std::array<PyObject*, 3> a;
    if (!kn::bind(kShouldSkipAdaptationSig, args, nargs, kwnames, a)) return nullptr;
    double last, now, min_interval;
    if (!kn::to_double(a[0], &last) || !kn::to_double(a[1], &now) ||
        !kn::to_double(a[2], &min_interval))
        return nullptr;
    return kn::boolean(now - last < min_interval);
}

constexpr kn::Signature<3> kDetectMemoryPressureSig{
    "detect_memory_pressure", {"current_usage", "peak_usage", "pressure_threshold"}, 2};

PyObject* detect_memory_pressure(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    std::array<PyObject*, 3> a;
    if (!kn::bind(kDetectMemoryPressureSig, args, nargs, kwnames, a)) return nullptr;
    double current, peak, threshold;
    if (!kn::to_double(a[0], &current) || !kn::to_double(a[1], &peak) ||
        !float_arg(a[2], 0.8, &threshold))
        return nullptr;
    if (peak <= 0.0 || current < 0.0) Py_RETURN_FALSE;
    return kn::boolean(current / peak > threshold);
}

constexpr kn::Signature<2> kDetectFragmentationThresholdSig{
    "detect_fragmentation_threshold", {"fragmentation_ratio", "threshold"}, 1};

PyObject* detect_fragmentation_threshold(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    std::array<PyObject*, 2> a;
    if (!kn::bind(kDetectFragmentationThresholdSig, args, nargs, kwnames, a)) return nullptr;
    double ratio, threshold;
    if (!kn::to_double(a[0], &ratio) || !float_arg(a[1], 0.3, &threshold)) return nullptr;
    if (ratio < 0.0) Py_RETURN_FALSE;
    return kn::boolean(ratio > threshold);
}

// One term of a weighted score: the input capped at 1.0, counted only when
// the capped value is positive (so NaN counts for nothing).
inline double weighted(double value, double weight) {
    if (value > 1.0) value = 1.0;
    return value > 0.0 ? value * weight : 0.0;
}

inline double clamp_unit(double v) {
    if (v < 0.0) return 0.0;
    if (v > 1.0) return 1.0;
    return v;
}

constexpr kn::Signature<4> kCalculateAdaptationUrgencySig{
    "calculate_adaptation_urgency",
    {"performance_degradation", "memory_pressure", "fragmentation_ratio", "workload_changed"},
    4};

PyObject* calculate_adaptation_urgency(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    std::array<PyObject*, 4> a;
    if (!kn::bind(kCalculateAdaptationUrgencySig, args, nargs, kwnames, a)) return nullptr;
    double degradation, pressure, fragmentation;
    bool changed;
    if (!kn::to_double(a[0], &degradation) || !kn::to_double(a[1], &pressure) ||
        !kn::to_double(a[2], &fragmentation) || !kn::to_truth(a[3], &changed))
        return nullptr;
    double urgency = 0.0;
    urgency += weighted(degradation, 0.4);
    urgency += weighted(pressure, 0.3);
    urgency += weighted(fragmentation, 0.15);
    if (changed) urgency += 0.15;
    return PyFloat_FromDouble(clamp_unit(urgency));
}

constexpr kn::Signature<4> kScorePoolRecommendationSig{
    "score_pool_recommendation",
    {"workload_fit", "memory_fit", "thread_count_fit", "historical_success_rate"},
    4};

PyObject* score_pool_recommendation(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    std::array<PyObject*, 4> a;
    if (!kn::bind(kScorePoolRecommendationSig, args, nargs, kwnames, a)) return nullptr;
    double workload, memory, threads, success;
    if (!kn::to_double(a[0], &workload) || !kn::to_double(a[1], &memory) ||
        !kn::to_double(a[2], &threads) || !kn::to_double(a[3], &success))
        return nullptr;
    double score = 0.0;
    score += weighted(workload, 0.35);
    score += weighted(memory, 0.3);
    score += weighted(threads, 0.2);
    score += weighted(success, 0.15);
    return PyFloat_FromDouble(clamp_unit(score));
}

constexpr kn::Signature<2> kPredictResourceRequirementsSig{
    "predict_resource_requirements", {"allocation_history", "prediction_horizon_seconds"}, 2};

PyObject* predict_resource_requirements(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
    std::array<PyObject*, 2> a;
    if (!kn::bind(kPredictResourceRequirementsSig, args, nargs, kwnames, a)) return nullptr;
    PyObject* history = a[0];
    double horizon;
    if (!list_arg(history, "allocation_history") || !kn::to_double(a[1], &horizon)) return nullptr;
    if (history == Py_None) return kn::none_has_no_len();
    kn::CriticalSection cs(history);
    Py_ssize_t n = PyList_GET_SIZE(history);
    if (n < 10) return Py_BuildValue("(iid)", 0, 0, 0.0);

    double first, last;
    if (!first_item(PyList_GET_ITEM(history, 0), &first)) return nullptr;
    // Converting the first timestamp may have run Python code.
    Py_ssize_t now = PyList_GET_SIZE(history);
    if (now == 0) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return nullptr;
    }
    if (!first_item(PyList_GET_ITEM(history, now - 1), &last)) return nullptr;
    double span = last - first;
    if (span <= 0.0) return Py_BuildValue("(iid)", 0, 0, 0.0);

    double total = 0.0;
    for (Py_ssize_t i = 0; PyObject* entry = list_entry(history, i); ++i) {
        double ts, size;
        if (!read_pair(entry, &ts, &size)) return nullptr;
        total += size;
    }
    double dn = static_cast<double>(n);
    // Out-of-range predictions (a huge horizon, NaN or infinite inputs)
    // saturate at the ends of the 32-bit range; NaN gives 0.
    int32_t allocations = kn::saturate_cast<int32_t>(horizon * dn / span);
    int32_t total_bytes = kn::saturate_cast<int32_t>(total * static_cast<double>(allocations) / dn);
    double confidence = dn * 0.01 >= 1.0 ? 0.8 : dn * 0.008;
    return Py_BuildValue("(iid)", allocations, total_bytes, confidence);
}

// ---------------------------------------------------------------- Module

PyMethodDef methods[] = {
    kn::def<detect_performance_degradation>(
        "detect_performance_degradation",
        "detect_performance_degradation($module, /, performance_history, baseline_performance, "
        "threshold, window_start_time)\n--\n\n"
        "True when the mean performance of the history entries at or after\n"
        "window_start_time has fallen below baseline_performance by more than\n"
        "threshold (a fraction of the baseline); needs five such entries."),
    kn::def<calculate_performance_trend>(
        "calculate_performance_trend",
        "calculate_performance_trend($module, /, performance_history, window_start_time)\n--\n\n"
        "Least-squares slope of performance over time within the window, relative\n"
        "to the mean performance, clamped to [-1.0, 1.0]; negative means declining."),
    kn::def<detect_workload_characteristics_change>(
        "detect_workload_characteristics_change",
        "detect_workload_characteristics_change($module, /, pattern_history, "
        "change_threshold=0.3)\n"
        "--\n\n"
        "Compares the mean of the three newest observations with the three before\n"
        "them; returns (changed, parallel_change, cpu_change, memory_change)."),
    kn::def<detect_dominant_pattern>(
        "detect_dominant_pattern",
        "detect_dominant_pattern($module, /, patterns, window_size=5)\n--\n\n"
        "The most frequent name among the last window_size patterns (ties go to the\n"
        "name seen first), or 'mixed' when the window is empty."),
    kn::def<is_adaptation_beneficial>(
        "is_adaptation_beneficial",
        "is_adaptation_beneficial($module, /, current_pool, recommended_pool, "
        "recommendation_score, "
        "recommendation_confidence, current_performance_estimate, trigger_code, "
        "min_improvement_ratio=1.1, min_confidence=0.6)\n--\n\n"
        "Whether switching from current_pool to recommended_pool is worth it."),
    kn::def<should_skip_adaptation>(
        "should_skip_adaptation",
        "should_skip_adaptation($module, /, last_adaptation_time, current_time, "
        "min_interval)\n--\n\n"
        "True while less than min_interval has passed since the last adaptation."),
    kn::def<detect_memory_pressure>(
        "detect_memory_pressure",
        "detect_memory_pressure($module, /, current_usage, peak_usage, pressure_threshold=0.8)\n"
        "--\n\n"
        "True when current_usage / peak_usage exceeds pressure_threshold."),
    kn::def<detect_fragmentation_threshold>(
        "detect_fragmentation_threshold",
        "detect_fragmentation_threshold($module, /, fragmentation_ratio, threshold=0.3)\n--\n\n"
        "True when a non-negative fragmentation_ratio exceeds threshold."),
    kn::def<calculate_adaptation_urgency>(
        "calculate_adaptation_urgency",
        "calculate_adaptation_urgency($module, /, performance_degradation, memory_pressure, "
        "fragmentation_ratio, workload_changed)\n--\n\n"
        "Weighted urgency in [0.0, 1.0]: 0.4, 0.3 and 0.15 of the inputs (each\n"
        "capped at 1.0, positive ones only) plus 0.15 when the workload changed."),
    kn::def<score_pool_recommendation>(
        "score_pool_recommendation",
        "score_pool_recommendation($module, /, workload_fit, memory_fit, thread_count_fit, "
        "historical_success_rate)\n--\n\n"
        "Weighted pool score in [0.0, 1.0] with weights 0.35, 0.3, 0.2 and 0.15\n"
        "(each input capped at 1.0, positive ones only)."),
    kn::def<predict_resource_requirements>(
        "predict_resource_requirements",
        "predict_resource_requirements($module, /, allocation_history, "
        "prediction_horizon_seconds)\n"
        "--\n\n"
        "Extrapolates an allocation history of (timestamp, size) entries over the\n"
        "horizon: (predicted_allocations, predicted_total_bytes, confidence)."),
    kn::kEndOfMethods,
};

int shiftplan_exec(PyObject* module) {
    if (!kn::create_once(mixed_name, [] { return PyUnicode_InternFromString("mixed"); })) return -1;
    for (int k = 0; k < 3; ++k)
        if (!kn::create_once(pattern_keys[k],
                             [k] { return PyUnicode_InternFromString(kPatternKeys[k]); }))
            return -1;
    if (!kn::add_functions(module, methods) ||
        !kn::frame_finish(frame, module, "Native orchestrator algorithms module loaded"))
        return -1;
    return 0;
}

}  // namespace

KN_DEFINE_MODULE(shiftplan, frame,
                 "Stateless decision functions for the adaptive orchestrator: performance\n"
                 "degradation and trend, workload change, dominant pattern, adaptation\n"
                 "benefit and timing, memory pressure, fragmentation, urgency, pool\n"
                 "scoring and resource prediction.",
                 shiftplan_exec)
