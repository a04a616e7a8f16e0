// Holding a lock object for a scope from native code.
//
// Objects that keep mutable state own a threading.Lock.  For the
// interpreter's own lock type, entering and leaving are its `acquire` and
// `release` C functions; they are fetched once from the type
// (kn::resolve_lock_type, at module set-up) and called directly, which skips
// two attribute lookups and two bound-method calls.  Any other object (a
// replaced `threading` module may hand out anything) gets the Python methods
// of the protocol its owner uses: `__enter__()` and `__exit__(None, None,
// None)`, as `with lock:` calls them (the default), or `acquire()` and
// `release()`.
//
// Both ways can run Python code or wait with the interpreter lock released:
// callers hold strong references to what they use after entering.
//
// Usage:
//     kn::LockedScope scope(self->lock, self->lock_owner, "re-entrant call ...");
//     if (!scope.ok()) return nullptr;
//     ... work that runs no Python code ...
//     return scope.leave(result);              // result: new ref or nullptr
//     (or `if (!scope.leave()) return nullptr;` after work without a result,
//     or simply let the scope end: it leaves the lock, and a failure to leave
//     is reported as unraisable)
//
// Each extension module gets its own copy of the state below (the modules
// are separate shared objects with hidden symbols) and resolves it once.
#pragma once

#include "ref.hpp"

#include <cxxabi.h>

#include <atomic>
#include <cstdint>

namespace kn {

// How a lock object that is not a threading.Lock is entered and left.
enum class LockProtocol { kContextManager, kAcquireRelease };

namespace detail {

struct LockCall {
    PyCFunction fn = nullptr;
    int flags = 0;
};

inline PyTypeObject* g_lock_type = nullptr;  // strong reference, for the process
inline LockCall g_lock_acquire, g_lock_release;
inline PyObject* g_enter_name = nullptr;    // interned "__enter__"
inline PyObject* g_exit_name = nullptr;     // interned "__exit__"
inline PyObject* g_acquire_name = nullptr;  // interned "acquire"
inline PyObject* g_release_name = nullptr;  // interned "release"

inline bool resolve_lock_call(LockCall& call, const char* name) {
    Ref descr = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(g_lock_type), name));
    if (!descr) return false;
    if (Py_IS_TYPE(descr.get(), &PyMethodDescr_Type)) {
        PyMethodDef* def = reinterpret_cast<PyMethodDescrObject*>(descr.get())->d_method;
        const int flags = def->ml_flags & ~(METH_COEXIST | METH_CLASS | METH_STATIC);
        if (flags == METH_NOARGS || flags == (METH_VARARGS | METH_KEYWORDS) ||
            flags == METH_VARARGS || flags == (METH_FASTCALL | METH_KEYWORDS) ||
            flags == METH_FASTCALL) {
            call.fn = def->ml_meth;
            call.flags = flags;
        }
    }
    return true;
}

// Calls one of the lock type's no-argument C functions on `lock`.
inline PyObject* call_lock_c(const LockCall& call, PyObject* lock) {
    void (*raw)() = reinterpret_cast<void (*)()>(call.fn);
    switch (call.flags) {
    case METH_NOARGS:
        return call.fn(lock, nullptr);
    case METH_VARARGS:
        return call.fn(lock, empty_tuple());
    case METH_VARARGS | METH_KEYWORDS:
        return reinterpret_cast<PyCFunctionWithKeywords>(raw)(lock, empty_tuple(), nullptr);
    case METH_FASTCALL | METH_KEYWORDS:
        return reinterpret_cast<PyCFunctionFastWithKeywords>(raw)(lock, nullptr, 0, nullptr);
    default:  // METH_FASTCALL
        return reinterpret_cast<PyCFunctionFast>(raw)(lock, nullptr, 0);
    }
}

inline bool is_native_lock(PyObject* lock, const LockCall& call) {
    return call.fn && g_lock_type && Py_IS_TYPE(lock, g_lock_type);
}

}  // namespace detail

// Finds the interpreter's lock type from a lock made by `threading.Lock()`
// and its acquire and release functions.  Call once at module set-up, with
// the `threading` module; a retried set-up keeps what an earlier one found.
inline bool resolve_lock_type(PyObject* threading) {
    using namespace detail;
    if (!g_enter_name && !(g_enter_name = PyUnicode_InternFromString("__enter__"))) return false;
    if (!g_exit_name && !(g_exit_name = PyUnicode_InternFromString("__exit__"))) return false;
    if (!g_acquire_name && !(g_acquire_name = PyUnicode_InternFromString("acquire"))) return false;
    if (!g_release_name && !(g_release_name = PyUnicode_InternFromString("release"))) return false;
    if (!g_lock_type) {
        Ref lock = Ref::steal(PyObject_CallMethod(threading, "Lock", nullptr));
        if (!lock) return false;
        g_lock_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(Py_TYPE(lock.get())));
    }
    return resolve_lock_call(g_lock_acquire, "acquire") &&
           resolve_lock_call(g_lock_release, "release");
}

// Enters `lock`: `lock.__enter__()` or `lock.acquire()`; false with an
// exception set.
inline bool lock_enter(PyObject* lock, LockProtocol protocol = LockProtocol::kContextManager) {
    using namespace detail;
    PyObject* r;
    if (is_native_lock(lock, g_lock_acquire)) {
        r = call_lock_c(g_lock_acquire, lock);
    } else {
        PyObject* name = protocol == LockProtocol::kContextManager ? g_enter_name : g_acquire_name;
        PyObject* args[] = {lock};
        r = PyObject_VectorcallMethod(name, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    }
    Py_XDECREF(r);
    return r != nullptr;
}

// Leaves `lock`: `lock.__exit__(None, None, None)` or `lock.release()`;
// false with an exception set.
inline bool lock_exit(PyObject* lock, LockProtocol protocol = LockProtocol::kContextManager) {
    using namespace detail;
    PyObject* r;
    if (is_native_lock(lock, g_lock_release)) {
        r = call_lock_c(g_lock_release, lock);
    } else if (protocol == LockProtocol::kContextManager) {
        PyObject* args[] = {lock, Py_None, Py_None, Py_None};
        r = PyObject_VectorcallMethod(g_exit_name, args, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                      nullptr);
    } else {
        PyObject* args[] = {lock};
        r = PyObject_VectorcallMethod(g_release_name, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                      nullptr);
    }
    Py_XDECREF(r);
    return r != nullptr;
}

// The thread that holds one lock object, recorded beside the lock by the
// scopes below (0: nobody).  Objects keep one per lock, zero-initialised.
using LockOwner = std::atomic<unsigned long>;

// Whether the calling thread holds the lock `owner` belongs to.
inline bool held_by_this_thread(const LockOwner& owner) noexcept {
    return owner.load(std::memory_order_relaxed) == PyThread_get_thread_ident();
}

// A lock held for a scope, with its holder recorded in `owner`.  The locks
// are not re-entrant: a thread that comes back for a lock it holds (from a
// finaliser, a comparison or a replaced counter called inside the scope)
// gets RuntimeError with the text `reentry` instead of waiting for itself
// for ever.  A null lock (one the garbage collector already cleared from its
// owner) is not held: ok() is true and leaving does nothing.
//
// Every way out can run Python code (a replaced lock's methods), so the
// destructor is not noexcept.  A daemon thread ended at interpreter exit
// (see barrier.hpp) leaves the lock as it is: with no thread state it may
// not call the lock's methods.
class LockedScope {
public:
    // `take` false: only the re-entry check, and the scope holds nothing
    // (for sections that need the lock only while another thread holds it).
    LockedScope(PyObject* lock, LockOwner& owner, const char* reentry,
                LockProtocol protocol = LockProtocol::kContextManager, bool take = true)
        : owner_(owner), protocol_(protocol) {
        const unsigned long me = PyThread_get_thread_ident();
        if (owner.load(std::memory_order_relaxed) == me) {
            PyErr_SetString(PyExc_RuntimeError, reentry);
            ok_ = false;
            return;
        }
        if (!lock || !take) return;
        lock_ = Ref::borrow(lock);
        if (!lock_enter(lock_.get(), protocol_)) {
            lock_.reset();
            ok_ = false;
            return;
        }
        owner.store(me, std::memory_order_relaxed);
    }
    LockedScope(const LockedScope&) = delete;
    LockedScope& operator=(const LockedScope&) = delete;

    // Leaves the lock unless leave() did: at the end of a scope that holds
    // it for its whole length, or when a C++ exception unwinds the scope.
    ~LockedScope() noexcept(false) {
        if (!lock_ || !has_thread_state()) return;
        Ref lock = std::move(lock_);
        ErrorStash stash;
        if (!exit(lock.get())) PyErr_WriteUnraisable(lock.get());
    }

    bool ok() const noexcept { return ok_; }

    // Leaves the scope.  `result` is the scope's own result: a new reference,
    // or nullptr with an exception set.  Returns it, or nullptr when leaving
    // failed (the scope's own error, if any, wins; a second one is reported
    // as unraisable).
    PyObject* leave(PyObject* result) {
        if (!lock_) return result;
        Ref lock = std::move(lock_);
        if (!result) {
            ErrorStash stash;
            if (!exit(lock.get())) PyErr_WriteUnraisable(lock.get());
            return nullptr;
        }
        if (!exit(lock.get())) {
            Py_DECREF(result);
            return nullptr;
        }
        return result;
    }

    // Leaves the scope after work that produced no object; false with an
    // exception set when leaving failed.
    bool leave() {
        PyObject* r = leave(Py_NewRef(Py_None));
        Py_XDECREF(r);
        return r != nullptr;
    }

private:
    bool exit(PyObject* lock) {
        owner_.store(0, std::memory_order_relaxed);
        return lock_exit(lock, protocol_);
    }

    LockOwner& owner_;
    Ref lock_;  // set while the scope holds the lock
    LockProtocol protocol_;
    bool ok_ = true;
};

// A lock private to one native object: the cheapest correct lock on every
// build, where a threading.Lock object costs a method call with argument
// parsing to enter and another to leave.  Uncontended, entering is one
// compare-and-swap and leaving one exchange.  A thread that must wait
// detaches its thread state first (releases the interpreter lock on GIL
// builds, lets a stop-the-world pause proceed on free-threaded ones) and
// sleeps on the lock word (a futex on Linux), since the holder may itself
// need the interpreter lock to finish (it may be running Python code).
//
// The lock records its holder in `owner` for the re-entry check of
// NativeScope and for the fork hooks (forkguard.hpp).
class NativeLock {
public:
    NativeLock() = default;
    NativeLock(const NativeLock&) = delete;
    NativeLock& operator=(const NativeLock&) = delete;

    bool try_lock() noexcept {
        uint32_t free = 0;
        return state_.compare_exchange_strong(free, 1, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }
    // Needs a thread state (it may release the interpreter lock).  Not
    // noexcept: re-attaching a daemon thread at exit ends it with a forced
    // unwind (see barrier.hpp).
    void lock() {
        if (!try_lock()) lock_slow();
    }
    void unlock() noexcept {
        if (state_.exchange(0, std::memory_order_release) == 2) state_.notify_one();
    }
    bool locked() const noexcept { return state_.load(std::memory_order_relaxed) != 0; }

    LockOwner owner{0};

private:
    // 0 free, 1 held, 2 held with sleepers.  A daemon thread ended at exit
    // where it re-attaches (a forced unwind, see barrier.hpp) has not become
    // the holder yet: it lets the lock go on its way out, so a finaliser that
    // uses the object later does not wait for ever.
    void lock_slow() {
        PyThreadState* save = PyEval_SaveThread();
        while (state_.exchange(2, std::memory_order_acquire) != 0)
            state_.wait(2, std::memory_order_relaxed);
        try {
            PyEval_RestoreThread(save);
        } catch (abi::__forced_unwind&) {
            unlock();
            throw;
        }
    }

    std::atomic<uint32_t> state_{0};
};

// A NativeLock held for a scope, with the same re-entry rule and the same
// interface as LockedScope.  Nothing here runs Python code, and the
// destructor leaves the lock even during a daemon thread's forced unwind.
class NativeScope {
public:
    // `take` false: only the re-entry check, and the scope holds nothing.
    NativeScope(NativeLock& lock, const char* reentry, bool take = true) : lock_(lock) {
        const unsigned long me = PyThread_get_thread_ident();
        if (lock.owner.load(std::memory_order_relaxed) == me) {
            PyErr_SetString(PyExc_RuntimeError, reentry);
            ok_ = false;
            return;
        }
        if (!take) return;
        lock.lock();
        lock.owner.store(me, std::memory_order_relaxed);
        held_ = true;
    }
    NativeScope(const NativeScope&) = delete;
    NativeScope& operator=(const NativeScope&) = delete;
    ~NativeScope() { release(); }

    bool ok() const noexcept { return ok_; }
    PyObject* leave(PyObject* result) noexcept {
        release();
        return result;
    }
    bool leave() noexcept {
        release();
        return true;
    }

private:
    void release() noexcept {
        if (!held_) return;
        held_ = false;
        lock_.owner.store(0, std::memory_order_relaxed);
        lock_.unlock();
    }

    NativeLock& lock_;
    bool held_ = false;
    bool ok_ = true;
};

}  // namespace kn
