// Objects whose locks a child process made by fork() must find free.
//
// fork() copies only the thread that calls it.  A lock another thread held
// at that moment stays held in the child for ever, and the half-done change
// it protected stays half done.  As the standard library's logging does for
// its handlers, the forking thread therefore takes every registered lock
// before fork() (waiting for the holders to finish) and releases them after
// it, in the parent and in the child; the child then starts with free locks
// and consistent objects, and each object may reset what only the threads
// that did not survive were using.
//
// An object embeds a kn::ForkLink, fills in its `obj`, `locks` and `child`,
// and adds it to the module's registry while it lives (add at creation,
// remove first thing in its deallocator); its clear slot empties its lock
// slots with kn::fork_clear_lock.  A
// lock the forking thread holds already (fork() called from inside a
// section) is left to that section.  Between the hooks the forking thread
// counts as the holder of every lock: another fork hook that calls into one
// of these objects gets the re-entry RuntimeError instead of waiting for
// itself.
// Each extension module has its own registry (the symbols are hidden) and
// installs the hooks once per process with kn::install_fork_hooks().
#pragma once

#include "barrier.hpp"
#include "pylock.hpp"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace kn {

// One lock to hold across fork(): the lock object, its holder record and how
// it is entered.
// A NativeLock instead: `native` set, `lock` empty, `owner` &native->owner.
// The lock lives as long as its object, which the hooks keep (see
// ForkRegistry), so no reference is taken.
struct ForkLock {
    Ref lock;
    LockOwner* owner;
    LockProtocol protocol = LockProtocol::kContextManager;
    bool by_acquire = false;  // taken with acquire(False), so left with release()
    NativeLock* native = nullptr;
};

// The fork hooks' entry for a NativeLock embedded in a registered object.
inline ForkLock fork_native_lock(NativeLock& lock) {
    return ForkLock{Ref(), &lock.owner, LockProtocol::kContextManager, false, &lock};
}

struct ForkLink {
    ForkLink* prev = nullptr;
    ForkLink* next = nullptr;
    PyObject* obj = nullptr;                                             // the object, or null
    void (*locks)(PyObject* obj, std::vector<ForkLock>& out) = nullptr;  // in locking order
    void (*child)(PyObject* obj) = nullptr;  // in the child, after release
};

namespace detail {

// The live objects of one module.  With the interpreter lock, the list is
// guarded by it (nothing that changes the list releases it), and the hooks
// keep strong references to the objects.  Without it, a mutex guards the
// list; the forking thread holds it from the moment it holds every object
// lock until after the fork, so no object can finish its deallocation in
// that window (the first thing a deallocator does is leave the list), and
// it never waits for an object lock while holding it.  The forking thread
// itself may still add and remove objects in that window.
struct ForkRegistry {
    ForkLink head;  // circular list; head.next == &head when empty
#ifdef Py_GIL_DISABLED
    PyMutex mutex{};
#endif
    std::atomic<unsigned long> forking{0};  // the thread between the hooks
    uint64_t changes = 0;  // bumped by every add and remove, under the list's guard
    // Between the hooks: the objects (strong references with the
    // interpreter lock), their links and the locks held.
    std::vector<PyObject*> objects;
    std::vector<ForkLink*> links;
    std::vector<ForkLock> held;
    bool installed = false;
};

inline ForkRegistry& fork_registry() {
    static ForkRegistry r;
    if (!r.head.next) r.head.next = r.head.prev = &r.head;
    return r;
}

inline void lock_list([[maybe_unused]] ForkRegistry& r) {
#ifdef Py_GIL_DISABLED
    PyMutex_Lock(&r.mutex);
#endif
}
inline void unlock_list([[maybe_unused]] ForkRegistry& r) {
#ifdef Py_GIL_DISABLED
    PyMutex_Unlock(&r.mutex);
#endif
}

// The list for a change by add or remove.
class ListGuard {
public:
    explicit ListGuard(ForkRegistry& r) : r_(r) {
#ifdef Py_GIL_DISABLED
        if (r.forking.load() == PyThread_get_thread_ident()) return;  // holds it already
        PyMutex_Lock(&r.mutex);
        locked_ = true;
#endif
    }
    ListGuard(const ListGuard&) = delete;
    ListGuard& operator=(const ListGuard&) = delete;
    ~ListGuard() {
#ifdef Py_GIL_DISABLED
        if (locked_) PyMutex_Unlock(&r_.mutex);
#endif
    }

private:
    [[maybe_unused]] ForkRegistry& r_;
    [[maybe_unused]] bool locked_ = false;
};

// lock.acquire(False): 1 taken, 0 held elsewhere, -1 error.  A lock without
// acquire() (a replaced lock that is only a context manager) is entered,
// waiting if it must.
inline int try_enter(ForkLock& f, bool* by_acquire) {
    if (f.native) return f.native->try_lock() ? 1 : 0;
    Ref r = Ref::steal(PyObject_CallMethod(f.lock.get(), "acquire", "O", Py_False));
    if (r) {
        *by_acquire = true;
        return PyObject_IsTrue(r.get());
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    *by_acquire = false;
    return lock_enter(f.lock.get(), f.protocol) ? 1 : -1;
}

inline void leave_fork_lock(ForkLock& f) {
    f.owner->store(0, std::memory_order_relaxed);
    if (f.native) {
        f.native->unlock();
        return;
    }
    const bool ok =
        f.by_acquire
            ? static_cast<bool>(Ref::steal(PyObject_CallMethod(f.lock.get(), "release", nullptr)))
            : lock_exit(f.lock.get(), f.protocol);
    if (!ok) PyErr_WriteUnraisable(f.lock.get());
}

// Drops what one pass of fork_before collected, releasing the locks it took.
inline void drop_pass(ForkRegistry& r) {
    for (auto it = r.held.rbegin(); it != r.held.rend(); ++it)
        leave_fork_lock(*it);
    r.held.clear();
    r.links.clear();
    std::vector<PyObject*> objects;
    objects.swap(r.objects);
    for (PyObject* o : objects)
        Py_XDECREF(o);
}

// A native lock another thread holds, tried again and again for a short
// while with the thread state detached.  A holder that releases the
// interpreter lock inside its section (a block's __eq__, a ledger doing
// I/O) and keeps it between sections frees the native lock only while the
// forking thread cannot run Python code: polled with the interpreter lock
// held, such a lock is never seen free and fork() waits for ever.  Detached,
// the forking thread takes it in one of those gaps.  The locks taken so far
// stay held meanwhile; the time limit keeps a holder that waits for one of
// them (or, without the interpreter lock, for the registry) from
// deadlocking with the forking thread: the pass then lets everything go and
// starts again.  True when taken.
inline bool poll_native(ForkRegistry& r, NativeLock& lock) {
    bool taken = false;
    PyThreadState* save = PyEval_SaveThread();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
    do {
        std::this_thread::yield();
        taken = lock.try_lock();
    } while (!taken && std::chrono::steady_clock::now() < deadline);
    try {
        PyEval_RestoreThread(save);
    } catch (abi::__forced_unwind&) {
        // A daemon thread ended at interpreter exit: it lets the native locks
        // go (the others need a thread state) and the next fork in.
        if (taken) lock.unlock();
        for (ForkLock& f : r.held)
            if (f.native) {
                f.owner->store(0, std::memory_order_relaxed);
                f.native->unlock();
            }
        r.held.clear();
        r.links.clear();
        r.objects.clear();  // leaked: no thread state to release them with
        unlock_list(r);
        r.forking.store(0);
        throw;
    }
    return taken;
}

// Takes every registered lock; runs in the forking thread before fork().
// All or none: the locks are tried without waiting (a busy native lock is
// polled for a while, see poll_native), and when one stays busy everything
// taken is let go, the busy one is waited for (holding nothing else, so no
// lock order can deadlock), and the whole pass starts again.
inline PyObject* fork_before(PyObject*, PyObject*) {
    ForkRegistry& r = fork_registry();
    const unsigned long me = PyThread_get_thread_ident();
    // One fork at a time: a second forking thread waits for the first.
    for (unsigned long idle = 0; !r.forking.compare_exchange_strong(idle, me); idle = 0) {
        Py_BEGIN_ALLOW_THREADS
        std::this_thread::yield();
        Py_END_ALLOW_THREADS
    }
    for (;;) {
        lock_list(r);
        const uint64_t changes = r.changes;
        for (ForkLink* l = r.head.next; l != &r.head; l = l->next) {
            r.links.push_back(l);
#ifndef Py_GIL_DISABLED
            r.objects.push_back(Py_XNewRef(l->obj));
#endif
        }
        std::vector<ForkLock> locks;
        for (ForkLink* l : r.links)
            if (l->locks) l->locks(l->obj, locks);
        Ref busy;
        bool busy_native = false;
        bool polled = false;
        for (ForkLock& f : locks) {
            if ((!f.lock && !f.native) || f.owner->load(std::memory_order_relaxed) == me) continue;
            int taken = try_enter(f, &f.by_acquire);
            if (taken < 0) {
                PyErr_WriteUnraisable(f.lock.get());
                continue;
            }
            if (!taken && f.native) {
                polled = true;
                taken = poll_native(r, *f.native) ? 1 : 0;
            }
            if (!taken) {
                busy_native = f.native != nullptr;
                if (!busy_native) busy = Ref::borrow(f.lock.get());
                break;
            }
            f.owner->store(me, std::memory_order_relaxed);
            r.held.push_back(std::move(f));
        }
        // With the interpreter lock, the list may have changed while the
        // thread state was detached: objects made meanwhile are not in this
        // pass, so it starts again.
        const bool stale = polled && r.changes != changes;
        if (!busy && !busy_native && !stale)
            return none();  // the list stays locked until after the fork
        drop_pass(r);
        unlock_list(r);
        if (stale && !busy && !busy_native) continue;
        // Wait for the holder to finish, then try again.
        // A busy native lock's object may go away once the list is let go:
        // let its holder run, then try again.
        if (busy_native) {
            Py_BEGIN_ALLOW_THREADS
            std::this_thread::yield();
            Py_END_ALLOW_THREADS
            continue;
        }
        if (lock_enter(busy.get(), LockProtocol::kAcquireRelease) &&
            !lock_exit(busy.get(), LockProtocol::kAcquireRelease))
            PyErr_WriteUnraisable(busy.get());
        if (PyErr_Occurred()) PyErr_WriteUnraisable(busy.get());
    }
}

// Releases what fork_before took, in the reverse order; in the child each
// object then resets what the threads left behind were using.
inline void fork_release(bool in_child) {
    ForkRegistry& r = fork_registry();
    if (r.forking.load() != PyThread_get_thread_ident()) return;  // no fork_before ran
    for (auto it = r.held.rbegin(); it != r.held.rend(); ++it)
        leave_fork_lock(*it);
    r.held.clear();
    if (in_child)
        for (ForkLink* l : r.links)
            if (l->child) l->child(l->obj);
    r.links.clear();
    std::vector<PyObject*> objects;
    objects.swap(r.objects);
    unlock_list(r);
    r.forking.store(0);
    for (PyObject* o : objects)
        Py_XDECREF(o);
}

inline PyObject* fork_after_in_parent(PyObject*, PyObject*) {
    fork_release(false);
    return none();
}

inline PyObject* fork_after_in_child(PyObject*, PyObject*) {
    fork_release(true);
    return none();
}

}  // namespace detail

inline void fork_register(ForkLink& link) {
    detail::ForkRegistry& r = detail::fork_registry();
    detail::ListGuard guard(r);
    link.next = &r.head;
    link.prev = r.head.prev;
    r.head.prev->next = &link;
    r.head.prev = &link;
    ++r.changes;
}

inline void fork_unregister(ForkLink& link) {
    if (!link.next) return;  // never registered
    detail::ForkRegistry& r = detail::fork_registry();
    detail::ListGuard guard(r);
    link.prev->next = link.next;
    link.next->prev = link.prev;
    link.prev = link.next = nullptr;
    ++r.changes;
}

// Clears one of a registered object's lock slots (from its clear slot, which
// the collector may run while another thread forks): the slot is emptied
// under the list's guard, so the forking thread never reads it half cleared.
inline void fork_clear_lock(PyObject*& slot) {
    PyObject* old;
    {
        detail::ListGuard guard(detail::fork_registry());
        old = slot;
        slot = nullptr;
    }
    Py_XDECREF(old);
}

// os.register_at_fork(before=..., after_in_parent=..., after_in_child=...)
// for this module's registry, once per process.
inline bool install_fork_hooks() {
    detail::ForkRegistry& r = detail::fork_registry();
    if (r.installed) return true;
    static PyMethodDef defs[] = {
        def<detail::fork_before>("_fork_before", nullptr),
        def<detail::fork_after_in_parent>("_fork_after_in_parent", nullptr),
        def<detail::fork_after_in_child>("_fork_after_in_child", nullptr),
    };
    Ref os = Ref::steal(PyImport_ImportModule("os"));
    if (!os) return false;
    Ref reg = Ref::steal(PyObject_GetAttrString(os.get(), "register_at_fork"));
    if (!reg) {
        // A platform without fork() has nothing to guard.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        r.installed = true;
        return true;
    }
    Ref before = Ref::steal(PyCFunction_New(&defs[0], nullptr));
    Ref parent = before ? Ref::steal(PyCFunction_New(&defs[1], nullptr)) : Ref();
    Ref child = parent ? Ref::steal(PyCFunction_New(&defs[2], nullptr)) : Ref();
    Ref kwargs =
        child ? Ref::steal(Py_BuildValue("{sOsOsO}", "before", before.get(), "after_in_parent",
                                         parent.get(), "after_in_child", child.get()))
              : Ref();
    Ref args = kwargs ? Ref::steal(PyTuple_New(0)) : Ref();
    Ref done = args ? Ref::steal(PyObject_Call(reg.get(), args.get(), kwargs.get())) : Ref();
    if (!done) return false;
    r.installed = true;
    return true;
}

}  // namespace kn
