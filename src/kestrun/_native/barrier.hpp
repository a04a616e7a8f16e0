// The one place where native entry points meet the interpreter.
//
// A C++ exception must never unwind through the interpreter's frames: that
// terminates the process.  Every function the interpreter calls (methods,
// type slots, getters and setters, module set-up) is registered through
// kn::guarded<F>, which runs F inside a try block and turns an escaping
// exception into a Python exception with the caller's failure result:
//
//   std::bad_alloc      -> MemoryError
//   std::exception      -> RuntimeError "internal error: <what()>"
//   anything else       -> RuntimeError "internal error: unknown C++ exception"
//
// With table-driven unwinding a try block costs nothing until something is
// thrown, and F is known at compile time, so it is inlined into the guard.
// A function declared noexcept cannot throw and is registered as it is; such
// a function must never call back into the interpreter (see below).
//
// A deallocator that uses the trashcan names the function the type holds,
// Py_TRASHCAN_BEGIN(self, kn::guarded<dealloc>): the interpreter defers
// deallocation only for a type whose tp_dealloc is that very function.
//
// The one unwind that passes through: on 3.11-3.13 a daemon thread that
// wants the interpreter lock back while the interpreter is exiting is ended
// with pthread_exit(), a forced unwind (abi::__forced_unwind) that starts
// inside whatever C API call was waiting for the lock.  It must reach the
// thread's start: catching it for good aborts the process, and so does
// meeting a noexcept frame on the way.  So the guard is not noexcept and
// rethrows it first; every frame between a C API call that can run Python
// code (or wait for the interpreter lock) and the guard is not noexcept;
// and the cleanup that runs during it (owned references, error stashes,
// lock scopes) touches no Python object when the thread has no thread state
// (kn::has_thread_state).
//
// Method tables use kn::def<F>(name, doc), which also picks the calling
// convention from F's signature:
//
//   PyObject* f(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
//       -> METH_FASTCALL | METH_KEYWORDS
//   PyObject* f(PyObject* self, PyObject* unused)
//       -> METH_NOARGS
#pragma once

#include "compat.hpp"

#include <cxxabi.h>

#include <exception>
#include <new>
#include <type_traits>

namespace kn {

// Sets the Python exception for the C++ exception being handled.  Call only
// from inside a catch block.
inline void set_error_from_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_RuntimeError, "internal error: %.200s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "internal error: unknown C++ exception");
    }
}

namespace detail {

// The failure result the interpreter expects from a function returning R.
template <typename R>
inline R failure_result() noexcept {
    if constexpr (std::is_pointer_v<R>)
        return nullptr;
    else if constexpr (std::is_integral_v<R>)
        return static_cast<R>(-1);
    else
        static_assert(std::is_void_v<R>, "unsupported entry-point result type");
}

// Guard<F>::pointer is F behind the barrier.  The function's type (plain or
// noexcept) picks the specialisation.
template <auto F, typename Type = decltype(F)>
struct Guard;

template <auto F, typename R, typename... A>
struct Guard<F, R (*)(A...)> {
    static R call(A... args) {
        try {
            return F(args...);
        } catch (abi::__forced_unwind&) {
            throw;  // the thread is being ended: let it go
        } catch (...) {
            set_error_from_exception();
            if constexpr (std::is_void_v<R>)
                PyErr_WriteUnraisable(nullptr);  // a slot without a failure result
            else
                return failure_result<R>();
        }
    }
    static constexpr R (*pointer)(A...) = call;
};

template <auto F, typename R, typename... A>
struct Guard<F, R (*)(A...) noexcept> {
    static constexpr R (*pointer)(A...) noexcept = F;
};

}  // namespace detail

// F wrapped in the exception barrier, with F's own signature.
template <auto F>
inline constexpr auto guarded = detail::Guard<F>::pointer;

using FastcallKw = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
using NoArgs = PyObject* (*)(PyObject*, PyObject*);

// One method-table entry for F, guarded, with the calling convention that
// F's signature implies.
template <auto F>
inline PyMethodDef def(const char* name, const char* doc) noexcept {
    auto fn = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<F>));
    if constexpr (std::is_convertible_v<decltype(F), FastcallKw>) {
        return {name, fn, METH_FASTCALL | METH_KEYWORDS, doc};
    } else {
        static_assert(std::is_convertible_v<decltype(F), NoArgs>,
                      "a method is either fastcall-with-keywords or takes no arguments");
        return {name, fn, METH_NOARGS, doc};
    }
}

// The entry that ends a method table.
inline constexpr PyMethodDef kEndOfMethods = {nullptr, nullptr, 0, nullptr};

}  // namespace kn
