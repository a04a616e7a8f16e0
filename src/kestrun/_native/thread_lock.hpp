// Fast calls of a threading.Lock's acquire() and release() from native code.
//
// A module resolves the lock type once at set-up, from a lock that its own
// `threading` made; afterwards a lock of exactly that type has the C function
// behind each method called directly, skipping the attribute lookup and
// bound-method creation of a Python-level call.  Any other object (a lock
// from a replaced `threading`, an RLock) gets an ordinary method call.
//
//     kn::LockCalls calls;                      // one per module, process-wide
//     if (!calls.resolve(threading)) return -1; // at set-up
//     kn::Ref ok = kn::Ref::steal(calls.acquire(lock));
//
// Both calls return the method's result as a new reference, or nullptr with
// an exception set.  A blocking acquire() releases the interpreter lock
// while it waits, as it does when called from Python.
#pragma once

#include "ref.hpp"

namespace kn {

class LockCalls {
public:
    // Records the type of threading.Lock() and its two methods; false with
    // an exception set.  A second call keeps what the first one found.
    bool resolve(PyObject* threading) {
        if (!type_) {
            Ref lock = Ref::steal(PyObject_CallMethod(threading, "Lock", nullptr));
            if (!lock) return false;
            type_ = reinterpret_cast<PyTypeObject*>(Py_NewRef(Py_TYPE(lock.get())));
        }
        return resolve_method(acquire_, "acquire") && resolve_method(release_, "release");
    }

    PyObject* acquire(PyObject* lock) const { return call(acquire_, lock); }
    PyObject* release(PyObject* lock) const { return call(release_, lock); }

private:
    struct Method {
        PyObject* name = nullptr;  // interned
        PyCFunction fn = nullptr;  // nullptr: always call through Python
        int flags = 0;
    };

    bool resolve_method(Method& m, const char* name) {
        if (!m.name && !(m.name = PyUnicode_InternFromString(name))) return false;
        PyObject* descr = PyDict_GetItemWithError(type_->tp_dict, m.name);
        if (descr && Py_IS_TYPE(descr, &PyMethodDescr_Type)) {
            PyMethodDef* def = reinterpret_cast<PyMethodDescrObject*>(descr)->d_method;
            m.fn = def->ml_meth;
            m.flags = def->ml_flags & ~METH_COEXIST;
        }
        return !PyErr_Occurred();
    }

    PyObject* call(const Method& m, PyObject* lock) const {
        if (m.fn && Py_IS_TYPE(lock, type_)) {
            void (*raw)() = reinterpret_cast<void (*)()>(m.fn);
            switch (m.flags) {
            case METH_NOARGS:
                return m.fn(lock, nullptr);
            case METH_VARARGS | METH_KEYWORDS:
                return reinterpret_cast<PyCFunctionWithKeywords>(raw)(lock, empty_tuple(), nullptr);
            case METH_VARARGS:
                return m.fn(lock, empty_tuple());
            case METH_FASTCALL | METH_KEYWORDS:
                return reinterpret_cast<PyCFunctionFastWithKeywords>(raw)(lock, nullptr, 0,
                                                                          nullptr);
            case METH_FASTCALL:
                return reinterpret_cast<PyCFunctionFast>(raw)(lock, nullptr, 0);
            default:
                break;
            }
        }
        PyObject* args[] = {lock};
        return PyObject_VectorcallMethod(m.name, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    }

    PyTypeObject* type_ = nullptr;
    Method acquire_, release_;
};

}  // namespace kn
