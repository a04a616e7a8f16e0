// AtomicCounter: a signed 64-bit counter whose every change is one
// sequentially consistent atomic instruction, done with the interpreter lock
// released; its native operation table for other extension modules; and
// the counter steps LockFreeStatistics takes on its public counters.
#include "syncore.hpp"

namespace syncore {

PyTypeObject CounterType;

namespace {

const KestrunAtomicCounterOps counter_ops = {
    c_load, c_store, c_increment, c_decrement, c_compare_and_swap, c_fetch_and_add,
};

constexpr kn::Signature<1> kCounterNewSig{"AtomicCounter", {"initial_value"}, 0};

PyObject* counter_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    std::array<PyObject*, 1> a;
    if (!kn::bind_tuple(kCounterNewSig, args, kwds, a)) return nullptr;
    int64_t initial = 0;
    if (a[0] && !kn::to_int64(a[0], &initial)) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    auto* c = reinterpret_cast<CounterObject*>(self);
    c->ops = &counter_ops;
    // Not yet shared with any other thread: a plain store.
    c->value.store(initial, std::memory_order_relaxed);
    return self;
}

// ---------------------------------------------------------------- Python face

// Each method converts, releases the interpreter lock, takes one atomic
// step, re-acquires the lock and builds the result.

PyObject* counter_load(PyObject* self, PyObject*) {
    int64_t v;
    Py_BEGIN_ALLOW_THREADS
    v = c_load(self);
    Py_END_ALLOW_THREADS
    return PyLong_FromLongLong(v);
}

constexpr kn::Signature<1> kCounterStoreSig{"store", {"value"}, 1};

PyObject* counter_store(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    std::array<PyObject*, 1> a;
    int64_t v;
    if (!kn::bind(kCounterStoreSig, args, nargs, kwnames, a) || !kn::to_int64(a[0], &v))
        return nullptr;
    Py_BEGIN_ALLOW_THREADS
    c_store(self, v);
    Py_END_ALLOW_THREADS
    return kn::none();
}

// Optional delta (default 1) for increment and decrement.
bool optional_delta(const kn::Signature<1>& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, int64_t* delta) {
    *delta = 1;
    if (nargs == 0 && !kwnames) return true;
    std::array<PyObject*, 1> a;
    if (!kn::bind(sig, args, nargs, kwnames, a)) return false;
    return !a[0] || kn::to_int64(a[0], delta);
}

constexpr kn::Signature<1> kCounterIncrementSig{"increment", {"delta"}, 0};

PyObject* counter_increment(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    int64_t d, r;
    if (!optional_delta(kCounterIncrementSig, args, nargs, kwnames, &d)) return nullptr;
    Py_BEGIN_ALLOW_THREADS
    r = c_increment(self, &d);
    Py_END_ALLOW_THREADS
    return PyLong_FromLongLong(r);
}

constexpr kn::Signature<1> kCounterDecrementSig{"decrement", {"delta"}, 0};

PyObject* counter_decrement(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    int64_t d, r;
    if (!optional_delta(kCounterDecrementSig, args, nargs, kwnames, &d)) return nullptr;
    Py_BEGIN_ALLOW_THREADS
    r = c_decrement(self, &d);
    Py_END_ALLOW_THREADS
    return PyLong_FromLongLong(r);
}

constexpr kn::Signature<2> kCounterCompareAndSwapSig{
    "compare_and_swap", {"expected", "new_value"}, 2};

PyObject* counter_compare_and_swap(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    std::array<PyObject*, 2> a;
    int64_t expected, desired;
    if (!kn::bind(kCounterCompareAndSwapSig, args, nargs, kwnames, a) ||
        !kn::to_int64(a[0], &expected) || !kn::to_int64(a[1], &desired))
        return nullptr;
    int ok;
    Py_BEGIN_ALLOW_THREADS
    ok = c_compare_and_swap(self, expected, desired);
    Py_END_ALLOW_THREADS
    return kn::boolean(ok);
}

constexpr kn::Signature<1> kCounterFetchAndAddSig{"fetch_and_add", {"delta"}, 1};

PyObject* counter_fetch_and_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    std::array<PyObject*, 1> a;
    int64_t d, r;
    if (!kn::bind(kCounterFetchAndAddSig, args, nargs, kwnames, a) || !kn::to_int64(a[0], &d))
        return nullptr;
    Py_BEGIN_ALLOW_THREADS
    r = c_fetch_and_add(self, d);
    Py_END_ALLOW_THREADS
    return PyLong_FromLongLong(r);
}

PyMethodDef counter_methods[] = {
    kn::def<counter_load>("load", "load($self, /)\n--\n\nThe current value."),
    kn::def<counter_store>("store", "store($self, /, value)\n--\n\nSets the value."),
    kn::def<counter_increment>("increment",
                               "increment($self, /, delta=1)\n--\n\nAdds delta (wrapping at 64 "
                               "bits); returns the new value."),
    kn::def<counter_decrement>("decrement",
                               "decrement($self, /, delta=1)\n--\n\n"
                               "Subtracts delta (wrapping at 64 bits); returns the new value."),
    kn::def<counter_compare_and_swap>(
        "compare_and_swap",
        "compare_and_swap($self, /, expected, new_value)\n--\n\n"
        "Sets new_value if the value equals expected; returns whether it did."),
    kn::def<counter_fetch_and_add>(
        "fetch_and_add",
        "fetch_and_add($self, /, delta)\n--\n\nAdds delta; returns the value before the addition."),
    KN_NO_PICKLE,
    kn::kEndOfMethods,
};

// The Python aliases are the very same function objects as the methods.
constexpr const char* kCounterAliases[][2] = {
    {"py_load", "load"},
    {"py_store", "store"},
    {"py_increment", "increment"},
    {"py_decrement", "decrement"},
    {"py_compare_and_swap", "compare_and_swap"},
    {"py_fetch_and_add", "fetch_and_add"},
};

bool add_counter_aliases() {
    for (const auto& alias : kCounterAliases) {
        PyObject* method = PyDict_GetItemString(CounterType.tp_dict, alias[1]);
        if (!method || PyDict_SetItemString(CounterType.tp_dict, alias[0], method) < 0)
            return false;
    }
    PyType_Modified(&CounterType);
    return true;
}

// ---------------------------------------------------------------- wrapper helper

constexpr kn::Signature<2> kAsIntSig{"_as_int", {"value", "name"}, 2};

PyObject* as_int(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> a;
    if (!kn::bind(kAsIntSig, args, nargs, kwnames, a)) return nullptr;
    const char* name = PyUnicode_AsUTF8(a[1]);
    return name ? kn::int_arg(a[0], name).release() : nullptr;
}

}  // namespace

PyMethodDef as_int_def = kn::def<as_int>("_as_int", nullptr);

// ---------------------------------------------------------------- counter steps

bool counter_step(PyObject* counter, Step step, PyObject* delta) {
    if (is_exact_counter(counter)) {
        int64_t d = 1;
        if (delta && !kn::to_int64(delta, &d)) return false;
        if (step == Step::Increment)
            c_increment(counter, &d);
        else
            c_decrement(counter, &d);
        return true;
    }
    PyObject* name = step == Step::Increment ? s_increment : s_decrement;
    kn::Ref r = kn::Ref::steal(call_method(name, counter, delta));
    return static_cast<bool>(r);
}

bool counter_step_i64(PyObject* counter, Step step, int64_t delta) {
    if (is_exact_counter(counter)) {
        if (step == Step::Increment)
            c_increment(counter, &delta);
        else
            c_decrement(counter, &delta);
        return true;
    }
    kn::Ref d = kn::Ref::steal(PyLong_FromLongLong(delta));
    return d && counter_step(counter, step, d.get());
}

PyObject* counter_load_obj(PyObject* counter) {
    if (is_exact_counter(counter)) return PyLong_FromLongLong(c_load(counter));
    return call_method(s_load, counter);
}

bool counter_store_zero(PyObject* counter) {
    if (is_exact_counter(counter)) {
        c_store(counter, 0);
        return true;
    }
    kn::Ref zero = kn::Ref::steal(PyLong_FromLong(0));
    kn::Ref r = kn::Ref::steal(call_method(s_store, counter, zero.get()));
    return static_cast<bool>(r);
}

// ---------------------------------------------------------------- type

bool ready_counter_type() {
    return kn::ready_type_once(CounterType,
                               [](PyTypeObject& t) {
                                   t = kn::static_type<counter_new>(
                                       "kestrun.memory.syncore.AtomicCounter",
                                       sizeof(CounterObject),
                                       "AtomicCounter(initial_value=0)\n--\n\n"
                                       "Signed 64-bit lock-free counter; every change is one "
                                       "atomic instruction and "
                                       "wraps modulo 2**64.",
                                       counter_methods, false);
                               }) &&
           kn::publish_ops(CounterType, &counter_ops, KESTRUN_COUNTER_OPS_CAPSULE) &&
           add_counter_aliases();
}

}  // namespace syncore
