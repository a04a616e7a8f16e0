// kestrun.memory.spanwood: the free-block tree of the package's allocator.
//
//   FastRedBlackTree  free memory blocks keyed by size in a native red-black
//                     tree, with same-size lists, best-fit search and
//                     removal, writers serialised by a lock and lock-free
//                     readers validated by a sequence counter
//
// This file holds the module's set-up, its globals, AtomicCounter's native
// table and the clock helpers the tree uses.  The module does not log.
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
PyObject* s_perf_counter_ns = nullptr;
PyObject* sleep_interval = nullptr;           // 0.0001
PyObject* genuine_perf_counter_ns = nullptr;  // time.perf_counter_ns, for the process

// Whether the module global `time` or the attribute `perf_counter_ns` of
// the module it names may have been replaced.  While it is false the node
// stamp needs no look-up at all: a dict watcher on both dicts sets it before
// either name is bound again or deleted, or either dict cleared.  With the
// interpreter lock a stamp that finds both genuine again clears it; without
// it the flag stays set.  It stays set where watchers are missing (before
// 3.12) or all taken.
std::atomic<bool> clock_maybe_replaced{true};
// spanwood's dict and the time module's (borrowed: the modules live on).
[[maybe_unused]] PyObject* watched_globals = nullptr;
[[maybe_unused]] PyObject* watched_time = nullptr;

// The genuine clock function is `time.perf_counter_ns` of the genuine time
// module named by the global `time`; 1 when both hold, 0 when not, -1 on
// error.  Reading the two dicts runs no Python code.
int clock_is_genuine(PyObject** time_dict) {
    kn::Ref time = globals.get(s_time);
    if (!time) return -1;
    if (!PyModule_CheckExact(time.get())) return 0;
    *time_dict = PyModule_GetDict(time.get());
    PyObject* fn = nullptr;
    const int found = PyDict_GetItemRef(*time_dict, s_perf_counter_ns, &fn);
    Py_XDECREF(fn);  // only its identity is compared
    if (found < 0) return -1;
    return fn == genuine_perf_counter_ns;
}

#if PY_VERSION_HEX >= 0x030C0000
int clock_watcher = -1;

// Runs before the change.  An event without a key (cleared, copied over,
// freed), or one for a key that is not a plain str, may concern the name.
int on_clock_dict_event(PyDict_WatchEvent, PyObject* dict, PyObject* key, PyObject*) {
    PyObject* name = dict == watched_time      ? s_perf_counter_ns
                     : dict == watched_globals ? s_time
                                               : nullptr;
    if (!name) return 0;  // a dict left from an earlier set-up
    if (!key || !PyUnicode_CheckExact(key) || PyUnicode_Compare(key, name) == 0)
        clock_maybe_replaced.store(true);
    return 0;
}

// Watches the two dicts once set-up has bound `time`; without a watcher the
// flag stays set and every stamp looks the names up.
bool watch_clock(PyObject* module) {
    PyObject* time_dict = nullptr;
    const int genuine = clock_is_genuine(&time_dict);
    if (genuine < 0) return false;
    if (!genuine) return true;
    if (clock_watcher < 0 && (clock_watcher = PyDict_AddWatcher(on_clock_dict_event)) < 0) {
        PyErr_Clear();  // every watcher taken
        return true;
    }
    PyObject* module_dict = PyModule_GetDict(module);
    watched_globals = module_dict;
    watched_time = time_dict;
    if (PyDict_Watch(clock_watcher, module_dict) < 0 || PyDict_Watch(clock_watcher, time_dict) < 0)
        return false;
    clock_maybe_replaced.store(false);
    return true;
}
#else
bool watch_clock(PyObject*) { return true; }
#endif

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
        {&s_perf_counter_ns, "perf_counter_ns"},
        {&s_atomic_counter, "AtomicCounter"},
        {&s_atomic_available, "ATOMIC_AVAILABLE"},
    };
    for (auto& n : names)
        if (!kn::create_once(*n.slot, [&n] { return PyUnicode_InternFromString(n.text); }))
            return false;
    return kn::create_once(sleep_interval, [] { return PyFloat_FromDouble(0.0001); }) &&
           kn::create_once(genuine_perf_counter_ns, [] {
               kn::Ref time = kn::Ref::steal(PyImport_ImportModule("time"));
               return time ? PyObject_GetAttr(time.get(), s_perf_counter_ns) : nullptr;
           });
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

PyMethodDef module_functions[] = {
    kn::def<set_reader_pause>(
        "_set_reader_pause",
        "_set_reader_pause($module, /, microseconds)\n--\n\n"
        "Test hook: lock-free readers wait this long after their first step."),
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
        !kn::add_functions(module, module_functions) || !watch_clock(module))
        return -1;
    return PyModule_AddObjectRef(module, "FastRedBlackTree",
                                 reinterpret_cast<PyObject*>(&TreeType));
}

}  // namespace

// ---------------------------------------------------------------- shared helpers

bool perf_counter_ns(uint64_t* out) {
    *out = 0;
    if (!clock_maybe_replaced.load(std::memory_order_relaxed)) return true;
    PyObject* time_dict = nullptr;
    const int genuine = clock_is_genuine(&time_dict);
    if (genuine < 0) return false;
    if (!genuine) return globals.perf_counter_ns(out);
#if PY_VERSION_HEX >= 0x030C0000 && !defined(Py_GIL_DISABLED)
    // Both names are genuine again and nothing could change them since they
    // were read (the watcher runs, with the interpreter lock, before a change).
    if (clock_watcher >= 0 && time_dict == watched_time) clock_maybe_replaced.store(false);
#endif
    return true;
}

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
