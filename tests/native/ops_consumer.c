/* Another extension module, in C, built by the tests against the package's
 * public headers only (kestrun.get_include()), as a user's module would be:
 * it fetches the published operation tables and drives instances with them. */
#include <Python.h>
#include <string.h>

#include "kestrun/jit_governor.h"
#include "kestrun/syncore.h"

/* counter_add(counter, n): n increments through the counter's native table;
 * returns the final value. */
static PyObject* counter_add(PyObject* self, PyObject* args) {
    PyObject* counter;
    long long n;
    PyTypeObject* type;
    const KestrunAtomicCounterOps* ops;
    (void)self;
    if (!PyArg_ParseTuple(args, "OL", &counter, &n)) return NULL;
    if (Kestrun_ImportAtomicCounter(&type, &ops) < 0) return NULL;
    int ok = PyObject_TypeCheck(counter, type);
    Py_DECREF(type);
    if (!ok) {
        PyErr_SetString(PyExc_TypeError, "not an AtomicCounter");
        return NULL;
    }
    int64_t value = ops->_c_load(counter);
    for (long long i = 0; i < n; ++i)
        value = ops->_c_increment(counter, NULL);
    return PyLong_FromLongLong(value);
}

/* config_fields(config): the five fields of a PolicyConfig through its table. */
static PyObject* config_fields(PyObject* self, PyObject* config) {
    PyTypeObject* type;
    const KestrunPolicyConfigOps* ops;
    (void)self;
    if (Kestrun_ImportPolicyConfig(&type, &ops) < 0) return NULL;
    int ok = PyObject_TypeCheck(config, type);
    Py_DECREF(type);
    if (!ok) {
        PyErr_SetString(PyExc_TypeError, "not a PolicyConfig");
        return NULL;
    }
    return Py_BuildValue("(iiidd)", ops->get_initial_threshold_fast(config),
                         ops->get_min_threshold_fast(config), ops->get_max_threshold_fast(config),
                         ops->get_learning_rate_fast(config), ops->get_target_speedup_fast(config));
}

/* import_table(name): the type that the import function of the table
 * `name` returns. */
static PyObject* import_table(PyObject* self, PyObject* name) {
    PyTypeObject* type = NULL;
    const void* ops;
    (void)self;
    const char* text = PyUnicode_AsUTF8(name);
    if (text == NULL) return NULL;
    int rc;
    if (strcmp(text, "AtomicCounter") == 0)
        rc = Kestrun_ImportAtomicCounter(&type, (const KestrunAtomicCounterOps**)&ops);
    else if (strcmp(text, "LockFreeStatistics") == 0)
        rc = Kestrun_ImportStatistics(&type, (const KestrunStatisticsOps**)&ops);
    else if (strcmp(text, "PolicyConfig") == 0)
        rc = Kestrun_ImportPolicyConfig(&type, (const KestrunPolicyConfigOps**)&ops);
    else if (strcmp(text, "FunctionMetrics") == 0)
        rc = Kestrun_ImportFunctionMetrics(&type, (const KestrunFunctionMetricsOps**)&ops);
    else if (strcmp(text, "JitGovernor") == 0)
        rc = Kestrun_ImportJitGovernor(&type, (const KestrunJitGovernorOps**)&ops);
    else {
        PyErr_SetString(PyExc_ValueError, "no such table");
        return NULL;
    }
    return rc < 0 ? NULL : (PyObject*)type;
}

static PyMethodDef methods[] = {
    {"counter_add", counter_add, METH_VARARGS, NULL},
    {"import_table", import_table, METH_O, NULL},
    {"config_fields", config_fields, METH_O, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "ops_consumer", NULL, -1, methods, NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_ops_consumer(void) { return PyModule_Create(&module); }
