/* Fetching a native operation table that a kestrun extension type publishes.
 *
 * A type with a table stores it as a capsule under KESTRUN_OPS_ATTR in its
 * dictionary; the capsule's name is "<module>.<Type>.__kestrun_ops__" and its
 * context is the type the table belongs to.  The per-module headers
 * (kestrun/syncore.h, kestrun/jit_governor.h) wrap this in one typed import
 * function per table.
 *
 * A module attribute can be replaced from Python, and a capsule copied onto
 * any class, so the import trusts neither: it hands back the type named by
 * the capsule's context, and only when the attribute is that type or a
 * subclass of it.  Check every object with PyObject_TypeCheck(obj, type)
 * against the type returned before passing it to the table.
 */
#ifndef KESTRUN_OPS_H
#define KESTRUN_OPS_H

#include <Python.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Name of the capsule attribute in each type's dictionary. */
#define KESTRUN_OPS_ATTR "__kestrun_ops__"

/* Imports `module_name`, fetches its attribute `type_name` and that type's
 * table from the capsule named `capsule_name`; 0 on success, -1 with an
 * exception set (TypeError when the attribute is not the type the table
 * belongs to, nor a subclass of it).  `type` receives a new reference to the
 * type the table belongs to. */
static inline int Kestrun_ImportTypeOps(const char* module_name, const char* type_name,
                                        const char* capsule_name, PyTypeObject** type,
                                        const void** ops) {
    PyObject* module = PyImport_ImportModule(module_name);
    if (module == NULL) return -1;
    PyObject* t = PyObject_GetAttrString(module, type_name);
    Py_DECREF(module);
    if (t == NULL) return -1;
    if (!PyType_Check(t)) {
        Py_DECREF(t);
        PyErr_Format(PyExc_TypeError, "%s is not a type", type_name);
        return -1;
    }
    PyObject* capsule = PyObject_GetAttrString(t, KESTRUN_OPS_ATTR);
    if (capsule == NULL) {
        Py_DECREF(t);
        return -1;
    }
    const void* table = PyCapsule_GetPointer(capsule, capsule_name);
    /* The owner is a static type of the publishing module: it outlives the
     * capsule and every copy of it. */
    PyTypeObject* owner = table == NULL ? NULL : (PyTypeObject*)PyCapsule_GetContext(capsule);
    Py_DECREF(capsule);
    if (table == NULL || (owner == NULL && PyErr_Occurred())) {
        Py_DECREF(t);
        return -1;
    }
    if (owner == NULL || !PyType_IsSubtype((PyTypeObject*)t, owner)) {
        Py_DECREF(t);
        PyErr_Format(PyExc_TypeError,
                     "%s.%s is not the type its " KESTRUN_OPS_ATTR " table belongs to", module_name,
                     type_name);
        return -1;
    }
    Py_DECREF(t);
    Py_INCREF(owner);
    *type = owner;
    *ops = table;
    return 0;
}

#ifdef __cplusplus
}
#endif

#endif /* KESTRUN_OPS_H */
