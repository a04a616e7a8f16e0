// kestrun.memory.spanwood: the free-block tree of the package's allocator.
//
//   FastRedBlackTree  free memory blocks keyed by size in a native red-black
//                     tree, with same-size lists, best-fit search and
//                     removal, writers serialised by a lock and lock-free
//                     readers validated by a sequence counter
//
// This file holds the module's set-up, its globals, and the threading.Lock
// and clock helpers the tree uses.  The module does not log.
#include "spanwood.hpp"

#include <array>

namespace spanwood {

kn::ModuleFrame frame{"spanwood", "kestrun.memory.spanwood"};

PyObject* s_increment = nullptr;
PyObject* s_load = nullptr;
PyObject* s_sanitize_size = nullptr;
PyObject* s_size = nullptr;
PyObject* s_atomic_counter = nullptr;
PyObject* s_atomic_available = nullptr;

namespace {

PyObject* s_time = nullptr;
PyObject* s_threading = nullptr;
PyObject* s_perf_counter_ns = nullptr;
PyObject* s_sleep = nullptr;
PyObject* s_lock = nullptr;
PyObject* sleep_interval = nullptr;  // 0.0001
// time.perf_counter_ns as the `time` module defines it.
PyObject* g_perf_counter_ns = nullptr;

// The module's dictionary: `threading`, `time`, `AtomicCounter` and
// `ATOMIC_AVAILABLE` are looked up there at call time, as the package's
// Python code would.  The module lives for the rest of the process.
PyObject* g_globals = nullptr;

bool intern_names() {
    struct {
        PyObject** slot;
        const char* text;
    } names[] = {
        {&s_increment, "increment"},
        {&s_load, "load"},
        {&s_sanitize_size, "_sanitize_size"},
        {&s_size, "size"},
        {&s_sleep, "sleep"},
        {&s_perf_counter_ns, "perf_counter_ns"},
        {&s_lock, "Lock"},
        {&s_time, "time"},
        {&s_threading, "threading"},
        {&s_atomic_counter, "AtomicCounter"},
        {&s_atomic_available, "ATOMIC_AVAILABLE"},
    };
    for (auto& n : names)
        if (!kn::create_once(*n.slot, [&n] { return PyUnicode_InternFromString(n.text); }))
            return false;
    return kn::create_once(sleep_interval, [] { return PyFloat_FromDouble(0.0001); });
}

// ---------------------------------------------------------------- set-up

// `from kestrun.memory.syncore import AtomicCounter`: ATOMIC_AVAILABLE is
// True when it works; a missing module or name leaves AtomicCounter None.
bool bind_atomic_counter(PyObject* module) {
    kn::Ref counter;
    kn::Ref syncore = kn::Ref::steal(PyImport_ImportModule("kestrun.memory.syncore"));
    if (syncore) counter = kn::Ref::steal(PyObject_GetAttrString(syncore.get(), "AtomicCounter"));
    if (!counter) {
        // A missing name is the ImportError of `from ... import`.
        if (!PyErr_ExceptionMatches(PyExc_ImportError) &&
            !(syncore && PyErr_ExceptionMatches(PyExc_AttributeError)))
            return false;
        PyErr_Clear();
    }
    return PyModule_AddObjectRef(module, "AtomicCounter", counter ? counter.get() : Py_None) == 0 &&
           PyModule_AddObjectRef(module, "ATOMIC_AVAILABLE", counter ? Py_True : Py_False) == 0;
}

// _set_reader_pause(microseconds): makes every lock-free reader wait that
// long after its first step (0 turns it off); returns the previous value.
// For tests, which use it to hold readers inside nodes that writers unlink.
constexpr kn::Signature<1> kSetReaderPauseSig{"_set_reader_pause", {"microseconds"}, 1};

PyObject* set_reader_pause(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> a;
    uint32_t us;
    if (!kn::bind(kSetReaderPauseSig, args, nargs, kwnames, a) || !kn::to_uint32(a[0], &us))
        return nullptr;
    if (us > 10000) {
        PyErr_SetString(PyExc_ValueError, "a reader pause is at most 10000 microseconds");
        return nullptr;
    }
    return PyLong_FromUnsignedLong(reader_pause_us.exchange(us));
}

PyMethodDef module_functions[] = {
    kn::def<set_reader_pause>(
        "_set_reader_pause",
        "_set_reader_pause($module, /, microseconds)\n--\n\n"
        "Test hook: lock-free readers wait this long after their first step."),
    kn::kEndOfMethods,
};

int spanwood_exec(PyObject* module) {
    Py_XSETREF(g_globals, Py_NewRef(PyModule_GetDict(module)));
    kn::Ref threading = kn::Ref::steal(PyImport_ImportModule("threading"));
    if (!threading || !intern_names() || !kn::resolve_lock_type(threading.get()) ||
        PyModule_AddObjectRef(module, "threading", threading.get()) < 0 ||
        !kn::bind_import(module, "time") || !kn::bind_import(module, "math") ||
        !kn::create_once(g_perf_counter_ns,
                         [module] {
                             kn::Ref time = kn::Ref::steal(PyObject_GetAttr(module, s_time));
                             return time ? PyObject_GetAttr(time.get(), s_perf_counter_ns)
                                         : nullptr;
                         }) ||
        !kn::bind_from(module, "typing", {"List", "Optional", "Tuple", "Dict", "Any"}) ||
        !kn::bind_from(module, "kestrun.memory.span_record", {"SpanRecord"}) ||
        !bind_atomic_counter(module) || !ready_tree_type() ||
        !kn::add_functions(module, module_functions))
        return -1;
    return PyModule_AddObjectRef(module, "FastRedBlackTree",
                                 reinterpret_cast<PyObject*>(&TreeType));
}

}  // namespace

// ---------------------------------------------------------------- shared helpers

PyObject* module_global(PyObject* name) {
    PyObject* v = g_globals ? PyDict_GetItemWithError(g_globals, name) : nullptr;
    if (!v && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return v;
}

bool perf_counter_ns(uint64_t* out) {
    kn::Ref time = kn::Ref::borrow(module_global(s_time));
    if (!time) return false;
    // The module's own function is read straight from the clock it reads;
    // a replaced module or function is called.
    if (PyModule_CheckExact(time.get())) {
        PyObject* fn = PyDict_GetItemWithError(PyModule_GetDict(time.get()), s_perf_counter_ns);
        if (fn && fn == g_perf_counter_ns) {
            PyTime_t now;
            if (PyTime_PerfCounter(&now) < 0) return false;
            if (now < 0) {
                PyErr_SetString(PyExc_OverflowError, "can't convert negative value to uint64_t");
                return false;
            }
            *out = static_cast<uint64_t>(now);
            return true;
        }
        if (PyErr_Occurred()) return false;
    }
    PyObject* args[] = {time.get()};
    kn::Ref now = kn::Ref::steal(PyObject_VectorcallMethod(
        s_perf_counter_ns, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    return now && kn::to_uint64(now.get(), out);
}

bool short_sleep() {
    kn::Ref time = kn::Ref::borrow(module_global(s_time));
    if (!time) return false;
    PyObject* args[] = {time.get(), sleep_interval};
    kn::Ref r = kn::Ref::steal(
        PyObject_VectorcallMethod(s_sleep, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    return static_cast<bool>(r);
}

PyObject* new_lock() {
    kn::Ref threading = kn::Ref::borrow(module_global(s_threading));
    if (!threading) return nullptr;
    PyObject* args[] = {threading.get()};
    return PyObject_VectorcallMethod(s_lock, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

}  // namespace spanwood

KN_DEFINE_MODULE(
    spanwood, spanwood::frame,
    "The free-block tree: free memory blocks keyed by size in a native red-black tree,\n"
    "with best-fit search and lock-free readers.",
    spanwood::spanwood_exec)
