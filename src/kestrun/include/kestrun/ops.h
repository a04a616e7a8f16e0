/* Fetching a native operation table that a kestrun extension type publishes.
 *
 * A type with a table stores it as a capsule under KESTRUN_OPS_ATTR in its
 * dictionary; the capsule's name is "<module>.<Type>.__kestrun_ops__".  The
 * per-module headers (kestrun/syncore.h, kestrun/jit_governor.h) wrap this
 * in one typed import function per table.
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
 * exception set.  The type reference is new. */
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
    Py_DECREF(capsule);
    if (table == NULL) {
        Py_DECREF(t);
        return -1;
    }
    *type = (PyTypeObject*)t;
    *ops = table;
    return 0;
}

#ifdef __cplusplus
}
#endif

#endif /* KESTRUN_OPS_H */
