// kestrun.native.hostprobe: what the host offers the package's runtime.
//
//   detect_physical_cores   CPUs this process may run on
//   detect_numa_nodes       NUMA nodes of the machine
//   detect_gpu_backends     GPU back-ends, through the package's back-end
//                           registry (kestrun.gpu.accel_roster), else the
//                           nvidia-smi tool (at most 16 KiB of its output
//                           read, only device-name lines counted)
//   detect_python_version   interpreter version, sub-interpreter support
//   detect_capabilities     all of them in one flat dictionary; an ordinary
//                           error gives a fallback dictionary, never a raise
//
// Nothing is kept between calls: every call probes afresh.  The functions
// reach `os`, `sys`, `time` and one another through the module's globals at
// call time, exactly as Python code would, so replacing a module global (or
// patching `os.listdir`) changes what the next call sees.  Imports go through
// the import statement's rules, so a replaced builtins.__import__ or a module
// planted in sys.modules is honoured.
#include "kestrun_native.hpp"
#include "unpack.hpp"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

namespace {

kn::ModuleFrame frame{"hostprobe", "kestrun.native.hostprobe"};

// ---------------------------------------------------------------- Names

// Interned strings used as attribute names, dictionary keys and constant
// texts; created once per process and never freed.
// clang-format off
#define HOSTPROBE_NAMES(X)                                                                      \
    X(kOs, "os") X(kSys, "sys") X(kTime, "time") X(kPath, "path") X(kExists, "exists")          \
    X(kListdir, "listdir") X(kSchedGetaffinity, "sched_getaffinity") X(kCpuCount, "cpu_count")  \
    X(kPlatform, "platform") X(kPerfCounter, "perf_counter") X(kVersionInfo, "version_info")    \
    X(kMajor, "major") X(kMinor, "minor") X(kMicro, "micro") X(kImportHook, "__import__")       \
    /* the module's own functions, looked up as globals */                                      \
    X(kDetectPhysicalCores, "detect_physical_cores") X(kDetectNumaNodes, "detect_numa_nodes")   \
    X(kDetectGpuBackends, "detect_gpu_backends")                                                \
    X(kDetectPythonVersion, "detect_python_version")                                            \
    /* the back-end registry */                                                                 \
    X(kRosterModule, "kestrun.gpu.accel_roster")                                                \
    X(kDetectAvailableBackends, "detect_available_backends")                                    \
    X(kGetBestAvailable, "get_best_available") X(kCUDA, "CUDA") X(kROCm, "ROCm")                \
    X(kOneAPI, "oneAPI") X(kInfo, "info") X(kKind, "kind") X(kValue, "value")                   \
    X(kVersion, "version") X(kDeviceCount, "device_count") X(kMemoryGb, "memory_gb")            \
    /* the external tool */                                                                     \
    X(kSubprocess, "subprocess") X(kRun, "run") X(kReturncode, "returncode")                    \
    X(kDevnull, "DEVNULL") X(kPipe, "pipe") X(kClose, "close") X(kRead, "read")                 \
    X(kSetBlocking, "set_blocking") X(kStrip, "strip") X(kIsprintable, "isprintable")           \
    X(kNoDevices, "No devices were found")                                                      \
    /* the Windows NUMA query */                                                                \
    X(kCtypes, "ctypes") X(kWinDLL, "WinDLL") X(kKernel32, "kernel32")                          \
    X(kGetNumaHighestNodeNumber, "GetNumaHighestNodeNumber") X(kRestype, "restype")             \
    X(kArgtypes, "argtypes") X(kBOOL, "BOOL") X(kPOINTER, "POINTER") X(kCUlong, "c_ulong")      \
    X(kByref, "byref")                                                                          \
    /* other imports and texts */                                                               \
    X(kSubinterpreters, "_xxsubinterpreters") X(kNodeDir, "/sys/devices/system/node")           \
    X(kLinux, "linux") X(kWin32, "win32") X(kCpu, "cpu") X(kEmpty, "") X(kNative, "native")     \
    X(kNativeFallback, "native_fallback")                                                       \
    /* GPU information keys, in the dictionary's order */                                       \
    X(kHasGpu, "has_gpu") X(kGpuCount, "gpu_count") X(kGpuMemoryMb, "gpu_memory_mb")            \
    X(kCudaAvailable, "cuda_available") X(kRocmAvailable, "rocm_available")                     \
    X(kOneapiAvailable, "oneapi_available") X(kActiveBackend, "active_backend")                 \
    X(kBackendVersion, "backend_version")                                                       \
    /* the remaining capability keys */                                                         \
    X(kPhysicalCores, "physical_cores") X(kNumaNodes, "numa_nodes")                             \
    X(kPythonVersion, "python_version") X(kSubinterpreterSupport, "subinterpreter_support")     \
    X(kDetectedAt, "detected_at") X(kDetector, "detector") X(kError, "error")                   \
    X(kDetectionTimeMs, "detection_time_ms")
// clang-format on

#define HOSTPROBE_ID(id, text) id,
#define HOSTPROBE_TEXT(id, text) text,
enum Name : int { HOSTPROBE_NAMES(HOSTPROBE_ID) kNameCount };
constexpr const char* kNameText[kNameCount] = {HOSTPROBE_NAMES(HOSTPROBE_TEXT)};
#undef HOSTPROBE_ID
#undef HOSTPROBE_TEXT

PyObject* names[kNameCount] = {};

inline PyObject* N(Name n) noexcept { return names[n]; }

// Other constants, built once per process.
PyObject* g_int_zero = nullptr;        // 0
PyObject* g_int_one = nullptr;         // 1
PyObject* g_int_1024 = nullptr;        // 1024
PyObject* g_version_3_12 = nullptr;    // (3, 12)
PyObject* g_roster_names = nullptr;    // ("GPUAccelRoster", "GPUBackendKind")
PyObject* g_wintypes_names = nullptr;  // ("wintypes",)
PyObject* g_tool_timeout = nullptr;    // 0.5
PyObject* g_tool_kwnames = nullptr;    // ("stdin", "stdout", "stderr", "timeout", "check")
PyObject* g_windll_kwnames = nullptr;  // ("use_last_error",)

// The GPU information keys in the dictionary's order, and their initial values.
constexpr Name kGpuKeys[] = {kHasGpu,        kGpuCount,        kGpuMemoryMb,   kCudaAvailable,
                             kRocmAvailable, kOneapiAvailable, kActiveBackend, kBackendVersion};

PyObject* gpu_initial_value(Name key) {
    switch (key) {
    case kGpuCount:
    case kGpuMemoryMb:
        return g_int_zero;
    case kActiveBackend:
        return N(kCpu);
    case kBackendVersion:
        return N(kEmpty);
    default:
        return Py_False;
    }
}

// ---------------------------------------------------------------- Helpers

// Whether the pending exception is an ordinary one (`except Exception`);
// such an exception is cleared.  Anything else (KeyboardInterrupt,
// SystemExit) stays pending for the caller to pass on.
bool caught_exception() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

// The builtins the calling code sees (those of the running frame, else the
// interpreter's).  Borrowed.
PyObject* builtins() { return PyEval_GetBuiltins(); }

// A module global looked up at call time, then the builtins, as a name in a
// Python function would be; NameError when neither has it.
kn::Ref global(PyObject* module, Name name) {
    PyObject* value = nullptr;
    int found = PyDict_GetItemRef(PyModule_GetDict(module), N(name), &value);
    if (found == 0) {
        PyObject* b = builtins();
        found = b ? PyDict_GetItemRef(b, N(name), &value) : 0;
    }
    if (found == 0) PyErr_Format(PyExc_NameError, "name '%U' is not defined", N(name));
    return kn::Ref::steal(value);
}

kn::Ref attr(PyObject* o, Name name) { return kn::Ref::steal(PyObject_GetAttr(o, N(name))); }

kn::Ref call0(PyObject* callable) { return kn::Ref::steal(PyObject_CallNoArgs(callable)); }

kn::Ref call1(PyObject* callable, PyObject* arg) {
    return kn::Ref::steal(PyObject_CallOneArg(callable, arg));
}

kn::Ref call_method0(PyObject* o, Name name) {
    PyObject* args[] = {o};
    return kn::Ref::steal(
        PyObject_VectorcallMethod(N(name), args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// A no-argument call of the module global `name`: `name()`.
kn::Ref call_global(PyObject* module, Name name) {
    kn::Ref fn = global(module, name);
    return fn ? call0(fn.get()) : kn::Ref();
}

bool set(PyObject* dict, Name key, PyObject* value) {
    return value && PyDict_SetItem(dict, N(key), value) == 0;
}

// Whether `fn` is the interpreter's own __import__ (the one of the builtins
// module whose dictionary is `builtins_dict`) rather than a replacement.
bool is_builtin_import(PyObject* fn, PyObject* builtins_dict) {
    if (!PyCFunction_Check(fn)) return false;
    PyObject* self = PyCFunction_GET_SELF(fn);
    return self && PyModule_Check(self) && PyModule_GetDict(self) == builtins_dict &&
           std::strcmp(reinterpret_cast<PyCFunctionObject*>(fn)->m_ml->ml_name, "__import__") == 0;
}

// `import <name>` (fromlist nullptr) or `from <name> import <fromlist...>`
// (which returns the module itself) as the import statement does it: the
// import system directly, unless builtins.__import__ has been replaced, in
// which case the replacement is called as the statement would call it.
kn::Ref import_module(PyObject* module, Name name, PyObject* fromlist) {
    PyObject* globals = PyModule_GetDict(module);
    PyObject* hook = nullptr;
    PyObject* b = builtins();
    if (b && PyDict_GetItemRef(b, N(kImportHook), &hook) < 0) return kn::Ref();
    kn::Ref import_fn = kn::Ref::steal(hook);
    if (!import_fn) {
        PyErr_SetString(PyExc_ImportError, "__import__ not found");
        return kn::Ref();
    }
    PyObject* from = fromlist ? fromlist : Py_None;
    if (is_builtin_import(import_fn.get(), b))
        return kn::Ref::steal(PyImport_ImportModuleLevelObject(N(name), globals, Py_None, from, 0));
    PyObject* args[] = {N(name), globals, Py_None, from, g_int_zero};
    return kn::Ref::steal(PyObject_Vectorcall(import_fn.get(), args, 5, nullptr));
}

// `from <name> import a, b, ...` into `out`, in the order of `fromlist`.
template <std::size_t K>
bool import_from(PyObject* module, Name name, PyObject* fromlist, std::array<kn::Ref, K>& out) {
    kn::Ref mod = import_module(module, name, fromlist);
    if (!mod) return false;
    for (std::size_t i = 0; i < K; ++i) {
        PyObject* item = PyTuple_GET_ITEM(fromlist, static_cast<Py_ssize_t>(i));
        out[i] = kn::Ref::steal(PyObject_GetAttr(mod.get(), item));
        if (!out[i]) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%U'", item, N(name));
            return false;
        }
    }
    return true;
}

// A count as an int of at least 1: `n` goes through the integer protocol
// (a float truncates, a str is refused), and anything below 1 counts as 1.
kn::Ref count_at_least_one(PyObject* n) {
    kn::Ref i = kn::detail::integer_of(n);
    if (i && !PyLong_CheckExact(i.get()))
        i = kn::Ref::steal(PyNumber_Long(i.get()));  // bool -> int
    if (!i) return i;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(i.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return kn::Ref();
    if (overflow > 0 || (overflow == 0 && v >= 1)) return i;
    return kn::Ref::borrow(g_int_one);
}

// The pending exception as one normalised object, taken out of the error
// indicator; and its converse.
kn::Ref take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return kn::Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return kn::Ref::steal(value);
#endif
}

void restore_exception(kn::Ref exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release());
#else
    PyObject* value = exc.release();
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value,
                  PyException_GetTraceback(value));
#endif
}

// The pending exception gets `context` as its __context__, as an exception
// raised inside an `except` block does.
void chain_context(PyObject* context) {
    kn::Ref exc = take_exception();
    if (!exc) return;
    if (exc.get() != context) PyException_SetContext(exc.get(), Py_NewRef(context));
    restore_exception(std::move(exc));
}

// ---------------------------------------------------------------- Cores and NUMA nodes

// os.cpu_count() as a count of at least 1; an error counts as 1.
kn::Ref cpu_count_or_one(PyObject* module) {
    kn::Ref os = global(module, kOs);
    kn::Ref fn = os ? attr(os.get(), kCpuCount) : kn::Ref();
    kn::Ref n = fn ? call0(fn.get()) : kn::Ref();
    if (n) {
        const int truth = PyObject_IsTrue(n.get());
        if (truth == 0) return kn::Ref::borrow(g_int_one);
        n = truth > 0 ? count_at_least_one(n.get()) : kn::Ref();
    }
    if (!n && caught_exception()) return kn::Ref::borrow(g_int_one);
    return n;  // empty only for an exception that is not an Exception
}

// The usable CPUs: the process's affinity set where the platform has one,
// else os.cpu_count().
kn::Ref physical_cores(PyObject* module) {
    kn::Ref os = global(module, kOs);
    if (!os) return os;
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttr(os.get(), N(kSchedGetaffinity), &found) < 0) return kn::Ref();
    kn::Ref affinity_fn = kn::Ref::steal(found);
    if (affinity_fn) {
        kn::Ref cpus = call1(affinity_fn.get(), g_int_zero);
        if (!cpus) return cpus;
        const Py_ssize_t n = PyObject_Size(cpus.get());
        if (n < 0) return kn::Ref();
        return kn::Ref::steal(PyLong_FromSsize_t(n < 1 ? 1 : n));
    }
    kn::Ref fn = attr(os.get(), kCpuCount);
    kn::Ref n = fn ? call0(fn.get()) : kn::Ref();
    if (!n) return n;
    const int truth = PyObject_IsTrue(n.get());
    if (truth < 0) return kn::Ref();
    return truth ? count_at_least_one(n.get()) : kn::Ref::borrow(g_int_one);
}

PyObject* detect_physical_cores(PyObject* module, PyObject*) {
    kn::Ref cores = physical_cores(module);
    if (!cores && caught_exception()) cores = cpu_count_or_one(module);
    return cores.release();
}

// An entry of the node directory that names a node: "node" followed by one
// or more digits (as str.isdigit() sees them).  1 yes, 0 no, -1 error.
int is_node_entry(PyObject* entry) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(entry) < 0) return -1;
#endif
    const Py_ssize_t n = PyUnicode_GET_LENGTH(entry);
    if (n <= 4) return 0;
    const int kind = PyUnicode_KIND(entry);
    const void* data = PyUnicode_DATA(entry);
    static constexpr char prefix[] = "node";
    for (Py_ssize_t i = 0; i < 4; ++i)
        if (PyUnicode_READ(kind, data, i) != static_cast<Py_UCS4>(prefix[i])) return 0;
    for (Py_ssize_t i = 4; i < n; ++i)
        if (!Py_UNICODE_ISDIGIT(PyUnicode_READ(kind, data, i))) return 0;
    return 1;
}

// Linux: the node entries of the NUMA directory, or 1 when the directory is
// missing or names no node.  Empty with an exception set on error.
kn::Ref linux_numa_nodes(PyObject* module) {
    kn::Ref os = global(module, kOs);
    kn::Ref path = os ? attr(os.get(), kPath) : kn::Ref();
    kn::Ref exists_fn = path ? attr(path.get(), kExists) : kn::Ref();
    kn::Ref exists = exists_fn ? call1(exists_fn.get(), N(kNodeDir)) : kn::Ref();
    if (!exists) return exists;
    const int there = PyObject_IsTrue(exists.get());
    if (there < 0) return kn::Ref();
    if (!there) return kn::Ref::borrow(g_int_one);
    // `os` again, as the statement that lists the directory would look it up.
    os = global(module, kOs);
    kn::Ref listdir = os ? attr(os.get(), kListdir) : kn::Ref();
    kn::Ref entries = listdir ? call1(listdir.get(), N(kNodeDir)) : kn::Ref();
    kn::Ref it = entries ? kn::Ref::steal(PyObject_GetIter(entries.get())) : kn::Ref();
    if (!it) return it;
    Py_ssize_t nodes = 0;
    while (kn::Ref entry = kn::Ref::steal(PyIter_Next(it.get()))) {
        if (!PyUnicode_Check(entry.get())) {
            PyErr_Format(PyExc_TypeError, "directory entry is not a str: %.200s",
                         Py_TYPE(entry.get())->tp_name);
            return kn::Ref();
        }
        const int node = is_node_entry(entry.get());
        if (node < 0) return kn::Ref();
        nodes += node;
    }
    if (PyErr_Occurred()) return kn::Ref();
    return kn::Ref::steal(PyLong_FromSsize_t(nodes ? nodes : 1));
}

// Windows: kernel32's GetNumaHighestNodeNumber through ctypes; the highest
// node number plus one, or 1 when the call reports failure.
kn::Ref windows_numa_nodes(PyObject* module) {
    kn::Ref ctypes = import_module(module, kCtypes, nullptr);
    std::array<kn::Ref, 1> wintypes;
    if (!ctypes || !import_from(module, kCtypes, g_wintypes_names, wintypes)) return kn::Ref();
    kn::Ref windll = attr(ctypes.get(), kWinDLL);
    if (!windll) return windll;
    PyObject* dll_args[] = {N(kKernel32), Py_True};
    kn::Ref kernel32 =
        kn::Ref::steal(PyObject_Vectorcall(windll.get(), dll_args, 1, g_windll_kwnames));
    kn::Ref fn = kernel32 ? attr(kernel32.get(), kGetNumaHighestNodeNumber) : kn::Ref();
    kn::Ref restype = fn ? attr(wintypes[0].get(), kBOOL) : kn::Ref();
    if (!restype || PyObject_SetAttr(fn.get(), N(kRestype), restype.get()) < 0) return kn::Ref();
    kn::Ref pointer = attr(ctypes.get(), kPOINTER);
    kn::Ref c_ulong = pointer ? attr(ctypes.get(), kCUlong) : kn::Ref();
    kn::Ref ulong_ptr = c_ulong ? call1(pointer.get(), c_ulong.get()) : kn::Ref();
    kn::Ref argtypes = ulong_ptr ? kn::Ref::steal(PyList_New(1)) : kn::Ref();
    if (!argtypes) return argtypes;
    PyList_SET_ITEM(argtypes.get(), 0, ulong_ptr.release());
    if (PyObject_SetAttr(fn.get(), N(kArgtypes), argtypes.get()) < 0) return kn::Ref();
    kn::Ref highest = call0(c_ulong.get());
    kn::Ref byref = highest ? attr(ctypes.get(), kByref) : kn::Ref();
    kn::Ref ref = byref ? call1(byref.get(), highest.get()) : kn::Ref();
    kn::Ref ok = ref ? call1(fn.get(), ref.get()) : kn::Ref();
    if (!ok) return ok;
    const int success = PyObject_IsTrue(ok.get());
    if (success < 0) return kn::Ref();
    if (!success) return kn::Ref::borrow(g_int_one);
    kn::Ref value = attr(highest.get(), kValue);
    kn::Ref nodes = value ? kn::Ref::steal(PyNumber_Add(value.get(), g_int_one)) : kn::Ref();
    return nodes ? count_at_least_one(nodes.get()) : kn::Ref();
}

kn::Ref numa_nodes(PyObject* module) {
    kn::Ref sys = global(module, kSys);
    kn::Ref platform = sys ? attr(sys.get(), kPlatform) : kn::Ref();
    if (!platform) return platform;
    int is = PyObject_RichCompareBool(platform.get(), N(kLinux), Py_EQ);
    if (is < 0) return kn::Ref();
    if (is) return linux_numa_nodes(module);
    is = PyObject_RichCompareBool(platform.get(), N(kWin32), Py_EQ);
    if (is < 0) return kn::Ref();
    if (!is) return kn::Ref::borrow(g_int_one);
    kn::Ref nodes = windows_numa_nodes(module);
    if (!nodes && caught_exception()) return kn::Ref::borrow(g_int_one);
    return nodes;
}

PyObject* detect_numa_nodes(PyObject* module, PyObject*) {
    kn::Ref nodes = numa_nodes(module);
    if (!nodes && caught_exception()) return Py_NewRef(g_int_one);
    return nodes.release();
}

// ---------------------------------------------------------------- GPU back-ends

// The back-end registry's view, stored into `info` as it is learnt; on an
// error `info` keeps what was stored before it.
bool probe_roster(PyObject* module, PyObject* info) {
    std::array<kn::Ref, 2> imported;
    if (!import_from(module, kRosterModule, g_roster_names, imported)) return false;
    PyObject* roster = imported[0].get();
    PyObject* kinds = imported[1].get();
    kn::Ref backends = call_method0(roster, kDetectAvailableBackends);
    if (!backends) return false;
    const std::pair<Name, Name> flags[] = {
        {kCUDA, kCudaAvailable}, {kROCm, kRocmAvailable}, {kOneAPI, kOneapiAvailable}};
    for (const auto& [member, key] : flags) {
        kn::Ref kind = attr(kinds, member);
        const int present = kind ? PySequence_Contains(backends.get(), kind.get()) : -1;
        if (present < 0 || !set(info, key, present ? Py_True : Py_False)) return false;
    }
    kn::Ref best = call_method0(roster, kGetBestAvailable);
    kn::Ref best_info = best ? attr(best.get(), kInfo) : kn::Ref();
    // The kind is read once: the back-end named active is the one counted.
    kn::Ref kind = best_info ? attr(best_info.get(), kKind) : kn::Ref();
    kn::Ref value = kind ? attr(kind.get(), kValue) : kn::Ref();
    if (!set(info, kActiveBackend, value.get())) return false;
    kn::Ref version = attr(best_info.get(), kVersion);
    if (!set(info, kBackendVersion, version.get())) return false;
    const int has_gpu = PyObject_RichCompareBool(value.get(), N(kCpu), Py_NE);
    if (has_gpu < 0 || !set(info, kHasGpu, has_gpu ? Py_True : Py_False)) return false;
    if (!has_gpu) return true;
    const int listed = PySequence_Contains(backends.get(), kind.get());
    if (listed <= 0) return listed == 0;
    kn::Ref backend = kn::Ref::steal(PyObject_GetItem(backends.get(), kind.get()));
    kn::Ref count = backend ? attr(backend.get(), kDeviceCount) : kn::Ref();
    if (!set(info, kGpuCount, count.get())) return false;
    kn::Ref memory_gb = attr(backend.get(), kMemoryGb);
    kn::Ref mib =
        memory_gb ? kn::Ref::steal(PyNumber_Multiply(memory_gb.get(), g_int_1024)) : kn::Ref();
    kn::Ref mb = mib ? kn::Ref::steal(PyNumber_Long(mib.get())) : kn::Ref();
    return set(info, kGpuMemoryMb, mb.get());
}

// The tool's output is read up to this many bytes: ample for a device list
// (64 names of 256 characters), so more than that is not one.
constexpr Py_ssize_t kToolOutputLimit = 16 * 1024;
// The longest line taken as a device name, in characters.
constexpr Py_ssize_t kDeviceNameLimit = 256;

// os.close(fd) as a `finally` clause runs it: an exception already pending
// stays pending, unless closing raises too, whose error then takes its place
// with the first as its context.  True when no exception is pending after.
bool close_fd(PyObject* close, PyObject* fd) {
    kn::Ref pending = PyErr_Occurred() ? take_exception() : kn::Ref();
    kn::Ref closed = call1(close, fd);
    if (!closed) {
        if (pending) chain_context(pending.get());
        return false;
    }
    if (!pending) return true;
    restore_exception(std::move(pending));
    return false;
}

// Appends to `out` what the pipe `fd` holds, up to kToolOutputLimit + 1
// bytes, without waiting: it stops at the end of the output, or where the
// pipe is empty but still held open (by a process the tool left behind).
bool read_pipe(PyObject* os, PyObject* fd, std::string& out) {
    kn::Ref read = attr(os, kRead);
    if (!read) return false;
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttr(os, N(kSetBlocking), &found) < 0) return false;
    if (kn::Ref set_blocking = kn::Ref::steal(found)) {
        PyObject* args[] = {fd, Py_False};
        if (!kn::Ref::steal(PyObject_Vectorcall(set_blocking.get(), args, 2, nullptr)))
            return false;
    }
    while (static_cast<Py_ssize_t>(out.size()) <= kToolOutputLimit) {
        kn::Ref want = kn::Ref::steal(
            PyLong_FromSsize_t(kToolOutputLimit + 1 - static_cast<Py_ssize_t>(out.size())));
        PyObject* args[] = {fd, want.get()};
        kn::Ref chunk =
            want ? kn::Ref::steal(PyObject_Vectorcall(read.get(), args, 2, nullptr)) : kn::Ref();
        if (!chunk) {
            if (!PyErr_ExceptionMatches(PyExc_BlockingIOError)) return false;
            PyErr_Clear();
            return true;
        }
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(chunk.get(), &data, &size) < 0) return false;
        if (size == 0) return true;
        out.append(data, static_cast<std::size_t>(size));
    }
    return true;
}

// Runs nvidia-smi with its standard output on a pipe of ours and its other
// streams on the null device, and reads the pipe once the tool has ended.  A
// tool that writes more than the pipe holds blocks until the time-out ends
// it, so neither the wait nor what is kept grows with its output.  `out`
// gets the output of a tool that exits with status 0 and stays empty
// otherwise.  `os` is imported here as `subprocess` is: the module global
// stands for the host's view of itself, which callers may replace.
bool run_tool(PyObject* module, std::string& out) {
    kn::Ref subprocess = import_module(module, kSubprocess, nullptr);
    kn::Ref run = subprocess ? attr(subprocess.get(), kRun) : kn::Ref();
    kn::Ref devnull = run ? attr(subprocess.get(), kDevnull) : kn::Ref();
    kn::Ref os = devnull ? import_module(module, kOs, nullptr) : kn::Ref();
    kn::Ref close = os ? attr(os.get(), kClose) : kn::Ref();
    kn::Ref pipe = close ? call_method0(os.get(), kPipe) : kn::Ref();
    std::array<kn::Ref, 2> ends;  // reading end, writing end
    if (!pipe || !kn::unpack(pipe.get(), ends)) return false;
    // A new list each time: the callee may keep or change it.
    kn::Ref argv = kn::Ref::steal(
        Py_BuildValue("[sss]", "nvidia-smi", "--query-gpu=name", "--format=csv,noheader"));
    kn::Ref done;
    if (argv) {
        PyObject* args[] = {argv.get(),    devnull.get(),  ends[1].get(),
                            devnull.get(), g_tool_timeout, Py_False};
        done = kn::Ref::steal(PyObject_Vectorcall(run.get(), args, 1, g_tool_kwnames));
    }
    bool ok = close_fd(close.get(), ends[1].get());
    if (ok) {
        kn::Ref code = attr(done.get(), kReturncode);
        const int zero = code ? PyObject_RichCompareBool(code.get(), g_int_zero, Py_EQ) : -1;
        ok = zero > 0 ? read_pipe(os.get(), ends[0].get(), out) : zero == 0;
    }
    return close_fd(close.get(), ends[0].get()) && ok;
}

// Whether one line of the tool's output names a device: valid UTF-8 that,
// stripped of surrounding white space, is a value of the one field queried:
// 1 to kDeviceNameLimit printable characters without a comma (which would
// start a second field), and not the tool's "No devices were found".
// 1 yes, 0 no, -1 error.
int is_device_line(const char* data, std::size_t size) {
    kn::Ref raw =
        kn::Ref::steal(PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(size), "strict"));
    if (!raw) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    kn::Ref name = call_method0(raw.get(), kStrip);
    if (!name) return -1;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name.get());
    if (length == 0 || length > kDeviceNameLimit) return 0;
    const Py_ssize_t comma = PyUnicode_FindChar(name.get(), ',', 0, length, 1);
    if (comma != -1) return comma == -2 ? -1 : 0;
    if (PyUnicode_Compare(name.get(), N(kNoDevices)) == 0) return 0;
    kn::Ref printable = call_method0(name.get(), kIsprintable);
    return printable ? PyObject_IsTrue(printable.get()) : -1;
}

// nvidia-smi's device list: one line per GPU.  Only output with at least one
// device line reports a GPU; a tool that exits 0 with blank lines, messages
// or bytes that are no device names reports none, and so does output longer
// than kToolOutputLimit.
bool probe_nvidia_smi(PyObject* module, PyObject* info) {
    std::string out;
    if (!run_tool(module, out)) return false;
    if (static_cast<Py_ssize_t>(out.size()) > kToolOutputLimit) return true;
    Py_ssize_t devices = 0;
    for (std::size_t start = 0; start < out.size();) {
        std::size_t end = out.find('\n', start);
        if (end == std::string::npos) end = out.size();
        const int named = is_device_line(out.data() + start, end - start);
        if (named < 0) return false;
        devices += named;
        start = end + 1;
    }
    if (devices == 0) return true;
    kn::Ref count = kn::Ref::steal(PyLong_FromSsize_t(devices));
    return set(info, kHasGpu, Py_True) && set(info, kGpuCount, count.get());
}

PyObject* detect_gpu_backends(PyObject* module, PyObject*) {
    kn::Ref info = kn::Ref::steal(PyDict_New());
    if (!info) return nullptr;
    for (Name key : kGpuKeys)
        if (!set(info.get(), key, gpu_initial_value(key))) return nullptr;
    if (!probe_roster(module, info.get())) {
        if (!caught_exception()) return nullptr;
        if (!probe_nvidia_smi(module, info.get()) && !caught_exception()) return nullptr;
    }
    return info.release();
}

// ---------------------------------------------------------------- Interpreter

// sys.version_info, `sys` looked up afresh.
kn::Ref version_info(PyObject* module) {
    kn::Ref sys = global(module, kSys);
    return sys ? attr(sys.get(), kVersionInfo) : kn::Ref();
}

// "major.minor.micro" (or "major.minor"): the str() of each field joined by
// dots; fields that are plain ints are written directly.
kn::Ref version_text(PyObject* vi, bool with_micro) {
    const Name fields[] = {kMajor, kMinor, kMicro};
    std::array<kn::Ref, 3> parts;
    const std::size_t n = with_micro ? 3 : 2;
    char text[3 * 24];
    std::size_t length = 0;
    bool plain = true;
    for (std::size_t i = 0; i < n; ++i) {
        parts[i] = attr(vi, fields[i]);
        if (!parts[i]) return kn::Ref();
        long long v = 0;
        int overflow = 1;
        if (PyLong_CheckExact(parts[i].get()))
            v = PyLong_AsLongLongAndOverflow(parts[i].get(), &overflow);
        if (overflow) {
            plain = false;
            continue;
        }
        if (plain)
            length += static_cast<std::size_t>(
                std::snprintf(text + length, sizeof text - length, i ? ".%lld" : "%lld", v));
    }
    if (plain)
        return kn::Ref::steal(
            PyUnicode_DecodeASCII(text, static_cast<Py_ssize_t>(length), nullptr));
    if (!with_micro)
        return kn::Ref::steal(PyUnicode_FromFormat("%S.%S", parts[0].get(), parts[1].get()));
    return kn::Ref::steal(
        PyUnicode_FromFormat("%S.%S.%S", parts[0].get(), parts[1].get(), parts[2].get()));
}

PyObject* detect_python_version(PyObject* module, PyObject*) {
    kn::Ref vi = version_info(module);
    kn::Ref version = vi ? version_text(vi.get(), true) : kn::Ref();
    const int recent = version ? PyObject_RichCompareBool(vi.get(), g_version_3_12, Py_GE) : -1;
    if (recent < 0) return nullptr;
    bool subinterpreters = false;
    if (recent) {
        kn::Ref mod = import_module(module, kSubinterpreters, nullptr);
        if (!mod) {
            if (!PyErr_ExceptionMatches(PyExc_ImportError)) return nullptr;
            PyErr_Clear();
        }
        subinterpreters = static_cast<bool>(mod);
    }
    return PyTuple_Pack(2, version.get(), subinterpreters ? Py_True : Py_False);
}

// ---------------------------------------------------------------- Capabilities

// time.perf_counter() as a double, `time` looked up afresh.
bool perf_counter(PyObject* module, double* out) {
    kn::Ref time = global(module, kTime);
    kn::Ref fn = time ? attr(time.get(), kPerfCounter) : kn::Ref();
    kn::Ref now = fn ? call0(fn.get()) : kn::Ref();
    if (!now) return false;
    *out = PyFloat_AsDouble(now.get());
    return !(*out == -1.0 && PyErr_Occurred());
}

kn::Ref elapsed_ms(PyObject* module, double start) {
    double now = 0.0;
    if (!perf_counter(module, &now)) return kn::Ref();
    return kn::Ref::steal(PyFloat_FromDouble((now - start) * 1000.0));
}

kn::Ref time_now(PyObject* module) {
    kn::Ref time = global(module, kTime);
    kn::Ref fn = time ? attr(time.get(), kTime) : kn::Ref();
    return fn ? call0(fn.get()) : kn::Ref();
}

kn::Ref sys_platform(PyObject* module) {
    kn::Ref sys = global(module, kSys);
    return sys ? attr(sys.get(), kPlatform) : kn::Ref();
}

bool fill_capabilities(PyObject* module, PyObject* caps, double start) {
    if (!set(caps, kPhysicalCores, call_global(module, kDetectPhysicalCores).get()) ||
        !set(caps, kNumaNodes, call_global(module, kDetectNumaNodes).get()))
        return false;
    kn::Ref gpu = call_global(module, kDetectGpuBackends);
    if (!gpu) return false;
    for (Name key : kGpuKeys) {
        kn::Ref value = kn::Ref::steal(PyObject_GetItem(gpu.get(), N(key)));
        if (!set(caps, key, value.get())) return false;
    }
    kn::Ref version = call_global(module, kDetectPythonVersion);
    std::array<kn::Ref, 2> parts;
    if (!version || !kn::unpack(version.get(), parts)) return false;
    return set(caps, kPythonVersion, parts[0].get()) &&
           set(caps, kSubinterpreterSupport, parts[1].get()) &&
           set(caps, kPlatform, sys_platform(module).get()) &&
           set(caps, kDetectedAt, time_now(module).get()) && set(caps, kDetector, N(kNative)) &&
           set(caps, kDetectionTimeMs, elapsed_ms(module, start).get());
}

// The dictionary given when detection failed with `error`.
kn::Ref fallback_capabilities(PyObject* module, double start, PyObject* error) {
    kn::Ref caps = kn::Ref::steal(PyDict_New());
    if (!caps) return caps;
    kn::Ref os = global(module, kOs);
    kn::Ref fn = os ? attr(os.get(), kCpuCount) : kn::Ref();
    kn::Ref cores = fn ? call0(fn.get()) : kn::Ref();
    const int truth = cores ? PyObject_IsTrue(cores.get()) : -1;
    if (truth < 0) return kn::Ref();
    if (!truth) cores = kn::Ref::borrow(g_int_one);
    if (!set(caps.get(), kPhysicalCores, cores.get()) || !set(caps.get(), kNumaNodes, g_int_one))
        return kn::Ref();
    for (Name key : kGpuKeys)
        if (!set(caps.get(), key, gpu_initial_value(key))) return kn::Ref();
    kn::Ref vi = version_info(module);
    if (!vi || !set(caps.get(), kPythonVersion, version_text(vi.get(), false).get()) ||
        !set(caps.get(), kSubinterpreterSupport, Py_False) ||
        !set(caps.get(), kPlatform, sys_platform(module).get()) ||
        !set(caps.get(), kDetectedAt, time_now(module).get()) ||
        !set(caps.get(), kDetector, N(kNativeFallback)) ||
        !set(caps.get(), kError, kn::Ref::steal(PyObject_Str(error)).get()) ||
        !set(caps.get(), kDetectionTimeMs, elapsed_ms(module, start).get()))
        return kn::Ref();
    return caps;
}

PyObject* detect_capabilities(PyObject* module, PyObject*) {
    double start = 0.0;
    if (!perf_counter(module, &start)) return nullptr;
    kn::Ref caps = kn::Ref::steal(PyDict_New());
    if (!caps) return nullptr;
    if (fill_capabilities(module, caps.get(), start)) return caps.release();
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    kn::Ref error = take_exception();
    caps = fallback_capabilities(module, start, error.get());
    if (!caps) chain_context(error.get());
    return caps.release();
}

// ---------------------------------------------------------------- Module

PyMethodDef methods[] = {
    kn::def<detect_physical_cores>(
        "detect_physical_cores",
        "detect_physical_cores($module, /)\n--\n\n"
        "Number of CPUs this process may run on (its affinity set where the platform\n"
        "has one, else os.cpu_count()); at least 1, never raises for an ordinary error."),
    kn::def<detect_numa_nodes>(
        "detect_numa_nodes",
        "detect_numa_nodes($module, /)\n--\n\n"
        "Number of NUMA nodes: node entries of /sys/devices/system/node on Linux,\n"
        "GetNumaHighestNodeNumber on Windows, 1 elsewhere or on any error."),
    kn::def<detect_gpu_backends>(
        "detect_gpu_backends",
        "detect_gpu_backends($module, /)\n--\n\n"
        "GPU information dict (has_gpu, gpu_count, gpu_memory_mb, cuda_available,\n"
        "rocm_available, oneapi_available, active_backend, backend_version) from the\n"
        "package's back-end registry, else from `nvidia-smi` (0.5 s time-out, at most\n"
        "16 KiB of output read, only lines that are device names counted)."),
    kn::def<detect_python_version>(
        "detect_python_version",
        "detect_python_version($module, /)\n--\n\n"
        "(\"major.minor.micro\", sub-interpreter support) of the running interpreter."),
    kn::def<detect_capabilities>(
        "detect_capabilities",
        "detect_capabilities($module, /)\n--\n\n"
        "All host capabilities in one flat dict; an ordinary error during detection\n"
        "gives the fallback dict, with detector \"native_fallback\" and the error text."),
    kn::kEndOfMethods,
};

PyObject* make_tuple(std::initializer_list<const char*> items) {
    kn::Ref t = kn::Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!t) return nullptr;
    Py_ssize_t i = 0;
    for (const char* s : items) {
        PyObject* item = PyUnicode_InternFromString(s);
        if (!item) return nullptr;
        PyTuple_SET_ITEM(t.get(), i++, item);
    }
    return t.release();
}

bool make_state() {
    for (int i = 0; i < kNameCount; ++i)
        if (!kn::create_once(names[i], [i] { return PyUnicode_InternFromString(kNameText[i]); }))
            return false;
    return kn::create_once(g_int_zero, [] { return PyLong_FromLong(0); }) &&
           kn::create_once(g_int_one, [] { return PyLong_FromLong(1); }) &&
           kn::create_once(g_int_1024, [] { return PyLong_FromLong(1024); }) &&
           kn::create_once(g_version_3_12, [] { return Py_BuildValue("(ii)", 3, 12); }) &&
           kn::create_once(g_roster_names,
                           [] { return make_tuple({"GPUAccelRoster", "GPUBackendKind"}); }) &&
           kn::create_once(g_wintypes_names, [] { return make_tuple({"wintypes"}); }) &&
           kn::create_once(g_tool_timeout, [] { return PyFloat_FromDouble(0.5); }) &&
           kn::create_once(
               g_tool_kwnames,
               [] { return make_tuple({"stdin", "stdout", "stderr", "timeout", "check"}); }) &&
           kn::create_once(g_windll_kwnames, [] { return make_tuple({"use_last_error"}); });
}

int hostprobe_exec(PyObject* module) {
    if (!make_state() || !kn::bind_import(module, "sys") || !kn::bind_import(module, "os") ||
        !kn::bind_import(module, "time") || !kn::add_functions(module, methods))
        return -1;
    return 0;
}

}  // namespace

KN_DEFINE_MODULE(hostprobe, frame,
                 "Host capability probe: usable CPUs, NUMA nodes, GPU back-ends and interpreter\n"
                 "features, each probed afresh on every call.",
                 hostprobe_exec)
