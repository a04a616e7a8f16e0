// Behaviour shared by every extension type of the package.
#pragma once

#include "barrier.hpp"
#include "ref.hpp"

namespace kn {

// Instances hold native state that cannot be rebuilt from a reduce tuple.
inline PyObject* refuse_reduce(PyObject*, PyObject*) noexcept {
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return nullptr;
}

// Put first in a type's method table: pickling and copying are refused.
#define KN_NO_PICKLE {"__reduce__", kn::refuse_reduce, METH_NOARGS, nullptr}

// Setter result for `del obj.attr` on an attribute that holds a native number.
inline int refuse_delete() noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "__del__");
    return -1;
}

// A static extension type with its object header set up, its constructor
// `New` behind the exception barrier and everything else zero, ready for the
// module to fill in its other slots (each through kn::guarded) before
// PyType_Ready.  Types are subclassable; `gc` makes them tracked by the
// cyclic collector.
template <newfunc New>
inline PyTypeObject static_type(const char* name, Py_ssize_t basicsize, const char* doc,
                                PyMethodDef* methods, bool gc) {
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
    t.tp_new = guarded<New>;
    return t;
}

// Publishes a native operation table for other extension modules: a capsule
// named `capsule_name` holding `table`, stored in the type's dictionary as
// "__kestrun_ops__" (see kestrun/ops.h for how native callers fetch it).
// The capsule's context is the type itself, so that an importer can tell the
// genuine type from a class the capsule was copied onto.  Static types only:
// the context is not a reference.
inline bool publish_ops(PyTypeObject& type, const void* table, const char* capsule_name) {
    Ref capsule = Ref::steal(PyCapsule_New(const_cast<void*>(table), capsule_name, nullptr));
    if (!capsule || PyCapsule_SetContext(capsule.get(), &type) < 0 ||
        PyDict_SetItemString(type.tp_dict, "__kestrun_ops__", capsule.get()) < 0)
        return false;
    PyType_Modified(&type);
    return true;
}

}  // namespace kn
