// The floor for the free-block tree's benchmark: the leanest binding of
// std::multimap<uint64_t, PyObject*> with the tree's operations, built by
// bench_spanwood.py at run time.  No locks, no statistics, no validation
// beyond the size conversion: what a tree costs at the least.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <map>
#include <new>

namespace {

using Map = std::multimap<uint64_t, PyObject*>;

struct FloorObject {
    PyObject_HEAD
    Map* map;
};

Map& map_of(PyObject* self) { return *reinterpret_cast<FloorObject*>(self)->map; }

bool size_arg(PyObject* o, uint64_t* out) {
    *out = PyLong_AsUnsignedLongLong(o);
    return !(*out == static_cast<uint64_t>(-1) && PyErr_Occurred());
}

PyObject* floor_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    reinterpret_cast<FloorObject*>(self)->map = new (std::nothrow) Map();
    if (!reinterpret_cast<FloorObject*>(self)->map) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return self;
}

void floor_dealloc(PyObject* self) {
    if (Map* m = reinterpret_cast<FloorObject*>(self)->map) {
        for (auto& kv : *m)
            Py_DECREF(kv.second);
        delete m;
    }
    Py_TYPE(self)->tp_free(self);
}

PyObject* floor_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    uint64_t size;
    if (nargs != 2 || !size_arg(args[0], &size)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "insert(size, block)");
        return nullptr;
    }
    map_of(self).emplace(size, Py_NewRef(args[1]));
    Py_RETURN_TRUE;
}

PyObject* floor_find_best_fit(PyObject* self, PyObject* arg) {
    uint64_t size;
    if (!size_arg(arg, &size)) return nullptr;
    Map& m = map_of(self);
    auto it = m.lower_bound(size);
    return Py_NewRef(it == m.end() ? Py_None : it->second);
}

PyObject* floor_remove_ge(PyObject* self, PyObject* arg) {
    uint64_t size;
    if (!size_arg(arg, &size)) return nullptr;
    Map& m = map_of(self);
    auto it = m.lower_bound(size);
    if (it == m.end()) return Py_BuildValue("(OO)", Py_None, Py_None);
    PyObject* key = PyLong_FromUnsignedLongLong(it->first);
    if (!key) return nullptr;
    PyObject* block = it->second;
    m.erase(it);
    PyObject* result = PyTuple_New(2);
    if (!result) {
        Py_DECREF(key);
        Py_DECREF(block);
        return nullptr;
    }
    PyTuple_SET_ITEM(result, 0, key);
    PyTuple_SET_ITEM(result, 1, block);
    return result;
}

Py_ssize_t floor_len(PyObject* self) { return static_cast<Py_ssize_t>(map_of(self).size()); }

PyMethodDef floor_methods[] = {
    {"insert", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(floor_insert)),
     METH_FASTCALL, nullptr},
    {"find_best_fit", floor_find_best_fit, METH_O, nullptr},
    {"remove_ge", floor_remove_ge, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PySequenceMethods floor_as_sequence = {};
PyTypeObject FloorType = {PyVarObject_HEAD_INIT(nullptr, 0)};

PyModuleDef floor_module = {PyModuleDef_HEAD_INIT, "floor_multimap", nullptr, -1};

}  // namespace

PyMODINIT_FUNC PyInit_floor_multimap() {
    floor_as_sequence.sq_length = floor_len;
    FloorType.tp_name = "floor_multimap.MultimapTree";
    FloorType.tp_basicsize = sizeof(FloorObject);
    FloorType.tp_flags = Py_TPFLAGS_DEFAULT;
    FloorType.tp_new = floor_new;
    FloorType.tp_dealloc = floor_dealloc;
    FloorType.tp_methods = floor_methods;
    FloorType.tp_as_sequence = &floor_as_sequence;
    if (PyType_Ready(&FloorType) < 0) return nullptr;
    PyObject* m = PyModule_Create(&floor_module);
    if (!m) return nullptr;
    if (PyModule_AddObjectRef(m, "MultimapTree", reinterpret_cast<PyObject*>(&FloorType)) < 0) {
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}
