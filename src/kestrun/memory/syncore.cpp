// kestrun.memory.syncore: lock-free atomic primitives.
//
//   AtomicCounter         signed 64-bit counter; every change is one
//                         sequentially consistent atomic instruction, done
//                         with the interpreter lock released; a native
//                         operation table for other extension modules
//   AtomicCounterWrapper  plain Python class forwarding to an AtomicCounter
//   AtomicPointer         versioned object slot with identity CAS
//   LockFreeStack         LIFO of objects in native nodes, atomic size
//   LockFreeStatistics    allocation counters with peaks and snapshots
//   PerformanceTimer      nanosecond stopwatch over time.perf_counter_ns
#include "kestrun_native.hpp"
#include "kestrun/syncore.h"

#include <atomic>
#include <cstdint>
#include <new>

namespace {

kn::ModuleFrame frame{"syncore", "kestrun.memory.syncore"};

// The module's globals, looked up at call time for `threading` and `time`
// as the Python code of the package would.  The module lives for the rest of
// the process (it cannot be initialised twice), so a strong reference here
// is never released.
PyObject* g_globals = nullptr;

// Interned method names used on the slow paths.
PyObject* s_increment = nullptr;
PyObject* s_decrement = nullptr;
PyObject* s_load = nullptr;
PyObject* s_store = nullptr;
PyObject* s_compare_and_swap = nullptr;
PyObject* s_update_peaks = nullptr;
PyObject* s_elapsed_ns = nullptr;

PyObject* module_global(const char* name) {  // borrowed
    PyObject* v = PyDict_GetItemString(g_globals, name);
    if (!v) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    return v;
}

// A new threading.Lock, through the module global `threading`.
PyObject* new_lock() {
    PyObject* threading = module_global("threading");
    if (!threading) return nullptr;
    return PyObject_CallMethod(threading, "Lock", nullptr);
}

// Calls a no-argument method of the threading.Lock type.  The instances'
// locks are always of that type, so the method's C function is fetched from
// the type once at import and called directly, skipping the attribute lookup
// of a Python-level call; any other object gets an ordinary method call.
struct LockMethod {
    PyObject* name = nullptr;  // interned
    PyCFunction fn = nullptr;
    int flags = 0;
};
PyTypeObject* g_lock_type = nullptr;
LockMethod g_acquire, g_release;

bool resolve_lock_method(LockMethod& m, const char* name) {
    if (!(m.name = PyUnicode_InternFromString(name))) return false;
    PyObject* descr = PyDict_GetItemWithError(g_lock_type->tp_dict, m.name);
    if (descr && Py_IS_TYPE(descr, &PyMethodDescr_Type)) {
        PyMethodDef* def = reinterpret_cast<PyMethodDescrObject*>(descr)->d_method;
        m.fn = def->ml_meth;
        m.flags = def->ml_flags & ~METH_COEXIST;
    }
    return !PyErr_Occurred();
}

bool resolve_lock_type() {
    kn::Ref lock = kn::Ref::steal(new_lock());
    if (!lock) return false;
    g_lock_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(Py_TYPE(lock.get())));
    return resolve_lock_method(g_acquire, "acquire") && resolve_lock_method(g_release, "release");
}

PyObject* call_lock_method(const LockMethod& m, PyObject* lock) {
    if (m.fn && Py_IS_TYPE(lock, g_lock_type)) {
        switch (m.flags) {
        case METH_NOARGS:
            return m.fn(lock, nullptr);
        case METH_VARARGS | METH_KEYWORDS:
            return reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void (*)(void)>(m.fn))(
                lock, kn::empty_tuple(), nullptr);
        case METH_FASTCALL | METH_KEYWORDS:
            return reinterpret_cast<PyCFunctionFastWithKeywords>(reinterpret_cast<void (*)(void)>(m.fn))(
                lock, nullptr, 0, nullptr);
        case METH_FASTCALL:
            return reinterpret_cast<PyCFunctionFast>(reinterpret_cast<void (*)(void)>(m.fn))(lock, nullptr, 0);
        default:
            break;
        }
    }
    PyObject* args[] = {lock};
    return PyObject_VectorcallMethod(m.name, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// Holds an instance's threading.Lock for a scope.  A lock cleared to None
// by the garbage collector is skipped: nothing else can reach the object
// then, and the interpreter lock is held throughout every critical section.
class LockGuard {
public:
    explicit LockGuard(PyObject* lock) : lock_(lock == Py_None ? nullptr : lock) {
        if (!lock_) return;
        Py_INCREF(lock_);
        PyObject* r = call_lock_method(g_acquire, lock_);
        if (!r) {
            Py_CLEAR(lock_);
            ok_ = false;
            return;
        }
        Py_DECREF(r);
    }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;
    ~LockGuard() {
        if (!lock_) return;
        // Releasing a lock we hold cannot fail; keep any pending error.
        {
            kn::ErrorStash stash;
            PyObject* r = call_lock_method(g_release, lock_);
            if (r) Py_DECREF(r); else PyErr_WriteUnraisable(lock_);
        }
        Py_DECREF(lock_);
    }
    bool ok() const { return ok_; }

private:
    PyObject* lock_;
    bool ok_ = true;
};

// ---------------------------------------------------------------- AtomicCounter

struct CounterObject {
    PyObject_HEAD
    const KestrunAtomicCounterOps* ops;
    std::atomic<int64_t> value;
};

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

// std::atomic fetch_add on signed integers is defined to wrap.
int64_t c_load(PyObject* self) { return counter_value(self).load(); }
void c_store(PyObject* self, int64_t v) { counter_value(self).store(v); }
int64_t c_increment(PyObject* self, const int64_t* delta) {
    int64_t d = delta ? *delta : 1;
    return wrap_add(counter_value(self).fetch_add(d), d);
}
int64_t c_decrement(PyObject* self, const int64_t* delta) {
    int64_t d = delta ? *delta : 1;
    return wrap_sub(counter_value(self).fetch_sub(d), d);
}
int c_compare_and_swap(PyObject* self, int64_t expected, int64_t new_value) {
    return counter_value(self).compare_exchange_strong(expected, new_value) ? 1 : 0;
}
int64_t c_fetch_and_add(PyObject* self, int64_t delta) { return counter_value(self).fetch_add(delta); }

const KestrunAtomicCounterOps counter_ops = {
    c_load, c_store, c_increment, c_decrement, c_compare_and_swap, c_fetch_and_add,
};

PyTypeObject CounterType;

constexpr kn::Signature<1> kCounterNew{"AtomicCounter", {"initial_value"}, 0};

PyObject* counter_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    std::array<PyObject*, 1> a;
    if (!kn::bind_tuple(kCounterNew, args, kwds, a)) return nullptr;
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

// Python face: convert, release the interpreter lock, one atomic step,
// re-acquire, build the result.

PyObject* counter_load(PyObject* self, PyObject*) {
    int64_t v;
    Py_BEGIN_ALLOW_THREADS
    v = c_load(self);
    Py_END_ALLOW_THREADS
    return PyLong_FromLongLong(v);
}

constexpr kn::Signature<1> kStore{"store", {"value"}, 1};
PyObject* counter_store(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> a;
    int64_t v;
    if (!kn::bind(kStore, args, nargs, kwnames, a) || !kn::to_int64(a[0], &v)) return nullptr;
    Py_BEGIN_ALLOW_THREADS
    c_store(self, v);
    Py_END_ALLOW_THREADS
    return kn::none();
}

// Optional delta (default 1) for increment and decrement.
inline bool optional_delta(const kn::Signature<1>& sig, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, int64_t* delta) {
    *delta = 1;
    if (nargs == 0 && !kwnames) return true;
    std::array<PyObject*, 1> a;
    if (!kn::bind(sig, args, nargs, kwnames, a)) return false;
    return !a[0] || kn::to_int64(a[0], delta);
}

constexpr kn::Signature<1> kIncrement{"increment", {"delta"}, 0};
PyObject* counter_increment(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    int64_t d, r;
    if (!optional_delta(kIncrement, args, nargs, kwnames, &d)) return nullptr;
    Py_BEGIN_ALLOW_THREADS
    r = c_increment(self, &d);
    Py_END_ALLOW_THREADS
    return PyLong_FromLongLong(r);
}

constexpr kn::Signature<1> kDecrement{"decrement", {"delta"}, 0};
PyObject* counter_decrement(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    int64_t d, r;
    if (!optional_delta(kDecrement, args, nargs, kwnames, &d)) return nullptr;
    Py_BEGIN_ALLOW_THREADS
    r = c_decrement(self, &d);
    Py_END_ALLOW_THREADS
    return PyLong_FromLongLong(r);
}

constexpr kn::Signature<2> kCounterCas{"compare_and_swap", {"expected", "new_value"}, 2};
PyObject* counter_compare_and_swap(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    std::array<PyObject*, 2> a;
    int64_t expected, desired;
    if (!kn::bind(kCounterCas, args, nargs, kwnames, a) || !kn::to_int64(a[0], &expected) ||
        !kn::to_int64(a[1], &desired))
        return nullptr;
    int ok;
    Py_BEGIN_ALLOW_THREADS
    ok = c_compare_and_swap(self, expected, desired);
    Py_END_ALLOW_THREADS
    return kn::boolean(ok);
}

constexpr kn::Signature<1> kFetchAndAdd{"fetch_and_add", {"delta"}, 1};
PyObject* counter_fetch_and_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> a;
    int64_t d, r;
    if (!kn::bind(kFetchAndAdd, args, nargs, kwnames, a) || !kn::to_int64(a[0], &d)) return nullptr;
    Py_BEGIN_ALLOW_THREADS
    r = c_fetch_and_add(self, d);
    Py_END_ALLOW_THREADS
    return PyLong_FromLongLong(r);
}


PyMethodDef counter_methods[] = {
    {"load", counter_load, METH_NOARGS, "load($self, /)\n--\n\nThe current value."},
    {"store", kn::fastcall(counter_store), kn::kFastcallKw, "store($self, /, value)\n--\n\nSets the value."},
    {"increment", kn::fastcall(counter_increment), kn::kFastcallKw,
     "increment($self, /, delta=1)\n--\n\nAdds delta (wrapping at 64 bits); returns the new value."},
    {"decrement", kn::fastcall(counter_decrement), kn::kFastcallKw,
     "decrement($self, /, delta=1)\n--\n\nSubtracts delta (wrapping at 64 bits); returns the new value."},
    {"compare_and_swap", kn::fastcall(counter_compare_and_swap), kn::kFastcallKw,
     "compare_and_swap($self, /, expected, new_value)\n--\n\n"
     "Sets new_value if the value equals expected; returns whether it did."},
    {"fetch_and_add", kn::fastcall(counter_fetch_and_add), kn::kFastcallKw,
     "fetch_and_add($self, /, delta)\n--\n\nAdds delta; returns the value before the addition."},
    KN_NO_PICKLE,
    {nullptr, nullptr, 0, nullptr},
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

// Fast paths used by LockFreeStatistics: an exact AtomicCounter is driven
// through its native table; anything else (a subclass, a replacement
// object, None) gets its Python method called.
inline bool is_exact_counter(PyObject* o) { return Py_IS_TYPE(o, &CounterType); }

PyObject* call_method(PyObject* name, PyObject* self, PyObject* arg1 = nullptr, PyObject* arg2 = nullptr) {
    PyObject* args[] = {self, arg1, arg2};
    size_t n = arg2 ? 3 : arg1 ? 2 : 1;
    return PyObject_VectorcallMethod(name, args, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// counter.increment(delta) / counter.decrement(delta); delta nullptr means
// the method's default.  Returns false with an exception set.
bool counter_add(PyObject* counter, PyObject* name, bool negate, PyObject* delta) {
    if (is_exact_counter(counter)) {
        int64_t d = 1;
        if (delta && !kn::to_int64(delta, &d)) return false;
        if (negate) c_decrement(counter, &d); else c_increment(counter, &d);
        return true;
    }
    kn::Ref r = kn::Ref::steal(call_method(name, counter, delta));
    return static_cast<bool>(r);
}

bool counter_add_i64(PyObject* counter, PyObject* name, bool negate, int64_t delta) {
    if (is_exact_counter(counter)) {
        if (negate) c_decrement(counter, &delta); else c_increment(counter, &delta);
        return true;
    }
    kn::Ref d = kn::Ref::steal(PyLong_FromLongLong(delta));
    return d && counter_add(counter, name, negate, d.get());
}

// counter.load() as a new reference.
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

// ---------------------------------------------------------------- AtomicPointer

struct PointerObject {
    PyObject_HEAD
    PyObject* obj;     // nullptr when empty; None is never stored
    uint64_t version;  // changed only under the lock
    PyObject* lock;
};

PyTypeObject PointerType;

constexpr kn::Signature<1> kPointerNew{"AtomicPointer", {"initial_value"}, 0};

PyObject* pointer_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    std::array<PyObject*, 1> a;
    if (!kn::bind_tuple(kPointerNew, args, kwds, a)) return nullptr;
    kn::Ref lock = kn::Ref::steal(new_lock());
    if (!lock) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    auto* p = reinterpret_cast<PointerObject*>(self);
    p->obj = (a[0] && a[0] != Py_None) ? Py_NewRef(a[0]) : nullptr;
    p->version = 0;
    p->lock = lock.release();
    return self;
}

// The stored object is reported to the collector as well as the lock, so a
// reference cycle that runs through the slot can be collected.
int pointer_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* p = reinterpret_cast<PointerObject*>(self);
    Py_VISIT(p->obj);
    Py_VISIT(p->lock);
    return 0;
}

int pointer_clear(PyObject* self) {
    auto* p = reinterpret_cast<PointerObject*>(self);
    Py_CLEAR(p->obj);
    Py_SETREF(p->lock, Py_NewRef(Py_None));
    return 0;
}

void pointer_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    auto* p = reinterpret_cast<PointerObject*>(self);
    Py_CLEAR(p->obj);
    Py_CLEAR(p->lock);
    Py_TYPE(self)->tp_free(self);
}

PyObject* pointer_load(PyObject* self, PyObject*) {
    auto* p = reinterpret_cast<PointerObject*>(self);
    LockGuard guard(p->lock);
    if (!guard.ok()) return nullptr;
    return Py_NewRef(p->obj ? p->obj : Py_None);
}

PyObject* pointer_get_version(PyObject* self, PyObject*) {
    auto* p = reinterpret_cast<PointerObject*>(self);
    uint64_t v;
    {
        LockGuard guard(p->lock);
        if (!guard.ok()) return nullptr;
        v = p->version;
    }
    return PyLong_FromUnsignedLongLong(v);
}

constexpr kn::Signature<1> kPointerStore{"store", {"value"}, 1};
PyObject* pointer_store(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> a;
    if (!kn::bind(kPointerStore, args, nargs, kwnames, a)) return nullptr;
    auto* p = reinterpret_cast<PointerObject*>(self);
    PyObject* incoming = a[0] == Py_None ? nullptr : Py_NewRef(a[0]);
    PyObject* old;
    {
        LockGuard guard(p->lock);
        if (!guard.ok()) {
            Py_XDECREF(incoming);
            return nullptr;
        }
        old = p->obj;
        p->obj = incoming;
        ++p->version;
    }
    Py_XDECREF(old);  // outside the lock: a finaliser may run here
    return kn::none();
}

constexpr kn::Signature<2> kPointerCas{"compare_and_swap", {"expected", "new_value"}, 2};
PyObject* pointer_compare_and_swap(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    std::array<PyObject*, 2> a;
    if (!kn::bind(kPointerCas, args, nargs, kwnames, a)) return nullptr;
    auto* p = reinterpret_cast<PointerObject*>(self);
    PyObject* expected = a[0] == Py_None ? nullptr : a[0];
    PyObject* incoming = a[1] == Py_None ? nullptr : Py_NewRef(a[1]);
    PyObject* drop;  // the reference to release after the lock
    bool swapped;
    {
        LockGuard guard(p->lock);
        if (!guard.ok()) {
            Py_XDECREF(incoming);
            return nullptr;
        }
        swapped = p->obj == expected;
        if (swapped) {
            drop = p->obj;
            p->obj = incoming;
            ++p->version;
        } else {
            drop = incoming;
        }
    }
    Py_XDECREF(drop);
    return kn::boolean(swapped);
}

PyMethodDef pointer_methods[] = {
    {"load", pointer_load, METH_NOARGS, "load($self, /)\n--\n\nThe stored object, or None when empty."},
    {"store", kn::fastcall(pointer_store), kn::kFastcallKw,
     "store($self, /, value)\n--\n\nStores value (None empties the slot); the version grows by one."},
    {"compare_and_swap", kn::fastcall(pointer_compare_and_swap), kn::kFastcallKw,
     "compare_and_swap($self, /, expected, new_value)\n--\n\n"
     "Stores new_value if the slot holds the very object expected (None: empty)."},
    {"get_version", pointer_get_version, METH_NOARGS,
     "get_version($self, /)\n--\n\nNumber of changes so far."},
    KN_NO_PICKLE,
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------- LockFreeStack

struct StackNode {
    PyObject* item;  // strong reference, None included
    StackNode* next;
};

struct StackObject {
    PyObject_HEAD
    StackNode* head;
    std::atomic<int64_t> size;
    PyObject* lock;
};

PyTypeObject StackType;

PyObject* stack_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    if (PyTuple_GET_SIZE(args) || (kwds && PyDict_GET_SIZE(kwds))) {
        PyErr_Format(PyExc_TypeError, "LockFreeStack() takes no arguments");
        return nullptr;
    }
    kn::Ref lock = kn::Ref::steal(new_lock());
    if (!lock) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    auto* s = reinterpret_cast<StackObject*>(self);
    s->head = nullptr;
    s->size.store(0, std::memory_order_relaxed);
    s->lock = lock.release();
    return self;
}

// Frees a detached chain of nodes, releasing each item once.
void free_chain(StackNode* node) {
    while (node) {
        StackNode* next = node->next;
        Py_DECREF(node->item);
        PyMem_Free(node);
        node = next;
    }
}

// Items held by the nodes are reported to the collector, so a reference
// cycle through the stack can be collected.
int stack_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* s = reinterpret_cast<StackObject*>(self);
    for (StackNode* n = s->head; n; n = n->next) Py_VISIT(n->item);
    Py_VISIT(s->lock);
    return 0;
}

int stack_clear(PyObject* self) {
    auto* s = reinterpret_cast<StackObject*>(self);
    StackNode* chain = s->head;
    s->head = nullptr;
    s->size.store(0);
    Py_SETREF(s->lock, Py_NewRef(Py_None));
    free_chain(chain);
    return 0;
}

void stack_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    auto* s = reinterpret_cast<StackObject*>(self);
    StackNode* chain = s->head;
    s->head = nullptr;
    free_chain(chain);
    Py_CLEAR(s->lock);
    Py_TYPE(self)->tp_free(self);
}

constexpr kn::Signature<1> kPush{"push", {"item"}, 1};
PyObject* stack_push(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> a;
    if (!kn::bind(kPush, args, nargs, kwnames, a)) return nullptr;
    auto* s = reinterpret_cast<StackObject*>(self);
    auto* node = static_cast<StackNode*>(PyMem_Malloc(sizeof(StackNode)));
    if (!node) {
        PyErr_SetString(PyExc_MemoryError, "Failed to allocate stack node");
        return nullptr;
    }
    node->item = Py_NewRef(a[0]);
    {
        LockGuard guard(s->lock);
        if (!guard.ok()) {
            free_chain((node->next = nullptr, node));
            return nullptr;
        }
        node->next = s->head;
        s->head = node;
        s->size.fetch_add(1);
    }
    return kn::none();
}

PyObject* stack_pop(PyObject* self, PyObject*) {
    auto* s = reinterpret_cast<StackObject*>(self);
    StackNode* node;
    {
        LockGuard guard(s->lock);
        if (!guard.ok()) return nullptr;
        node = s->head;
        if (!node) return kn::none();
        s->head = node->next;
        s->size.fetch_sub(1);
    }
    PyObject* item = node->item;  // the node's reference passes to the caller
    PyMem_Free(node);
    return item;
}

PyObject* stack_is_empty(PyObject* self, PyObject*) {
    auto* s = reinterpret_cast<StackObject*>(self);
    bool empty;
    {
        LockGuard guard(s->lock);
        if (!guard.ok()) return nullptr;
        empty = s->head == nullptr;
    }
    return kn::boolean(empty);
}

PyObject* stack_size(PyObject* self, PyObject*) {
    return PyLong_FromLongLong(reinterpret_cast<StackObject*>(self)->size.load());
}

PyMethodDef stack_methods[] = {
    {"push", kn::fastcall(stack_push), kn::kFastcallKw, "push($self, /, item)\n--\n\nPuts item on top."},
    {"pop", stack_pop, METH_NOARGS, "pop($self, /)\n--\n\nRemoves and returns the top item, or None when empty."},
    {"is_empty", stack_is_empty, METH_NOARGS, "is_empty($self, /)\n--\n\nWhether the stack holds no item."},
    {"size", stack_size, METH_NOARGS, "size($self, /)\n--\n\nNumber of items, read without the lock."},
    KN_NO_PICKLE,
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------- LockFreeStatistics

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
    "total_allocations",    "total_deallocations",     "current_allocations",
    "bytes_allocated",      "bytes_reserved",          "peak_allocations",
    "peak_bytes_allocated", "bucketed_allocations",    "fallback_allocations",
    "alignment_padding_bytes", "total_allocation_time_ns", "total_deallocation_time_ns",
};

struct StatsObject {
    PyObject_HEAD
    const KestrunStatisticsOps* ops;
    std::atomic<int64_t> mirror[STAT_COUNT];  // native counters of the legacy methods
    PyObject* lock;                           // used only by reset()
    PyObject* counters[STAT_COUNT];           // the public AtomicCounter attributes
};

inline StatsObject* stats(PyObject* self) { return reinterpret_cast<StatsObject*>(self); }

// Raises an atomic peak to at least `value`; stops as soon as the stored
// peak is already greater or equal.
void raise_peak(std::atomic<int64_t>& peak, int64_t value) {
    int64_t seen = peak.load();
    while (seen < value && !peak.compare_exchange_weak(seen, value)) {
    }
}

void c_update_peak_allocations(PyObject* self, int64_t value) {
    raise_peak(stats(self)->mirror[PEAK_ALLOCATIONS], value);
}
void c_update_peak_bytes(PyObject* self, int64_t value) {
    raise_peak(stats(self)->mirror[PEAK_BYTES_ALLOCATED], value);
}

const KestrunStatisticsOps stats_ops = {c_update_peak_allocations, c_update_peak_bytes};

PyTypeObject StatsType;

PyObject* stats_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    if (PyTuple_GET_SIZE(args) || (kwds && PyDict_GET_SIZE(kwds))) {
        PyErr_Format(PyExc_TypeError, "LockFreeStatistics() takes no arguments");
        return nullptr;
    }
    kn::Ref self = kn::Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    StatsObject* s = stats(self.get());
    s->ops = &stats_ops;
    for (auto& m : s->mirror) m.store(0, std::memory_order_relaxed);
    for (auto& c : s->counters) c = nullptr;
    s->lock = new_lock();
    if (!s->lock) return nullptr;
    for (auto& c : s->counters) {
        c = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&CounterType));
        if (!c) return nullptr;
    }
    return self.release();
}

int stats_traverse(PyObject* self, visitproc visit, void* arg) {
    StatsObject* s = stats(self);
    Py_VISIT(s->lock);
    for (PyObject* c : s->counters) Py_VISIT(c);
    return 0;
}

int stats_clear(PyObject* self) {
    StatsObject* s = stats(self);
    Py_CLEAR(s->lock);
    for (auto& c : s->counters) Py_CLEAR(c);
    return 0;
}

void stats_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    stats_clear(self);
    Py_TYPE(self)->tp_free(self);
}

// The public counters: any object may be assigned; deleting sets None.
PyObject* stats_get_counter(PyObject* self, void* closure) {
    PyObject* c = stats(self)->counters[reinterpret_cast<intptr_t>(closure)];
    return Py_NewRef(c ? c : Py_None);
}

int stats_set_counter(PyObject* self, PyObject* value, void* closure) {
    Py_XSETREF(stats(self)->counters[reinterpret_cast<intptr_t>(closure)], Py_NewRef(value ? value : Py_None));
    return 0;
}

// A counter attribute as a strong reference (None when unset).  Strong,
// because a counter's Python method may release the interpreter lock, and
// another thread may replace the attribute and free the old counter then.
inline kn::Ref counter_at(PyObject* self, int i) {
    PyObject* c = stats(self)->counters[i];
    return kn::Ref::borrow(c ? c : Py_None);
}

// Sign of a Python int without overflow: -1, 0 or 1; -2 with an exception.
int int_sign(PyObject* n) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(n, &overflow);
    if (v == -1 && PyErr_Occurred()) return -2;
    if (overflow) return overflow;
    return (v > 0) - (v < 0);
}

// One peak loop over public counters:
//   p = peak.load(); stop if value <= p; stop if peak.compare_and_swap(p, value)
bool update_peak(PyObject* peak, PyObject* value) {
    if (is_exact_counter(peak)) {
        int64_t v;
        if (!kn::to_int64(value, &v)) return false;
        raise_peak(counter_value(peak), v);
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

constexpr kn::Signature<2> kUpdatePeaks{"_update_peaks", {"current_allocs", "current_bytes"}, 2};
PyObject* stats_update_peaks(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> a;
    if (!kn::bind(kUpdatePeaks, args, nargs, kwnames, a)) return nullptr;
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
        PyObject* peak_allocs = stats(self)->counters[PEAK_ALLOCATIONS];
        PyObject* peak_bytes = stats(self)->counters[PEAK_BYTES_ALLOCATED];
        // Native steps only from here on: nothing can replace the counters.
        if (peak_allocs && peak_bytes && is_exact_counter(peak_allocs) && is_exact_counter(peak_bytes)) {
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

constexpr kn::Signature<4> kRecordAllocation{
    "record_allocation", {"size", "is_bucketed", "padding", "time_ns"}, 1};
PyObject* stats_record_allocation(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    std::array<PyObject*, 4> a;
    if (!kn::bind(kRecordAllocation, args, nargs, kwnames, a)) return nullptr;
    kn::Ref size = kn::int_arg(a[0], "size");
    if (!size) return nullptr;
    bool bucketed = true;
    if (a[1] && !kn::to_truth(a[1], &bucketed)) return nullptr;
    kn::Ref padding, time_ns;
    if (a[2] && !(padding = kn::int_arg(a[2], "padding"))) return nullptr;
    if (a[3] && !(time_ns = kn::int_arg(a[3], "time_ns"))) return nullptr;
    int padding_sign = padding ? int_sign(padding.get()) : 0;
    int time_sign = time_ns ? int_sign(time_ns.get()) : 0;
    if (padding_sign == -2 || time_sign == -2) return nullptr;

    if (!counter_add(counter_at(self, TOTAL_ALLOCATIONS).get(), s_increment, false, nullptr) ||
        !counter_add(counter_at(self, CURRENT_ALLOCATIONS).get(), s_increment, false, nullptr) ||
        !counter_add(counter_at(self, BYTES_ALLOCATED).get(), s_increment, false, size.get()) ||
        !counter_add(counter_at(self, bucketed ? BUCKETED_ALLOCATIONS : FALLBACK_ALLOCATIONS).get(), s_increment,
                     false, nullptr) ||
        (padding_sign > 0 &&
         !counter_add(counter_at(self, ALIGNMENT_PADDING_BYTES).get(), s_increment, false, padding.get())) ||
        (time_sign > 0 &&
         !counter_add(counter_at(self, TOTAL_ALLOCATION_TIME_NS).get(), s_increment, false, time_ns.get())) ||
        !call_update_peaks(self))
        return nullptr;
    return kn::none();
}

constexpr kn::Signature<2> kRecordDeallocation{"record_deallocation", {"size", "time_ns"}, 1};
PyObject* stats_record_deallocation(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    std::array<PyObject*, 2> a;
    if (!kn::bind(kRecordDeallocation, args, nargs, kwnames, a)) return nullptr;
    kn::Ref size = kn::int_arg(a[0], "size");
    if (!size) return nullptr;
    kn::Ref time_ns;
    if (a[1] && !(time_ns = kn::int_arg(a[1], "time_ns"))) return nullptr;
    int time_sign = time_ns ? int_sign(time_ns.get()) : 0;
    if (time_sign == -2) return nullptr;
    if (!counter_add(counter_at(self, TOTAL_DEALLOCATIONS).get(), s_increment, false, nullptr) ||
        !counter_add(counter_at(self, CURRENT_ALLOCATIONS).get(), s_decrement, true, nullptr) ||
        !counter_add(counter_at(self, BYTES_ALLOCATED).get(), s_decrement, true, size.get()) ||
        (time_sign > 0 &&
         !counter_add(counter_at(self, TOTAL_DEALLOCATION_TIME_NS).get(), s_increment, false, time_ns.get())))
        return nullptr;
    return kn::none();
}

// The legacy recorders keep the native mirror (with the interpreter lock
// released) and the three basic public counters.
constexpr kn::Signature<4> kPyRecordAllocation{
    "py_record_allocation", {"size", "is_bucketed", "padding", "time_ns"}, 2};
PyObject* stats_py_record_allocation(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
    std::array<PyObject*, 4> a;
    if (!kn::bind(kPyRecordAllocation, args, nargs, kwnames, a)) return nullptr;
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
    if (!counter_add(counter_at(self, TOTAL_ALLOCATIONS).get(), s_increment, false, nullptr) ||
        !counter_add(counter_at(self, CURRENT_ALLOCATIONS).get(), s_increment, false, nullptr) ||
        !counter_add_i64(counter_at(self, BYTES_ALLOCATED).get(), s_increment, false, size))
        return nullptr;
    return kn::none();
}

constexpr kn::Signature<2> kPyRecordDeallocation{"py_record_deallocation", {"size", "time_ns"}, 1};
PyObject* stats_py_record_deallocation(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    std::array<PyObject*, 2> a;
    if (!kn::bind(kPyRecordDeallocation, args, nargs, kwnames, a)) return nullptr;
    int64_t size, time_ns = 0;
    if (!kn::int_arg_int64(a[0], "size", &size) || (a[1] && !kn::int_arg_int64(a[1], "time_ns", &time_ns)))
        return nullptr;
    std::atomic<int64_t>* m = stats(self)->mirror;
    Py_BEGIN_ALLOW_THREADS
    m[TOTAL_DEALLOCATIONS].fetch_add(1);
    m[CURRENT_ALLOCATIONS].fetch_sub(1);
    m[BYTES_ALLOCATED].fetch_sub(size);
    if (time_ns > 0) m[TOTAL_DEALLOCATION_TIME_NS].fetch_add(time_ns);
    Py_END_ALLOW_THREADS
    if (!counter_add(counter_at(self, TOTAL_DEALLOCATIONS).get(), s_increment, false, nullptr) ||
        !counter_add(counter_at(self, CURRENT_ALLOCATIONS).get(), s_decrement, true, nullptr) ||
        !counter_add_i64(counter_at(self, BYTES_ALLOCATED).get(), s_decrement, true, size))
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
    kn::Ref ratio = kn::Ref::steal(ratio_or_zero(v[BUCKETED_ALLOCATIONS].get(), v[TOTAL_ALLOCATIONS].get()));
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
    kn::Ref avg_alloc =
        kn::Ref::steal(ratio_or_zero(v[TOTAL_ALLOCATION_TIME_NS].get(), v[TOTAL_ALLOCATIONS].get()));
    if (!avg_alloc) return nullptr;
    kn::Ref avg_dealloc =
        kn::Ref::steal(ratio_or_zero(v[TOTAL_DEALLOCATION_TIME_NS].get(), v[TOTAL_DEALLOCATIONS].get()));
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
    LockGuard guard(s->lock ? s->lock : Py_None);
    if (!guard.ok()) return nullptr;
    for (auto& m : s->mirror) m.store(0);
    for (int i = 0; i < STAT_COUNT; ++i)
        if (!counter_store_zero(counter_at(self, i).get())) return nullptr;
    return kn::none();
}

PyMethodDef stats_methods[] = {
    {"record_allocation", kn::fastcall(stats_record_allocation), kn::kFastcallKw,
     "record_allocation($self, /, size, is_bucketed=True, padding=0, time_ns=0)\n--\n\n"
     "Counts one allocation of size bytes."},
    {"record_deallocation", kn::fastcall(stats_record_deallocation), kn::kFastcallKw,
     "record_deallocation($self, /, size, time_ns=0)\n--\n\nCounts one deallocation of size bytes."},
    {"_update_peaks", kn::fastcall(stats_update_peaks), kn::kFastcallKw,
     "_update_peaks($self, /, current_allocs, current_bytes)\n--\n\n"
     "Raises the peak counters to at least the values given."},
    {"get_snapshot", stats_get_snapshot, METH_NOARGS,
     "get_snapshot($self, /)\n--\n\nAll counters and derived ratios as a new dictionary."},
    {"reset", stats_reset, METH_NOARGS, "reset($self, /)\n--\n\nSets every counter back to 0."},
    {"py_record_allocation", kn::fastcall(stats_py_record_allocation), kn::kFastcallKw,
     "py_record_allocation($self, /, size, is_bucketed, padding=0, time_ns=0)\n--\n\n"
     "Legacy recorder: also keeps the native counters."},
    {"py_record_deallocation", kn::fastcall(stats_py_record_deallocation), kn::kFastcallKw,
     "py_record_deallocation($self, /, size, time_ns=0)\n--\n\n"
     "Legacy recorder: also keeps the native counters."},
    KN_NO_PICKLE,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef stats_getset[STAT_COUNT + 1] = {};

// ---------------------------------------------------------------- PerformanceTimer

struct TimerObject {
    PyObject_HEAD
    int64_t start;
};

PyTypeObject TimerType;

PyObject* timer_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    if (PyTuple_GET_SIZE(args) || (kwds && PyDict_GET_SIZE(kwds))) {
        PyErr_Format(PyExc_TypeError, "PerformanceTimer() takes no arguments");
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self) reinterpret_cast<TimerObject*>(self)->start = 0;
    return self;
}

// time.perf_counter_ns() through the module global `time`.
PyObject* perf_counter_ns() {
    PyObject* time = module_global("time");
    return time ? PyObject_CallMethod(time, "perf_counter_ns", nullptr) : nullptr;
}

PyObject* timer_start(PyObject* self, PyObject*) {
    kn::Ref now = kn::Ref::steal(perf_counter_ns());
    int64_t v;
    if (!now || !kn::to_int64(now.get(), &v)) return nullptr;
    reinterpret_cast<TimerObject*>(self)->start = v;
    return kn::none();
}

PyObject* timer_elapsed_ns(PyObject* self, PyObject*) {
    kn::Ref now = kn::Ref::steal(perf_counter_ns());
    if (!now) return nullptr;
    kn::Ref start = kn::Ref::steal(PyLong_FromLongLong(reinterpret_cast<TimerObject*>(self)->start));
    if (!start) return nullptr;
    return PyNumber_Subtract(now.get(), start.get());
}

PyObject* elapsed_scaled(PyObject* self, double divisor) {
    kn::Ref ns = kn::Ref::steal(call_method(s_elapsed_ns, self));
    if (!ns) return nullptr;
    kn::Ref d = kn::Ref::steal(PyFloat_FromDouble(divisor));
    return d ? PyNumber_TrueDivide(ns.get(), d.get()) : nullptr;
}

PyObject* timer_elapsed_us(PyObject* self, PyObject*) { return elapsed_scaled(self, 1000.0); }
PyObject* timer_elapsed_ms(PyObject* self, PyObject*) { return elapsed_scaled(self, 1000000.0); }

PyMethodDef timer_methods[] = {
    {"start", timer_start, METH_NOARGS, "start($self, /)\n--\n\nStarts (or restarts) the stopwatch."},
    {"elapsed_ns", timer_elapsed_ns, METH_NOARGS, "elapsed_ns($self, /)\n--\n\nNanoseconds since start()."},
    {"elapsed_us", timer_elapsed_us, METH_NOARGS, "elapsed_us($self, /)\n--\n\nMicroseconds since start()."},
    {"elapsed_ms", timer_elapsed_ms, METH_NOARGS, "elapsed_ms($self, /)\n--\n\nMilliseconds since start()."},
    KN_NO_PICKLE,
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------- AtomicCounterWrapper

// The argument rule of the wrapper's int-annotated parameters, for its
// Python code: _as_int(value, name).
constexpr kn::Signature<2> kAsInt{"_as_int", {"value", "name"}, 2};
PyObject* as_int(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> a;
    if (!kn::bind(kAsInt, args, nargs, kwnames, a)) return nullptr;
    const char* name = PyUnicode_AsUTF8(a[1]);
    return name ? kn::int_arg(a[0], name).release() : nullptr;
}

PyMethodDef as_int_def = {"_as_int", kn::fastcall(as_int), kn::kFastcallKw, nullptr};

constexpr const char* kWrapperSource = R"PY(
class AtomicCounterWrapper:
    """Python wrapper of the native AtomicCounter, kept for backward compatibility.

    Every method forwards to the wrapped counter's py_ method.
    """

    def __init__(self, initial_value: int = 0) -> None:
        self._counter = AtomicCounter(_as_int(initial_value, "initial_value"))

    def load(self) -> int:
        return int(self._counter.py_load())

    def store(self, value: int) -> None:
        self._counter.py_store(_as_int(value, "value"))

    def increment(self, delta: int = 1) -> int:
        return int(self._counter.py_increment(_as_int(delta, "delta")))

    def decrement(self, delta: int = 1) -> int:
        return int(self._counter.py_decrement(_as_int(delta, "delta")))

    def compare_and_swap(self, expected: int, new_value: int) -> bool:
        return self._counter.py_compare_and_swap(
            _as_int(expected, "expected"), _as_int(new_value, "new_value"))

    def fetch_and_add(self, delta: int) -> int:
        return int(self._counter.py_fetch_and_add(_as_int(delta, "delta")))
)PY";

// Builds the class in a private namespace that holds its helpers, so that
// they do not become module attributes.
PyObject* make_wrapper_class() {
    kn::Ref ns = kn::Ref::steal(PyDict_New());
    if (!ns) return nullptr;
    kn::Ref helper = kn::Ref::steal(PyCFunction_NewEx(&as_int_def, nullptr, nullptr));
    if (!helper || PyDict_SetItemString(ns.get(), "__name__", PyDict_GetItemString(g_globals, "__name__")) < 0 ||
        PyDict_SetItemString(ns.get(), "__builtins__", PyEval_GetBuiltins()) < 0 ||
        PyDict_SetItemString(ns.get(), "AtomicCounter", reinterpret_cast<PyObject*>(&CounterType)) < 0 ||
        PyDict_SetItemString(ns.get(), "_as_int", helper.get()) < 0)
        return nullptr;
    kn::Ref done = kn::Ref::steal(PyRun_String(kWrapperSource, Py_file_input, ns.get(), ns.get()));
    if (!done) return nullptr;
    return Py_XNewRef(PyDict_GetItemString(ns.get(), "AtomicCounterWrapper"));
}

// ---------------------------------------------------------------- module

bool intern_names() {
    struct {
        PyObject** slot;
        const char* text;
    } names[] = {
        {&s_increment, "increment"},   {&s_decrement, "decrement"},
        {&s_load, "load"},             {&s_store, "store"},
        {&s_compare_and_swap, "compare_and_swap"}, {&s_update_peaks, "_update_peaks"},
        {&s_elapsed_ns, "elapsed_ns"},
    };
    for (auto& n : names)
        if (!(*n.slot = PyUnicode_InternFromString(n.text))) return false;
    return true;
}

// Publishes a native operation table as a capsule in the type's dictionary.
bool publish_ops(PyTypeObject& t, const void* table, const char* capsule_name) {
    kn::Ref capsule = kn::Ref::steal(PyCapsule_New(const_cast<void*>(table), capsule_name, nullptr));
    if (!capsule || PyDict_SetItemString(t.tp_dict, KESTRUN_OPS_ATTR, capsule.get()) < 0) return false;
    PyType_Modified(&t);
    return true;
}

bool add_counter_aliases() {
    for (const auto& alias : kCounterAliases) {
        PyObject* method = PyDict_GetItemString(CounterType.tp_dict, alias[1]);
        if (!method || PyDict_SetItemString(CounterType.tp_dict, alias[0], method) < 0) return false;
    }
    PyType_Modified(&CounterType);
    return true;
}

bool ready_types(PyObject* module) {
    CounterType = kn::static_type("kestrun.memory.syncore.AtomicCounter", sizeof(CounterObject),
              "AtomicCounter(initial_value=0)\n--\n\n"
              "Signed 64-bit lock-free counter; every change is one atomic instruction and wraps "
              "modulo 2**64.",
              counter_methods, counter_new, false);
    PointerType = kn::static_type("kestrun.memory.syncore.AtomicPointer", sizeof(PointerObject),
              "AtomicPointer(initial_value=None)\n--\n\n"
              "A slot holding one object, with a version that grows on every change.",
              pointer_methods, pointer_new, true);
    PointerType.tp_traverse = pointer_traverse;
    PointerType.tp_clear = pointer_clear;
    PointerType.tp_dealloc = pointer_dealloc;
    StackType = kn::static_type("kestrun.memory.syncore.LockFreeStack", sizeof(StackObject),
              "LockFreeStack()\n--\n\nLast-in-first-out stack of objects with an atomic size.",
              stack_methods, stack_new, true);
    StackType.tp_traverse = stack_traverse;
    StackType.tp_clear = stack_clear;
    StackType.tp_dealloc = stack_dealloc;
    StatsType = kn::static_type("kestrun.memory.syncore.LockFreeStatistics", sizeof(StatsObject),
              "LockFreeStatistics()\n--\n\nAllocation counters updated from many threads without a lock.",
              stats_methods, stats_new, true);
    for (intptr_t i = 0; i < STAT_COUNT; ++i)
        stats_getset[i] = {kStatNames[i], stats_get_counter, stats_set_counter, nullptr,
                           reinterpret_cast<void*>(i)};
    StatsType.tp_getset = stats_getset;
    StatsType.tp_traverse = stats_traverse;
    StatsType.tp_clear = stats_clear;
    StatsType.tp_dealloc = stats_dealloc;
    TimerType = kn::static_type("kestrun.memory.syncore.PerformanceTimer", sizeof(TimerObject),
              "PerformanceTimer()\n--\n\nNanosecond stopwatch over time.perf_counter_ns().",
              timer_methods, timer_new, false);

    const std::pair<const char*, PyTypeObject*> types[] = {
        {"AtomicCounter", &CounterType},
        {"AtomicPointer", &PointerType},
        {"LockFreeStack", &StackType},
        {"LockFreeStatistics", &StatsType},
        {"PerformanceTimer", &TimerType},
    };
    for (const auto& [name, type] : types)
        if (PyType_Ready(type) < 0 || PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) < 0)
            return false;
    return publish_ops(CounterType, &counter_ops, KESTRUN_COUNTER_OPS_CAPSULE) &&
           publish_ops(StatsType, &stats_ops, KESTRUN_STATISTICS_OPS_CAPSULE);
}

int syncore_exec(PyObject* module) {
    if (!kn::frame_begin(frame)) return -1;
    g_globals = Py_NewRef(PyModule_GetDict(module));
    if (!intern_names() || !ready_types(module) || !kn::bind_import(module, "threading") ||
        !kn::bind_import(module, "time") || !resolve_lock_type() || !kn::bind_from(module, "typing", {"Optional", "TypeVar", "Generic"}) ||
        !add_counter_aliases())
        return -1;
    kn::Ref wrapper = kn::Ref::steal(make_wrapper_class());
    if (!wrapper || PyModule_AddObjectRef(module, "AtomicCounterWrapper", wrapper.get()) < 0) return -1;
    if (!kn::frame_finish(frame, module,
                          "kestrun.memory.syncore loaded: atomic primitives active with lock-free "
                          "native atomics (expected speed-up 10-20x)"))
        return -1;
    return PyModule_AddObjectRef(module, "NATIVE_ATOMICS_AVAILABLE", Py_True);
}

}  // namespace

KN_DEFINE_MODULE(syncore, frame,
                 "Lock-free atomic primitives: counters, a versioned slot, a stack, allocation "
                 "statistics and a nanosecond timer.",
                 nullptr, syncore_exec)
