// PolicyConfig, the tuning parameters of one governor, validated once at
// construction; FunctionMetrics, one function's call and compilation
// figures; their native operation tables; and the two factory functions.
//
// Both records are plain value holders: fields of fixed native width, read
// and written through attributes with the constructor's conversions, no
// references to other objects.  Each field is read and written whole (an
// atomic access without the interpreter lock); a setter holds a critical
// section on its record, so that read_policy and read_metrics see the
// values of one moment.
#include "jit_governor.hpp"

#include <cmath>
#include <utility>

namespace jit_governor {

PyTypeObject PolicyConfigType;
PyTypeObject FunctionMetricsType;

namespace {

// ---------------------------------------------------------------- native tables

int32_t get_initial_threshold_fast(PyObject* self) {
    return load_field(policy(self)->initial_threshold);
}
int32_t get_min_threshold_fast(PyObject* self) { return load_field(policy(self)->min_threshold); }
int32_t get_max_threshold_fast(PyObject* self) { return load_field(policy(self)->max_threshold); }
double get_learning_rate_fast(PyObject* self) { return load_field(policy(self)->learning_rate); }
double get_target_speedup_fast(PyObject* self) { return load_field(policy(self)->target_speedup); }

const KestrunPolicyConfigOps policy_config_ops = {
    get_initial_threshold_fast, get_min_threshold_fast,  get_max_threshold_fast,
    get_learning_rate_fast,     get_target_speedup_fast,
};

uint64_t get_call_count_fast(PyObject* self) { return load_field(metrics_of(self)->call_count); }
uint32_t get_compile_count_fast(PyObject* self) {
    return load_field(metrics_of(self)->compile_count);
}
double get_avg_speedup_fast(PyObject* self) { return load_field(metrics_of(self)->avg_speedup); }
double get_last_compiled_fast(PyObject* self) {
    return load_field(metrics_of(self)->last_compiled);
}

const KestrunFunctionMetricsOps function_metrics_ops = {
    get_call_count_fast,
    get_compile_count_fast,
    get_avg_speedup_fast,
    get_last_compiled_fast,
};

// ---------------------------------------------------------------- field access

// One conversion per native field type, with the constructor's messages.
bool convert(PyObject* o, int32_t* out) { return kn::to_int32(o, out); }
bool convert(PyObject* o, uint32_t* out) { return kn::to_uint32(o, out); }
bool convert(PyObject* o, uint64_t* out) { return kn::to_uint64(o, out); }
bool convert(PyObject* o, double* out) { return kn::to_double(o, out); }

PyObject* to_python(int32_t v) { return PyLong_FromLong(v); }
PyObject* to_python(uint32_t v) { return PyLong_FromUnsignedLong(v); }
PyObject* to_python(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
PyObject* to_python(double v) { return PyFloat_FromDouble(v); }

// The object and value types of a pointer to a native field.
template <typename>
struct FieldOf;
template <typename Object, typename T>
struct FieldOf<T Object::*> {
    using object = Object;
    using value = T;
};

// Getter and setter of one native field.  A value that does not convert
// leaves the field unchanged; deleting is refused.
template <auto Field>
PyObject* get_field(PyObject* self, void*) {
    using Object = typename FieldOf<decltype(Field)>::object;
    return to_python(load_field(reinterpret_cast<Object*>(self)->*Field));
}

template <auto Field>
int set_field(PyObject* self, PyObject* value, void*) {
    using Object = typename FieldOf<decltype(Field)>::object;
    if (!value) return kn::refuse_delete();
    typename FieldOf<decltype(Field)>::value v;
    if (!convert(value, &v)) return -1;  // may run Python code: outside the section
    kn::CriticalSection section(self);
    store_field(reinterpret_cast<Object*>(self)->*Field, v);
    return 0;
}

template <auto Field>
PyGetSetDef field(const char* name, const char* doc) {
    return {name, kn::guarded<get_field<Field>>, kn::guarded<set_field<Field>>, doc, nullptr};
}

// ---------------------------------------------------------------- PolicyConfig

// Converts the given values (nullptr: keep the default) in parameter order,
// then checks them in the documented order, stopping at the first failure.
bool policy_values(PyObject* const (&given)[5], PolicyValues& v) {
    if ((given[0] && !kn::to_int32(given[0], &v.initial_threshold)) ||
        (given[1] && !kn::to_int32(given[1], &v.min_threshold)) ||
        (given[2] && !kn::to_int32(given[2], &v.max_threshold)) ||
        (given[3] && !kn::to_double(given[3], &v.learning_rate)) ||
        (given[4] && !kn::to_double(given[4], &v.target_speedup)))
        return false;
    const char* failure = nullptr;
    if (v.min_threshold <= 0)
        failure = "min_threshold must be positive";
    else if (v.max_threshold <= v.min_threshold)
        failure = "max_threshold must be greater than min_threshold";
    else if (!(v.learning_rate > 0.0 && v.learning_rate <= 1.0))  // NaN fails
        failure = "learning_rate must be in (0, 1]";
    else if (!(v.target_speedup > 0.0))
        failure = "target_speedup must be positive";
    else if (v.initial_threshold < v.min_threshold || v.initial_threshold > v.max_threshold)
        failure = "initial_threshold must be within bounds";
    if (failure) {
        PyErr_SetString(PyExc_ValueError, failure);
        return false;
    }
    return true;
}

PyObject* make_policy(PyTypeObject* type, const PolicyValues& v) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    PolicyConfigObject* p = policy(self);
    p->ops = &policy_config_ops;
    p->initial_threshold = v.initial_threshold;
    p->min_threshold = v.min_threshold;
    p->max_threshold = v.max_threshold;
    p->learning_rate = v.learning_rate;
    p->target_speedup = v.target_speedup;
    return self;
}

// Builds a PolicyConfig of `type` from up to five argument objects, which
// the caller keeps alive: their conversions may run Python code.
PyObject* policy_from(PyTypeObject* type, PyObject* const (&given)[5]) {
    PolicyValues v;
    if (!policy_values(given, v)) return nullptr;
    return make_policy(type, v);
}

constexpr kn::Signature<5> kPolicyConfigNewSig{
    "PolicyConfig",
    {"initial_threshold", "min_threshold", "max_threshold", "learning_rate", "target_speedup"},
    0};

PyObject* policy_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    std::array<PyObject*, 5> a;
    if (!kn::bind_tuple(kPolicyConfigNewSig, args, kwds, a)) return nullptr;
    // Held while conversions run Python code that could empty a keyword
    // dictionary shared with the caller.
    kn::Ref held[5];
    for (int i = 0; i < 5; ++i)
        held[i] = kn::Ref::borrow(a[i]);
    PyObject* const given[5] = {a[0], a[1], a[2], a[3], a[4]};
    return policy_from(type, given);
}

PyGetSetDef policy_getset[] = {
    field<&PolicyConfigObject::initial_threshold>(
        "initial_threshold", "Threshold of a function that has no adapted one yet."),
    field<&PolicyConfigObject::min_threshold>("min_threshold",
                                              "Lower bound of every adapted threshold."),
    field<&PolicyConfigObject::max_threshold>("max_threshold",
                                              "Upper bound of every adapted threshold."),
    field<&PolicyConfigObject::learning_rate>(
        "learning_rate", "Relative step by which an update moves a threshold."),
    field<&PolicyConfigObject::target_speedup>("target_speedup",
                                               "Speed-up above which compilation pays off."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef policy_methods[] = {
    KN_NO_PICKLE,
    kn::kEndOfMethods,
};

// ---------------------------------------------------------------- FunctionMetrics

constexpr kn::Signature<6> kFunctionMetricsNewSig{
    "FunctionMetrics",
    {"call_count", "compile_count", "avg_speedup", "total_execution_time_ms", "last_compile_time",
     "last_compiled"},
    0};

// Builds a FunctionMetrics of `type` from up to six argument objects
// (nullptr: the default), which the caller keeps alive.
PyObject* metrics_from(PyTypeObject* type, PyObject* const (&given)[6]) {
    uint64_t call_count = 0;
    uint32_t compile_count = 0;
    double avg_speedup = 1.0, total_ms = 0.0, last_compile_time = 0.0, last_compiled = -1.0;
    if ((given[0] && !kn::to_uint64(given[0], &call_count)) ||
        (given[1] && !kn::to_uint32(given[1], &compile_count)) ||
        (given[2] && !kn::to_double(given[2], &avg_speedup)) ||
        (given[3] && !kn::to_double(given[3], &total_ms)) ||
        (given[4] && !kn::to_double(given[4], &last_compile_time)) ||
        (given[5] && !kn::to_double(given[5], &last_compiled)))
        return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    FunctionMetricsObject* m = metrics_of(self);
    m->ops = &function_metrics_ops;
    m->call_count = call_count;
    m->compile_count = compile_count;
    m->avg_speedup = avg_speedup;
    m->total_execution_time_ms = total_ms;
    // `last_compiled` below zero (or NaN) means "not given": the time stamp
    // is then `last_compile_time`.
    m->last_compiled = last_compiled >= 0.0 ? last_compiled : last_compile_time;
    return self;
}

PyObject* metrics_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    std::array<PyObject*, 6> a;
    if (!kn::bind_tuple(kFunctionMetricsNewSig, args, kwds, a)) return nullptr;
    kn::Ref held[6];
    for (int i = 0; i < 6; ++i)
        held[i] = kn::Ref::borrow(a[i]);
    PyObject* const given[6] = {a[0], a[1], a[2], a[3], a[4], a[5]};
    return metrics_from(type, given);
}

PyGetSetDef metrics_getset[] = {
    field<&FunctionMetricsObject::call_count>("call_count", "Number of calls of the function."),
    field<&FunctionMetricsObject::compile_count>("compile_count",
                                                 "Number of compilations of the function."),
    field<&FunctionMetricsObject::avg_speedup>("avg_speedup",
                                               "Average speed-up that compilation achieved."),
    field<&FunctionMetricsObject::total_execution_time_ms>("total_execution_time_ms",
                                                           "Total execution time, milliseconds."),
    field<&FunctionMetricsObject::last_compiled>(
        "last_compiled", "Wall-clock time (time.time()) of the last compilation."),
    field<&FunctionMetricsObject::last_compiled>("last_compile_time",
                                                 "Another name for last_compiled."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef metrics_methods[] = {
    KN_NO_PICKLE,
    kn::kEndOfMethods,
};

// ---------------------------------------------------------------- factories

constexpr kn::Signature<5> kCreatePolicyConfigSig{
    "create_policy_config",
    {"initial_threshold", "min_threshold", "max_threshold", "learning_rate", "target_speedup"},
    0};

// The int-annotated arguments go through int() (or raise the incorrect-type
// TypeError), the float ones through float(); PolicyConfig then converts and
// validates the results as its own arguments.
PyObject* create_policy_config(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    std::array<PyObject*, 5> a;
    if (!kn::bind(kCreatePolicyConfigSig, args, nargs, kwnames, a)) return nullptr;
    kn::Ref values[5];
    for (int i = 0; i < 3; ++i)
        if (a[i] && !(values[i] = kn::int_arg(a[i], kCreatePolicyConfigSig.params[i])))
            return nullptr;
    for (int i = 3; i < 5; ++i) {
        double d;
        if (a[i] &&
            (!kn::to_double(a[i], &d) || !(values[i] = kn::Ref::steal(PyFloat_FromDouble(d)))))
            return nullptr;
    }
    PyObject* const given[5] = {values[0].get(), values[1].get(), values[2].get(), values[3].get(),
                                values[4].get()};
    return policy_from(&PolicyConfigType, given);
}

constexpr kn::Signature<5> kCreateFunctionMetricsSig{
    "create_function_metrics",
    {"call_count", "compile_count", "avg_speedup", "total_execution_time_ms", "last_compile_time"},
    0};

PyObject* create_function_metrics(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    std::array<PyObject*, 5> a;
    if (!kn::bind(kCreateFunctionMetricsSig, args, nargs, kwnames, a)) return nullptr;
    kn::Ref values[5];
    for (int i = 0; i < 2; ++i)
        if (a[i] && !(values[i] = kn::int_arg(a[i], kCreateFunctionMetricsSig.params[i])))
            return nullptr;
    for (int i = 2; i < 5; ++i) {
        double d;
        if (a[i] &&
            (!kn::to_double(a[i], &d) || !(values[i] = kn::Ref::steal(PyFloat_FromDouble(d)))))
            return nullptr;
    }
    // No `last_compiled`: the record's time stamp is `last_compile_time`.
    PyObject* const given[6] = {values[0].get(), values[1].get(), values[2].get(),
                                values[3].get(), values[4].get(), nullptr};
    return metrics_from(&FunctionMetricsType, given);
}

}  // namespace

PolicyValues read_policy(PyObject* config) {
    const PolicyConfigObject* p = policy(config);
    kn::CriticalSection section(config);
    return {load_field(p->initial_threshold), load_field(p->min_threshold),
            load_field(p->max_threshold), load_field(p->learning_rate),
            load_field(p->target_speedup)};
}

MetricsValues read_metrics(PyObject* metrics) {
    const FunctionMetricsObject* m = metrics_of(metrics);
    kn::CriticalSection section(metrics);
    return {load_field(m->call_count), load_field(m->compile_count), load_field(m->avg_speedup),
            load_field(m->last_compiled)};
}

PyMethodDef create_policy_config_def = kn::def<create_policy_config>(
    "create_policy_config",
    "create_policy_config($module, /, initial_threshold=100, min_threshold=10,\n"
    "                     max_threshold=10000, learning_rate=0.1, target_speedup=2.0)\n--\n\n"
    "A validated PolicyConfig; the thresholds go through int() and the rates through float().");

PyMethodDef create_function_metrics_def = kn::def<create_function_metrics>(
    "create_function_metrics",
    "create_function_metrics($module, /, call_count=0, compile_count=0, avg_speedup=1.0,\n"
    "                        total_execution_time_ms=0.0, last_compile_time=0.0)\n--\n\n"
    "A FunctionMetrics; the counts go through int() and the rest through float().");

PyObject* new_default_config() { return make_policy(&PolicyConfigType, PolicyValues{}); }

PyObject* new_config(PyObject* initial, PyObject* min, PyObject* max, PyObject* learning_rate,
                     PyObject* target_speedup) {
    PyObject* const given[5] = {initial, min, max, learning_rate, target_speedup};
    return policy_from(&PolicyConfigType, given);
}

bool ready_record_types() {
    return kn::ready_type_once(
               PolicyConfigType,
               [](PyTypeObject& t) {
                   t = kn::static_type<policy_new>(
                       "kestrun.jit.jit_governor.PolicyConfig", sizeof(PolicyConfigObject),
                       "PolicyConfig(initial_threshold=100, min_threshold=10, "
                       "max_threshold=10000, learning_rate=0.1, target_speedup=2.0)\n--\n\n"
                       "Tuning parameters of a JitGovernor, validated at construction: "
                       "0 < min_threshold < max_threshold, min_threshold <= initial_threshold "
                       "<= max_threshold, 0 < learning_rate <= 1, target_speedup > 0.",
                       policy_methods, false);
                   t.tp_getset = policy_getset;
               }) &&
           kn::publish_ops(PolicyConfigType, &policy_config_ops,
                           KESTRUN_POLICY_CONFIG_OPS_CAPSULE) &&
           kn::ready_type_once(
               FunctionMetricsType,
               [](PyTypeObject& t) {
                   t = kn::static_type<metrics_new>(
                       "kestrun.jit.jit_governor.FunctionMetrics", sizeof(FunctionMetricsObject),
                       "FunctionMetrics(call_count=0, compile_count=0, avg_speedup=1.0, "
                       "total_execution_time_ms=0.0, last_compile_time=0.0, "
                       "last_compiled=-1.0)\n--\n\n"
                       "Execution and compilation figures of one function.  The time stamp is "
                       "last_compiled when it is >= 0, otherwise last_compile_time.",
                       metrics_methods, false);
                   t.tp_getset = metrics_getset;
               }) &&
           kn::publish_ops(FunctionMetricsType, &function_metrics_ops,
                           KESTRUN_FUNCTION_METRICS_OPS_CAPSULE);
}

}  // namespace jit_governor
