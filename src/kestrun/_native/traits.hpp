// Behaviour shared by every extension type of the package.
#pragma once

#include "ref.hpp"

namespace kn {

// Instances hold native state that cannot be rebuilt from a reduce tuple.
inline PyObject* refuse_reduce(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return nullptr;
}

// Put first in a type's method table: pickling and copying are refused.
#define KN_NO_PICKLE {"__reduce__", kn::refuse_reduce, METH_NOARGS, nullptr}

// Setter result for `del obj.attr` on an attribute that holds a native number.
inline int refuse_delete() {
    PyErr_SetString(PyExc_NotImplementedError, "__del__");
    return -1;
}

// A static extension type with its object header set up and everything
// else zero, ready for the module to fill in its slots before PyType_Ready.
// Types are subclassable; `gc` makes them tracked by the cyclic collector.
inline PyTypeObject static_type(const char* name, Py_ssize_t basicsize, const char* doc,
                                PyMethodDef* methods, newfunc tp_new, bool gc) {
    PyTypeObject t{};
    struct Head {
        PyVarObject v;
    } head = {PyVarObject_HEAD_INIT(nullptr, 0)};
    t.ob_base = head.v;
    t.tp_name = name;
    t.tp_basicsize = basicsize;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | (gc ? Py_TPFLAGS_HAVE_GC : 0);
    t.tp_doc = doc;
    t.tp_methods = methods;
    t.tp_new = tp_new;
    return t;
}

// A METH_FASTCALL | METH_KEYWORDS function, cast for a PyMethodDef entry;
// only functions of exactly that shape are accepted.
using FastcallKw = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyCFunction fastcall(FastcallKw f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}
inline constexpr int kFastcallKw = METH_FASTCALL | METH_KEYWORDS;

}  // namespace kn
