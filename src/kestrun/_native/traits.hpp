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

}  // namespace kn
