// AtomicPointer, a versioned slot holding one object with identity
// compare-and-swap, and LockFreeStack, a last-in-first-out stack of objects
// in native nodes whose size is read without a lock.  Both serialise their
// changes on a private native lock of their own (held only for a few pointer
// updates, never while Python code runs), and both report what they hold to
// the cyclic garbage collector.
#include "syncore.hpp"

#include <new>

namespace syncore {

PyTypeObject PointerType;
PyTypeObject StackType;

namespace {

// ---------------------------------------------------------------- AtomicPointer

struct PointerObject {
    PyObject_HEAD
    PyObject* obj;     // nullptr when empty; None is never stored
    uint64_t version;  // changed only under the lock
    kn::NativeLock lock;
};

// The pointer's lock for a scope.
struct PointerScope : kn::NativeScope {
    explicit PointerScope(PointerObject* p)
        : kn::NativeScope(p->lock,
                          "re-entrant call into an AtomicPointer from the thread that holds its "
                          "lock") {}
};

constexpr kn::Signature<1> kPointerNewSig{"AtomicPointer", {"initial_value"}, 0};

PyObject* pointer_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    std::array<PyObject*, 1> a;
    if (!kn::bind_tuple(kPointerNewSig, args, kwds, a)) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    auto* p = reinterpret_cast<PointerObject*>(self);
    p->obj = !a[0] || a[0] == Py_None ? nullptr : Py_NewRef(a[0]);
    p->version = 0;
    new (&p->lock) kn::NativeLock();
    return self;
}

// The stored object is reported to the collector, so a reference cycle
// that runs through the slot can be collected.
int pointer_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(reinterpret_cast<PointerObject*>(self)->obj);
    return 0;
}

int pointer_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<PointerObject*>(self)->obj);
    return 0;
}

// The trashcan turns a long chain of slots holding slots into a loop
// instead of one nested call per link.
void pointer_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, kn::guarded<pointer_dealloc>)
    pointer_clear(self);
    Py_TYPE(self)->tp_free(self);
    Py_TRASHCAN_END
}

PyObject* pointer_load(PyObject* self, PyObject*) {
    auto* p = reinterpret_cast<PointerObject*>(self);
    PointerScope guard(p);
    if (!guard.ok()) return nullptr;
    return Py_NewRef(p->obj ? p->obj : Py_None);
}

PyObject* pointer_get_version(PyObject* self, PyObject*) {
    auto* p = reinterpret_cast<PointerObject*>(self);
    uint64_t v;
    {
        PointerScope guard(p);
        if (!guard.ok()) return nullptr;
        v = p->version;
    }
    return PyLong_FromUnsignedLongLong(v);
}

constexpr kn::Signature<1> kPointerStoreSig{"store", {"value"}, 1};
PyObject* pointer_store(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    std::array<PyObject*, 1> a;
    if (!kn::bind(kPointerStoreSig, args, nargs, kwnames, a)) return nullptr;
    auto* p = reinterpret_cast<PointerObject*>(self);
    PyObject* incoming = a[0] == Py_None ? nullptr : Py_NewRef(a[0]);
    PyObject* old;
    {
        PointerScope guard(p);
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

constexpr kn::Signature<2> kPointerCompareAndSwapSig{
    "compare_and_swap", {"expected", "new_value"}, 2};
PyObject* pointer_compare_and_swap(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    std::array<PyObject*, 2> a;
    if (!kn::bind(kPointerCompareAndSwapSig, args, nargs, kwnames, a)) return nullptr;
    auto* p = reinterpret_cast<PointerObject*>(self);
    PyObject* expected = a[0] == Py_None ? nullptr : a[0];
    PyObject* incoming = a[1] == Py_None ? nullptr : Py_NewRef(a[1]);
    PyObject* drop;  // the reference to release after the lock
    bool swapped;
    {
        PointerScope guard(p);
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
    kn::def<pointer_load>("load", "load($self, /)\n--\n\nThe stored object, or None when empty."),
    kn::def<pointer_store>("store",
                           "store($self, /, value)\n--\n\nStores value (None empties the slot); "
                           "the version grows by one."),
    kn::def<pointer_compare_and_swap>(
        "compare_and_swap",
        "compare_and_swap($self, /, expected, new_value)\n--\n\n"
        "Stores new_value if the slot holds the very object expected (None: empty)."),
    kn::def<pointer_get_version>("get_version",
                                 "get_version($self, /)\n--\n\nNumber of changes so far."),
    KN_NO_PICKLE,
    kn::kEndOfMethods,
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
    kn::NativeLock lock;
};

// The stack's lock for a scope.
struct StackScope : kn::NativeScope {
    explicit StackScope(StackObject* s)
        : kn::NativeScope(s->lock,
                          "re-entrant call into a LockFreeStack from the thread that holds its "
                          "lock") {}
};

PyObject* stack_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    if (PyTuple_GET_SIZE(args) || (kwds && PyDict_GET_SIZE(kwds))) {
        PyErr_Format(PyExc_TypeError, "LockFreeStack() takes no arguments");
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    auto* s = reinterpret_cast<StackObject*>(self);
    s->head = nullptr;
    s->size.store(0, std::memory_order_relaxed);
    new (&s->lock) kn::NativeLock();
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
int stack_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    auto* s = reinterpret_cast<StackObject*>(self);
    for (StackNode* n = s->head; n; n = n->next)
        Py_VISIT(n->item);
    return 0;
}

int stack_clear(PyObject* self) {
    auto* s = reinterpret_cast<StackObject*>(self);
    StackNode* chain = s->head;
    s->head = nullptr;
    s->size.store(0);
    free_chain(chain);
    return 0;
}

// Stacks holding stacks are freed through the trashcan (see pointer_dealloc).
void stack_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, kn::guarded<stack_dealloc>)
    stack_clear(self);
    Py_TYPE(self)->tp_free(self);
    Py_TRASHCAN_END
}

constexpr kn::Signature<1> kStackPushSig{"push", {"item"}, 1};
PyObject* stack_push(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> a;
    if (!kn::bind(kStackPushSig, args, nargs, kwnames, a)) return nullptr;
    auto* s = reinterpret_cast<StackObject*>(self);
    auto* node = static_cast<StackNode*>(PyMem_Malloc(sizeof(StackNode)));
    if (!node) {
        PyErr_SetString(PyExc_MemoryError, "Failed to allocate stack node");
        return nullptr;
    }
    node->item = Py_NewRef(a[0]);
    node->next = nullptr;
    {
        StackScope guard(s);
        if (!guard.ok()) {
            free_chain(node);
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
        StackScope guard(s);
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
        StackScope guard(s);
        if (!guard.ok()) return nullptr;
        empty = s->head == nullptr;
    }
    return kn::boolean(empty);
}

PyObject* stack_size(PyObject* self, PyObject*) {
    return PyLong_FromLongLong(reinterpret_cast<StackObject*>(self)->size.load());
}

PyMethodDef stack_methods[] = {
    kn::def<stack_push>("push", "push($self, /, item)\n--\n\nPuts item on top."),
    kn::def<stack_pop>(
        "pop", "pop($self, /)\n--\n\nRemoves and returns the top item, or None when empty."),
    kn::def<stack_is_empty>("is_empty",
                            "is_empty($self, /)\n--\n\nWhether the stack holds no item."),
    kn::def<stack_size>("size", "size($self, /)\n--\n\nNumber of items, read without the lock."),
    KN_NO_PICKLE,
    kn::kEndOfMethods,
};

}  // namespace

bool ready_pointer_type() {
    return kn::ready_type_once(PointerType, [](PyTypeObject& t) {
        t = kn::static_type<pointer_new>(
            "kestrun.memory.syncore.AtomicPointer", sizeof(PointerObject),
            "AtomicPointer(initial_value=None)\n--\n\n"
            "A slot holding one object, with a version that grows on every change.",
            pointer_methods, true);
        t.tp_traverse = kn::guarded<pointer_traverse>;
        t.tp_clear = kn::guarded<pointer_clear>;
        t.tp_dealloc = kn::guarded<pointer_dealloc>;
    });
}

bool ready_stack_type() {
    return kn::ready_type_once(StackType, [](PyTypeObject& t) {
        t = kn::static_type<stack_new>(
            "kestrun.memory.syncore.LockFreeStack", sizeof(StackObject),
            "LockFreeStack()\n--\n\nLast-in-first-out stack of objects with an atomic size.",
            stack_methods, true);
        t.tp_traverse = kn::guarded<stack_traverse>;
        t.tp_clear = kn::guarded<stack_clear>;
        t.tp_dealloc = kn::guarded<stack_dealloc>;
    });
}

}  // namespace syncore
