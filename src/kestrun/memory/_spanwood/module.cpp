// kestrun.memory.spanwood: the free-block tree of the package's allocator.
//
//   FastRedBlackTree  free memory blocks keyed by size in a native red-black
//                     tree, with same-size lists, best-fit search and
//                     removal, writers serialised by a lock and lock-free
//                     readers validated by a sequence counter
//
// This file holds the module's set-up, its globals, AtomicCounter's native
// table and the sleep the lock-free readers use.  The module does not log.
#include "spanwood.hpp"

#include <array>

namespace spanwood {

kn::ModuleFrame frame{"spanwood", "kestrun.memory.spanwood"};
// `threading`, `time`, `AtomicCounter` and `ATOMIC_AVAILABLE` are looked up
// there when used.
kn::ModuleGlobals globals;

PyObject* s_increment = nullptr;
PyObject* s_load = nullptr;
PyObject* s_sanitize_size = nullptr;
PyObject* s_size = nullptr;
PyObject* s_atomic_counter = nullptr;
PyObject* s_atomic_available = nullptr;

PyTypeObject* counter_type = nullptr;
const KestrunAtomicCounterOps* counter_ops = nullptr;

namespace {

PyObject* s_time = nullptr;
PyObject* s_sleep = nullptr;
PyObject* sleep_interval = nullptr;  // 0.0001

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
        {&s_time, "time"},
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
    if (PyModule_AddObjectRef(module, "AtomicCounter", counter ? counter.get() : Py_None) < 0 ||
        PyModule_AddObjectRef(module, "ATOMIC_AVAILABLE", counter ? Py_True : Py_False) < 0)
        return false;
    // The native table, once per process.  Without it (a counter module
    // that does not publish one) every counter is driven through its methods.
    if (counter && !counter_ops) {
        PyTypeObject* type;
        const KestrunAtomicCounterOps* ops;
        if (Kestrun_ImportAtomicCounter(&type, &ops) < 0) {
            if (PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
            PyErr_Clear();
        } else {
            counter_type = type;  // keeps the new reference for the process
            counter_ops = ops;
        }
    }
    return true;
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

// _set_huge_page_refusal(refuse): pool chunks mapped from now on are used
// as if the system refused huge pages; returns the previous setting.  For
// tests of that fallback.
constexpr kn::Signature<1> kSetHugePageRefusalSig{"_set_huge_page_refusal", {"refuse"}, 1};

PyObject* set_huge_page_refusal(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    std::array<PyObject*, 1> a;
    if (!kn::bind(kSetHugePageRefusalSig, args, nargs, kwnames, a)) return nullptr;
    const int refuse = PyObject_IsTrue(a[0]);
    if (refuse < 0) return nullptr;
    return PyBool_FromLong(refuse_huge_pages.exchange(refuse != 0));
}

PyMethodDef module_functions[] = {
    kn::def<set_reader_pause>(
        "_set_reader_pause",
        "_set_reader_pause($module, /, microseconds)\n--\n\n"
        "Test hook: lock-free readers wait this long after their first step."),
    kn::def<set_huge_page_refusal>(
        "_set_huge_page_refusal",
        "_set_huge_page_refusal($module, /, refuse)\n--\n\n"
        "Test hook: new pool chunks are used as if huge pages were refused."),
    kn::kEndOfMethods,
};

int spanwood_exec(PyObject* module) {
    if (!globals.bind(module)) return -1;
    kn::Ref threading = kn::Ref::steal(PyImport_ImportModule("threading"));
    if (!threading || !intern_names() ||
        PyModule_AddObjectRef(module, "threading", threading.get()) < 0 ||
        !kn::bind_import(module, "time") || !kn::bind_import(module, "math") ||
        !kn::bind_from(module, "typing", {"List", "Optional", "Tuple", "Dict", "Any"}) ||
        !kn::bind_from(module, "kestrun.memory.span_record", {"SpanRecord"}) ||
        !bind_atomic_counter(module) || !ready_tree_type() || !kn::install_fork_hooks() ||
        !kn::add_functions(module, module_functions) ||
        PyModule_AddIntConstant(module, "_POOL_TRACE_DOMAIN", kPoolTraceDomain) < 0)
        return -1;
    return PyModule_AddObjectRef(module, "FastRedBlackTree",
                                 reinterpret_cast<PyObject*>(&TreeType));
}

}  // namespace

// ---------------------------------------------------------------- shared helpers

bool short_sleep() {
    kn::Ref time = globals.get(s_time);
    if (!time) return false;
    PyObject* args[] = {time.get(), sleep_interval};
    kn::Ref r = kn::Ref::steal(
        PyObject_VectorcallMethod(s_sleep, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    return static_cast<bool>(r);
}

}  // namespace spanwood

KN_DEFINE_MODULE(
    spanwood, spanwood::frame,
    "The free-block tree: free memory blocks keyed by size in a native red-black tree,\n"
    "with best-fit search and lock-free readers.",
    spanwood::spanwood_exec)
