"""kestrun.native.hostprobe and its back-end registry, against fakes of the host.

Nothing here depends on the real machine: `os`, `sys` and `time` are replaced on
the module, the back-end registry is planted in sys.modules, nvidia-smi is a
script on a temporary PATH and the CUDA driver is a fake object or library.
"""

from __future__ import annotations

import builtins
import collections
import inspect
import json
import os
import subprocess
import sys
import threading
import time
import types

import pytest
from hypothesis import given
from hypothesis import strategies as st

from kestrun.gpu import accel_roster as roster
from kestrun.gpu.accel_roster import GPUBackendKind as Kind
from kestrun.native import hostprobe as hp

NS = types.SimpleNamespace
FUNCTIONS = ["detect_physical_cores", "detect_numa_nodes", "detect_gpu_backends"]
FUNCTIONS += ["detect_python_version", "detect_capabilities"]
GPU_KEYS = ["has_gpu", "gpu_count", "gpu_memory_mb", "cuda_available", "rocm_available"]
GPU_KEYS += ["oneapi_available", "active_backend", "backend_version"]
GPU_DEFAULTS = dict(zip(GPU_KEYS, [False, 0, 0, False, False, False, "cpu", ""], strict=True))
CAP_KEYS = ["physical_cores", "numa_nodes", *GPU_KEYS, "python_version"]
CAP_KEYS += ["subinterpreter_support", "platform", "detected_at", "detector", "detection_time_ms"]
FALLBACK_KEYS = [*CAP_KEYS[:-1], "error", "detection_time_ms"]
CUDA_GPU = dict(has_gpu=True, cuda_available=True, active_backend="cuda", backend_version="12.4")
ROSTER = "kestrun.gpu.accel_roster"


def raiser(exc):
    def fn(*args, **kwargs):
        raise exc

    return fn


def fake_os(exists=lambda path: True, **attrs):
    return NS(path=NS(exists=exists), **attrs)


# ---------------------------------------------------------------- module frame


def test_functions_take_no_arguments():
    # The module's names, its silence at import and its set-up are checked
    # with every other module's in test_module_frame.py.
    for name in FUNCTIONS:
        assert str(inspect.signature(getattr(hp, name))) == "()"
        with pytest.raises(TypeError, match="takes no arguments"):
            getattr(hp, name)(1)


# ---------------------------------------------------------------- cores and NUMA nodes

NO_AFFINITY = raiser(OSError("no affinity"))


@pytest.mark.parametrize("affinity, cpu_count, expected", [
    (lambda pid: {0, 1, 2}, lambda: 64, 3), (lambda pid: set(), lambda: 64, 1),
    (NO_AFFINITY, lambda: 6, 6), (NO_AFFINITY, lambda: None, 1), (NO_AFFINITY, raiser(OSError), 1),
    (None, lambda: 8, 8), (None, lambda: 0, 1), (None, lambda: -3, 1), (None, lambda: 2.9, 2),
    (None, lambda: True, 1), (None, lambda: 2**70, 2**70), (None, lambda: "x", 1),
])  # fmt: skip
def test_physical_cores(monkeypatch, affinity, cpu_count, expected):
    attrs = {"cpu_count": cpu_count} | ({"sched_getaffinity": affinity} if affinity else {})
    monkeypatch.setattr(hp, "os", NS(**attrs))
    got = hp.detect_physical_cores()
    assert got == expected and type(got) is int


NAMES = ["node", "node0", "node12", "nodex", "node1a", "possible", "Node1", "node\u00b2", " node1"]
NODE = st.from_regex(r"node[0-9]{1,3}", fullmatch=True)
ENTRY = st.one_of(st.sampled_from(NAMES), st.text(max_size=6), NODE)


@given(st.lists(ENTRY, max_size=12))
def test_numa_nodes_count_node_entries(entries):
    seen = []
    nodes = sum(e.startswith("node") and e[4:].isdigit() for e in entries)
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(hp, "os", fake_os(listdir=lambda path: seen.append(path) or list(entries)))
        mp.setattr(hp, "sys", NS(platform="linux"))
        assert hp.detect_numa_nodes() == (nodes or 1)
    assert seen == ["/sys/devices/system/node"]


@pytest.mark.parametrize("platform, os_", [
    ("linux", fake_os(exists=lambda path: False, listdir=raiser(AssertionError("listed")))),
    ("linux", fake_os(listdir=raiser(PermissionError))), ("linux", fake_os(exists=raiser(OSError))),
    ("linux", fake_os(listdir=lambda path: ["node0", 7])),
    ("darwin", NS()), ("freebsd", NS()), (42, NS()),  # never touch the file system
])  # fmt: skip
def test_numa_nodes_default_to_one(monkeypatch, platform, os_):
    monkeypatch.setattr(hp, "sys", NS(platform=platform))
    monkeypatch.setattr(hp, "os", os_)
    assert hp.detect_numa_nodes() == 1


def fake_ctypes(ok, highest, calls):
    class ULong:
        value = highest

    def query(ref):
        calls.append(ref)
        return ok

    def win_dll(name, **kwargs):
        calls.append((name, kwargs))
        return NS(GetNumaHighestNodeNumber=query)

    return types.ModuleType("ctypes"), dict(
        wintypes=NS(BOOL="BOOL"), WinDLL=win_dll, c_ulong=ULong, POINTER=lambda t: ("ptr", t),
        byref=lambda obj: ("byref", obj)), query  # fmt: skip


@pytest.mark.parametrize("ok, highest, expected", [
    (1, 3, 4), (1, 0, 1), (0, 3, 1), (True, 2**64 - 1, 2**64), (1, None, 1), ("no kernel32", 0, 1),
])  # fmt: skip
def test_numa_nodes_on_windows(monkeypatch, ok, highest, expected):
    calls = []
    module, attrs, query = fake_ctypes(ok, highest, calls)
    vars(module).update(attrs)
    if ok == "no kernel32":
        module.WinDLL = raiser(OSError(ok))
    monkeypatch.setitem(sys.modules, "ctypes", module)
    monkeypatch.setattr(hp, "sys", NS(platform="win32"))
    assert hp.detect_numa_nodes() == expected
    if calls:
        assert calls[0] == ("kernel32", {"use_last_error": True}) and calls[1][0] == "byref"
        assert query.restype == "BOOL" and query.argtypes == [("ptr", module.c_ulong)]
    monkeypatch.setitem(sys.modules, "ctypes", None)
    assert hp.detect_numa_nodes() == 1


# ---------------------------------------------------------------- GPU back-ends


def plant_roster(monkeypatch, backends, best, fail_best=False):
    def get_best_available():
        if fail_best:
            raise RuntimeError("registry broke")
        return NS(info=NS(kind=best, version="12.4" if best is Kind.CUDA else ""))

    rost = NS(detect_available_backends=lambda: backends, get_best_available=get_best_available)
    monkeypatch.setitem(sys.modules, ROSTER, NS(GPUAccelRoster=rost, GPUBackendKind=Kind))


TWO = NS(device_count=2, memory_gb=7.5)


@pytest.mark.parametrize("backends, best, expected", [
    ({Kind.CUDA: TWO, Kind.CPU: NS()}, Kind.CUDA, CUDA_GPU | dict(gpu_count=2, gpu_memory_mb=7680)),
    ({Kind.CUDA: TWO, Kind.ROCm: TWO, Kind.oneAPI: TWO}, Kind.CPU,
     dict(cuda_available=True, rocm_available=True, oneapi_available=True)),
    ({Kind.ROCm: TWO}, Kind.CUDA, CUDA_GPU | dict(cuda_available=False, rocm_available=True)),
])  # fmt: skip
def test_gpu_from_the_registry(monkeypatch, backends, best, expected):
    plant_roster(monkeypatch, backends, best)
    assert hp.detect_gpu_backends() == GPU_DEFAULTS | expected


YES = "/usr/bin/yes 'NVIDIA H100'"


@pytest.mark.skipif(sys.platform == "win32", reason="shell script as the tool")
@pytest.mark.parametrize("script, expected", [
    ("printf 'GPU A\\n\\nGPU B\\n'", dict(has_gpu=True, gpu_count=2)),
    ("printf '\\n  \\n\\n'", {}),  # exit 0 with blank lines only: no GPU
    ("echo GPU A; exit 9", {}), ("exec /bin/sleep 30", {}), (None, {}),  # cut off after 0.5 s
    ("printf '\\377\\376\\001\\nNo devices were found\\n'", {}),  # garbage, then no device
    (YES + " | /usr/bin/head -n 1000", dict(has_gpu=True, gpu_count=1000)),  # 12 KB: read
    (YES + " | /usr/bin/head -n 2000", {}),  # 24 KB: more than a device list
    ("exec " + YES, {}),  # endless: the pipe fills, the time-out ends it
])  # fmt: skip
def test_gpu_from_the_external_tool(tmp_path, monkeypatch, script, expected):
    if script:
        (tmp_path / "nvidia-smi").write_text("#!/bin/sh\n" + script + "\n")
        (tmp_path / "nvidia-smi").chmod(0o755)
    monkeypatch.setenv("PATH", str(tmp_path))
    monkeypatch.setitem(sys.modules, ROSTER, None)
    start = time.monotonic()
    assert hp.detect_gpu_backends() == GPU_DEFAULTS | expected
    assert time.monotonic() - start < 10  # the 0.5 s time-out, with room for a slow host


LINE = st.one_of(
    st.sampled_from(
        ["", " ", "\t", "\r", "NVIDIA H100 80GB", " Tesla T4\r", "No devices were found"]
    ),
    st.sampled_from(["GPU A, GPU B", "\x01", "Z" * 256, "Z" * 257]),
    st.text(max_size=6),
)


def names_a_device(line):
    """A line of nvidia-smi's output that is one GPU name."""
    try:
        name = line.decode("utf-8").strip()
    except UnicodeDecodeError:
        return False
    return 0 < len(name) <= 256 and name.isprintable() and "," not in name and (
        name != "No devices were found")  # fmt: skip


@given(st.lists(LINE, max_size=6), st.sampled_from([0, 1, -9]), st.booleans())
def test_tool_output_parsing_after_a_failed_registry(lines, code, junk):
    calls = []
    out = "\n".join(lines).encode() + (b"\xff\xfe" if junk else b"")
    devices = sum(names_a_device(line) for line in out.split(b"\n"))
    expected = GPU_DEFAULTS | dict(cuda_available=True)  # kept from the registry's first step
    if code == 0 and devices:
        expected |= dict(has_gpu=True, gpu_count=devices)

    def run(*args, **kwargs):
        calls.append((args, kwargs))
        os.write(kwargs["stdout"], out)
        return NS(returncode=code)

    with pytest.MonkeyPatch.context() as mp:
        plant_roster(mp, {Kind.CUDA: TWO}, Kind.CUDA, fail_best=True)
        mp.setattr(subprocess, "run", run)
        assert hp.detect_gpu_backends() == expected
    argv = ["nvidia-smi", "--query-gpu=name", "--format=csv,noheader"]
    tool_out = calls[0][1]["stdout"]
    assert calls == [
        (
            (argv,),
            dict(
                stdin=subprocess.DEVNULL,
                stdout=tool_out,
                stderr=subprocess.DEVNULL,
                timeout=0.5,
                check=False,
            ),
        )
    ]
    with pytest.raises(OSError):  # both ends of the pipe are closed
        os.fstat(tool_out)


def test_interrupts_pass_every_guard(monkeypatch):
    monkeypatch.setitem(sys.modules, ROSTER, None)
    monkeypatch.setattr(subprocess, "run", raiser(KeyboardInterrupt))
    monkeypatch.setattr(hp, "os", NS(sched_getaffinity=raiser(SystemExit), cpu_count=lambda: 2))
    with pytest.raises(KeyboardInterrupt):
        hp.detect_gpu_backends()
    with pytest.raises(SystemExit):
        hp.detect_physical_cores()
    with pytest.raises(SystemExit):
        hp.detect_capabilities()


# ---------------------------------------------------------------- interpreter


class VersionInfo(tuple):
    major, minor, micro = (property(lambda self, i=i: self[i]) for i in range(3))


SUB = types.ModuleType("_xxsubinterpreters")


@pytest.mark.parametrize("version, planted, expected", [
    ((3, 11, 4), SUB, ("3.11.4", False)), ((3, 12, 1), SUB, ("3.12.1", True)),
    ((3, 13, 0), None, ("3.13.0", False)), ((3, 14, "0a1"), None, ("3.14.0a1", False)),
    ((3, True, 2**80), None, ("3.True.1208925819614629174706176", False)),
])  # fmt: skip
def test_python_version(monkeypatch, version, planted, expected):
    monkeypatch.setattr(hp, "sys", NS(version_info=VersionInfo(version)))
    monkeypatch.setitem(sys.modules, "_xxsubinterpreters", planted)
    assert hp.detect_python_version() == expected


def test_python_version_here_and_with_a_replaced_import(monkeypatch):
    version, flag = hp.detect_python_version()
    assert version == "{}.{}.{}".format(*sys.version_info[:3]) and type(flag) is bool
    real_import = builtins.__import__

    def hooked(name, *args, **kwargs):
        if name == "_xxsubinterpreters":
            raise hooked.error("hooked")
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(hp, "sys", NS(version_info=VersionInfo((3, 12, 0))))
    monkeypatch.setattr(builtins, "__import__", hooked)
    hooked.error = ImportError
    assert hp.detect_python_version() == ("3.12.0", False)
    hooked.error = RuntimeError
    with pytest.raises(RuntimeError, match="hooked"):
        hp.detect_python_version()


# ---------------------------------------------------------------- capabilities


def test_capabilities_of_this_host_have_every_key_in_order():
    caps = hp.detect_capabilities()
    assert list(caps) == CAP_KEYS and caps["detector"] == "native"
    assert caps["physical_cores"] >= 1 and caps["numa_nodes"] >= 1
    assert isinstance(caps["detected_at"], float) and caps["detection_time_ms"] >= 0.0


def fake_time(monkeypatch):
    clock = iter([10.0, 10.25])
    monkeypatch.setattr(hp, "time", NS(perf_counter=lambda: next(clock), time=lambda: 1234.5))
    return {"platform": sys.platform, "detected_at": 1234.5, "detection_time_ms": 250.0}


def test_capabilities_call_the_module_globals(monkeypatch):
    common = fake_time(monkeypatch)
    monkeypatch.setattr(hp, "detect_physical_cores", lambda: 7)
    monkeypatch.setattr(hp, "detect_numa_nodes", lambda: 3)
    monkeypatch.setattr(hp, "detect_gpu_backends", lambda: GPU_DEFAULTS | {"gpu_count": 5, "x": 1})
    monkeypatch.setattr(hp, "detect_python_version", lambda: ["9.9.9", True])
    caps = hp.detect_capabilities()
    assert list(caps) == CAP_KEYS and caps == common | GPU_DEFAULTS | dict(
        physical_cores=7, numa_nodes=3, gpu_count=5, python_version="9.9.9",
        subinterpreter_support=True, detector="native")  # fmt: skip


@pytest.mark.parametrize("name, replacement, error", [
    ("detect_gpu_backends", lambda: {"has_gpu": False}, "'gpu_count'"),
    ("detect_python_version", lambda: ("3.13.0", 0, 1), "too many values to unpack (expected 2)"),
    ("detect_python_version", lambda: 5, "cannot unpack non-iterable int object"),
    ("detect_numa_nodes", raiser(OSError("no sysfs")), "no sysfs"),
    ("detect_physical_cores", None, "'NoneType' object is not callable"),
])  # fmt: skip
def test_capabilities_fall_back_on_an_error(monkeypatch, name, replacement, error):
    common = fake_time(monkeypatch)
    monkeypatch.setattr(hp, name, replacement)
    monkeypatch.setattr(hp, "os", NS(cpu_count=lambda: None))
    caps = hp.detect_capabilities()
    assert list(caps) == FALLBACK_KEYS and caps == common | GPU_DEFAULTS | dict(
        physical_cores=1, numa_nodes=1, python_version="{}.{}".format(*sys.version_info[:2]),
        subinterpreter_support=False, detector="native_fallback", error=error)  # fmt: skip


def test_errors_while_falling_back_propagate_with_their_cause(monkeypatch):
    cause = ValueError("first")
    monkeypatch.setattr(hp, "detect_numa_nodes", raiser(cause))
    monkeypatch.setattr(hp, "os", NS(cpu_count=raiser(OSError("fallback broke"))))
    with pytest.raises(OSError, match="fallback broke") as info:
        hp.detect_capabilities()
    assert info.value.__context__ is cause
    monkeypatch.delattr(hp, "time")
    with pytest.raises(NameError, match="name 'time' is not defined"):
        hp.detect_capabilities()


def test_capabilities_hold_no_references(monkeypatch):
    marker, error = object(), LookupError("gone")
    fail = raiser(error)
    monkeypatch.setattr(hp, "detect_numa_nodes", lambda: marker)
    before = sys.getrefcount(marker), sys.getrefcount(error)
    for _ in range(300):
        assert hp.detect_capabilities()["numa_nodes"] is marker
    monkeypatch.setattr(hp, "detect_numa_nodes", fail)
    for _ in range(300):
        assert hp.detect_capabilities()["error"] == "gone"
    error.__traceback__ = None
    assert (sys.getrefcount(marker), sys.getrefcount(error)) == before


def test_capabilities_survive_reentry_and_threads(monkeypatch):
    monkeypatch.setattr(hp, "detect_physical_cores", lambda: hp.detect_capabilities()["numa_nodes"])
    assert list(hp.detect_capabilities()) in (CAP_KEYS, FALLBACK_KEYS)  # unbounded recursion
    monkeypatch.undo()
    results, swaps = [], [hp.detect_numa_nodes, lambda: 2]

    def worker(i):
        for j in range(40):
            hp.detect_numa_nodes = swaps[(i + j) % 2]  # globals change under other callers
            results.append(list(hp.detect_capabilities()))

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(6)]
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        hp.detect_numa_nodes = swaps[0]
    assert len(results) == 240 and all(keys == CAP_KEYS for keys in results)


# ---------------------------------------------------------------- the back-end registry


class FakeDriver:
    """The CUDA driver's calls as Python functions writing through ctypes.byref."""

    def __init__(self, memory=(8 << 30, 16 << 30), init=0, bad_ordinal=None, fail=None, count=None):
        self.memory, self.init, self.bad_ordinal, self.fail = memory, init, bad_ordinal, fail
        self.count = len(memory) if count is None else count
        self.calls = collections.Counter()

    def __getattribute__(self, name):
        if name.startswith("cu"):
            object.__getattribute__(self, "calls")[name] += 1
        return object.__getattribute__(self, name)

    def cuInit(self, flags):
        return self.init

    def cuDriverGetVersion(self, ref):
        ref._obj.value = 12040
        return 0

    def cuDeviceGetCount(self, ref):
        if self.fail:
            raise self.fail
        ref._obj.value = self.count
        return 0

    def cuDeviceGet(self, ref, ordinal):
        ref._obj.value = 100 + ordinal  # handles differ from ordinals
        return 101 if ordinal == self.bad_ordinal else 0

    def cuDeviceGetName(self, buffer, length, device):
        buffer.value = f"Fake GPU {device}".encode()
        return 0

    def cuDeviceTotalMem_v2(self, ref, device):
        ref._obj.value = self.memory[(device - 100) % len(self.memory)]
        return 0


@pytest.mark.parametrize("driver, devices", [
    (FakeDriver(), [(0, "Fake GPU 100", 8 << 30), (1, "Fake GPU 101", 16 << 30)]),
    (FakeDriver(bad_ordinal=0), [(1, "Fake GPU 101", 16 << 30)]), (FakeDriver(init=100), []),
    (FakeDriver(memory=()), []), (FakeDriver(fail=OSError("driver fault")), []), (None, []),
    # a size no device has reads as unknown; 1 PiB is the largest taken as real
    (FakeDriver(memory=(2**64 - 1, 1 << 50)), [(0, "Fake GPU 100", 0), (1, "Fake GPU 101", 2**50)]),
])  # fmt: skip
def test_registry_discovers_cuda_devices(monkeypatch, driver, devices):
    monkeypatch.setattr(roster, "_driver", driver)
    backends = roster.GPUAccelRoster.detect_available_backends()
    best = roster.GPUAccelRoster.get_best_available().info
    assert backends[Kind.CPU].device_count == 0 and Kind.CPU.value == "cpu"
    if not devices:
        assert list(backends) == [Kind.CPU] and best.kind is Kind.CPU
        assert hp.detect_gpu_backends() == GPU_DEFAULTS
        return
    assert best.kind is Kind.CUDA and best.version == "12.4"
    assert [(d.index, d.name, d.memory_bytes) for d in backends[Kind.CUDA].devices] == devices
    mib = sum(d[2] for d in devices) >> 20
    assert hp.detect_gpu_backends() == GPU_DEFAULTS | CUDA_GPU | dict(
        gpu_count=len(devices), gpu_memory_mb=mib)  # fmt: skip


@pytest.mark.parametrize("count", [65, 10**6])
def test_registry_examines_at_most_max_devices(monkeypatch, count):
    driver = FakeDriver(memory=(8 << 30,), count=count)
    monkeypatch.setattr(roster, "_driver", driver)
    assert hp.detect_gpu_backends() == GPU_DEFAULTS | CUDA_GPU | dict(
        gpu_count=count, gpu_memory_mb=64 * 8192
    )  # the driver's count; memory of those examined
    assert roster.MAX_DEVICES == 64 and driver.calls["cuDeviceGet"] == 64


def test_registry_queries_the_driver_once_per_probe(monkeypatch):
    driver = FakeDriver()
    monkeypatch.setattr(roster, "_driver", driver)
    queries = lambda: (driver.calls["cuInit"], driver.calls["cuDeviceGetCount"])  # noqa: E731
    assert hp.detect_gpu_backends()["gpu_count"] == 2 and queries() == (1, 1)
    assert hp.detect_capabilities()["gpu_count"] == 2 and queries() == (2, 2)
    best = roster.GPUAccelRoster.get_best_available  # alone, each call asks afresh
    assert best().info.kind is best().info.kind is Kind.CUDA and queries() == (4, 4)
    driver.init = 100  # the driver fails from now on: the pair agrees, without CUDA
    assert hp.detect_gpu_backends() == GPU_DEFAULTS and queries() == (5, 4)


def test_registry_driver_lookup(monkeypatch):
    monkeypatch.setattr(roster.sys, "platform", "darwin")
    assert roster._open_driver() is None
    monkeypatch.setattr(roster.sys, "platform", "linux")
    monkeypatch.setattr(roster.ctypes, "CDLL", raiser(OSError("not found")))
    assert roster._open_driver() is None
    monkeypatch.setattr(roster.ctypes, "CDLL", lambda name: NS(cuInit=NS()))  # no other calls
    assert roster._open_driver() is None
    monkeypatch.setattr(roster, "_driver", roster._UNSET)
    monkeypatch.setattr(roster, "_open_driver", lambda: "lib")
    assert roster._cuda_driver() == "lib" and roster._driver == "lib"


FAKE_LIBCUDA = r"""
#include <stddef.h>
#include <stdio.h>
int cuInit(unsigned int flags) { return flags == 0 ? 0 : 1; }
int cuDriverGetVersion(int* v) { *v = 12040; return 0; }
int cuDeviceGetCount(int* n) { *n = 2; return 0; }
int cuDeviceGet(int* d, int ordinal) { *d = ordinal + 10; return 0; }
int cuDeviceGetName(char* name, int len, int d) { snprintf(name, len, "Fake GPU %d", d); return 0; }
int cuDeviceTotalMem_v2(size_t* bytes, int d) { *bytes = (size_t)(d - 9) << 32; return 0; }
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="builds a Linux shared library")
def test_report_shows_a_fake_cuda_driver(tmp_path):
    (tmp_path / "fake.c").write_text(FAKE_LIBCUDA)
    lib = str(tmp_path / "libcuda.so.1")
    try:
        cc = ["cc", "-shared", "-fPIC", "-o", lib, str(tmp_path / "fake.c")]
        subprocess.run(cc, check=True, capture_output=True)
    except (OSError, subprocess.CalledProcessError):
        pytest.skip("no C compiler")
    env = dict(os.environ, LD_LIBRARY_PATH=str(tmp_path))
    cmd = [sys.executable, "-m", "kestrun", "--json"]
    done = subprocess.run(cmd, capture_output=True, text=True, env=env, check=True, timeout=120)
    caps = json.loads(done.stdout)["capabilities"]
    assert {k: caps[k] for k in GPU_KEYS} == GPU_DEFAULTS | CUDA_GPU | dict(
        gpu_count=2, gpu_memory_mb=3 * 4096)  # fmt: skip
