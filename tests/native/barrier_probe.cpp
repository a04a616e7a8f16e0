// A module built by the tests from the shared native layer alone, whose
// entry points throw C++ exceptions on purpose: it shows that the exception
// barrier turns each one into a Python exception, and that a module whose
// set-up failed can be imported again.
#include "kestrun_native.hpp"

#include <new>
#include <stdexcept>

namespace {

kn::ModuleFrame frame{"barrier_probe", "barrier_probe"};

constexpr kn::Signature<1> kThrowSig{"throw_", {"kind"}, 1};

// throw_(kind): "bad_alloc", "runtime_error", "int", or anything else to
// return None.  (A real failed allocation would do for bad_alloc, but under
// AddressSanitizer a failing operator new aborts instead of throwing.)
PyObject* throw_(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> a;
    if (!kn::bind(kThrowSig, args, nargs, kwnames, a) ||
        !kn::check_exact(a[0], &PyUnicode_Type, "kind"))
        return nullptr;
    if (PyUnicode_CompareWithASCIIString(a[0], "bad_alloc") == 0) throw std::bad_alloc();
    if (PyUnicode_CompareWithASCIIString(a[0], "runtime_error") == 0)
        throw std::runtime_error("probe failure");
    if (PyUnicode_CompareWithASCIIString(a[0], "int") == 0) throw 42;
    return kn::none();
}

PyObject* probe_new(PyTypeObject*, PyObject*, PyObject*) { throw std::bad_alloc(); }

PyTypeObject ProbeType;

PyMethodDef methods[] = {
    kn::def<throw_>("throw_", "throw_($module, /, kind)\n--\n\nThrows the C++ exception named."),
    kn::kEndOfMethods,
};

int probe_exec(PyObject* module) {
    // The first set-up fails with a C++ exception; the next one succeeds.
    static int attempts = 0;
    if (attempts++ == 0) throw std::bad_alloc();
    if (!kn::ready_type_once(ProbeType,
                             [](PyTypeObject& t) {
                                 t = kn::static_type<probe_new>("barrier_probe.Probe",
                                                                sizeof(PyObject), nullptr, nullptr,
                                                                false);
                             }) ||
        PyModule_AddObjectRef(module, "Probe", reinterpret_cast<PyObject*>(&ProbeType)) < 0 ||
        !kn::add_functions(module, methods))
        return -1;
    return 0;
}

}  // namespace

KN_DEFINE_MODULE(barrier_probe, frame, "Exception-barrier probe.", probe_exec)
