"""kestrun.native.hostprobe against the same probe written in plain Python.

The peer below is a module-level copy of the probe's five functions in Python:
the same system calls, the same back-end registry and the same imports, called
through the same module globals.  Calls of ours and of the peer alternate, and
each function's median time per call over many calls is reported.  The targets
are for `detect_capabilities`: a median below 1 ms, and not slower than the
peer; the four parts are shown for information.
"""

from __future__ import annotations

import os
import statistics
import subprocess
import sys
import time
import types

from _harness import Report

from kestrun import NATIVE_MODULES
from kestrun.native import hostprobe

PEER_SOURCE = """
import os, sys, time

def detect_physical_cores():
    try:
        if hasattr(os, "sched_getaffinity"):
            return max(1, len(os.sched_getaffinity(0)))
        n = os.cpu_count()
        return 1 if not n else max(1, int(n))
    except Exception:
        return os.cpu_count() or 1

def detect_numa_nodes():
    result = 1
    try:
        if sys.platform == "linux":
            path = "/sys/devices/system/node"
            if os.path.exists(path):
                nodes = [e for e in os.listdir(path) if e.startswith("node") and e[4:].isdigit()]
                if nodes:
                    result = len(nodes)
        elif sys.platform == "win32":
            try:
                import ctypes
                from ctypes import wintypes
                kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
                query = kernel32.GetNumaHighestNodeNumber
                query.restype = wintypes.BOOL
                query.argtypes = [ctypes.POINTER(ctypes.c_ulong)]
                highest = ctypes.c_ulong()
                result = highest.value + 1 if query(ctypes.byref(highest)) else 1
            except Exception:
                result = 1
    except Exception:
        result = 1
    return int(result)

def detect_gpu_backends():
    info = {"has_gpu": False, "gpu_count": 0, "gpu_memory_mb": 0, "cuda_available": False,
            "rocm_available": False, "oneapi_available": False, "active_backend": "cpu",
            "backend_version": ""}
    try:
        from kestrun.gpu.accel_roster import GPUAccelRoster, GPUBackendKind
        backends = GPUAccelRoster.detect_available_backends()
        info["cuda_available"] = GPUBackendKind.CUDA in backends
        info["rocm_available"] = GPUBackendKind.ROCm in backends
        info["oneapi_available"] = GPUBackendKind.oneAPI in backends
        best = GPUAccelRoster.get_best_available().info
        kind = best.kind
        info["active_backend"] = kind.value
        info["backend_version"] = best.version
        info["has_gpu"] = info["active_backend"] != "cpu"
        if info["has_gpu"] and kind in backends:
            backend = backends[kind]
            info["gpu_count"] = backend.device_count
            info["gpu_memory_mb"] = int(backend.memory_gb * 1024)
    except Exception:
        try:
            import subprocess
            done = subprocess.run(["nvidia-smi", "--query-gpu=name", "--format=csv,noheader"],
                                  capture_output=True, timeout=0.5, check=False)
            if done.returncode == 0 and done.stdout:
                lines = done.stdout.decode("utf-8", errors="ignore").strip().split("\\n")
                count = sum(1 for line in lines if line.strip())
                if count:
                    info["has_gpu"] = True
                    info["gpu_count"] = count
        except Exception:
            pass
    return info

def detect_python_version():
    v = sys.version_info
    version = str(v.major) + "." + str(v.minor) + "." + str(v.micro)
    flag = False
    if sys.version_info >= (3, 12):
        try:
            import _xxsubinterpreters
            flag = True
        except ImportError:
            flag = False
    return version, flag

def detect_capabilities():
    caps = {}
    start_time = time.perf_counter()
    try:
        caps["physical_cores"] = detect_physical_cores()
        caps["numa_nodes"] = detect_numa_nodes()
        gpu = detect_gpu_backends()
        for key in ("has_gpu", "gpu_count", "gpu_memory_mb", "cuda_available", "rocm_available",
                    "oneapi_available", "active_backend", "backend_version"):
            caps[key] = gpu[key]
        version, subinterpreters = detect_python_version()
        caps["python_version"] = version
        caps["subinterpreter_support"] = subinterpreters
        caps["platform"] = sys.platform
        caps["detected_at"] = time.time()
        caps["detector"] = "native"
        caps["detection_time_ms"] = (time.perf_counter() - start_time) * 1000
    except Exception as e:
        caps = {"physical_cores": os.cpu_count() or 1, "numa_nodes": 1, "has_gpu": False,
                "gpu_count": 0, "gpu_memory_mb": 0, "cuda_available": False,
                "rocm_available": False, "oneapi_available": False, "active_backend": "cpu",
                "backend_version": "",
                "python_version": f"{sys.version_info.major}.{sys.version_info.minor}",
                "subinterpreter_support": False, "platform": sys.platform,
                "detected_at": time.time(), "detector": "native_fallback", "error": str(e),
                "detection_time_ms": (time.perf_counter() - start_time) * 1000}
    return caps
"""

FUNCTIONS = (
    "detect_capabilities",
    "detect_physical_cores",
    "detect_numa_nodes",
    "detect_gpu_backends",
    "detect_python_version",
)


def make_peer() -> types.ModuleType:
    peer = types.ModuleType("hostprobe_peer")
    exec(compile(PEER_SOURCE, "hostprobe_peer", "exec"), peer.__dict__)
    return peer


def median_ns(ours, peer, calls: int) -> tuple[float, float]:
    """Median time per call of each, calls alternating so that drift hits both."""
    clock = time.perf_counter_ns
    ours_ns, peer_ns = [], []
    for _ in range(calls):
        t0 = clock()
        ours()
        t1 = clock()
        peer()
        t2 = clock()
        ours_ns.append(t1 - t0)
        peer_ns.append(t2 - t1)
    return statistics.median(ours_ns), statistics.median(peer_ns)


def main() -> None:
    peer = make_peer()
    mine, theirs = hostprobe.detect_capabilities(), peer.detect_capabilities()
    for key in ("detected_at", "detection_time_ms"):
        del mine[key], theirs[key]
    assert mine == theirs, (mine, theirs)
    report = Report(f"kestrun.native.hostprobe (median per call, {os.cpu_count()} CPUs)")
    medians = {}
    for name in FUNCTIONS:
        ours, theirs_fn = getattr(hostprobe, name), getattr(peer, name)
        median_ns(ours, theirs_fn, 200)  # warm up: imports, directory caches
        ours_ns, peer_ns = median_ns(ours, theirs_fn, 3000)
        medians[name] = ours_ns
        target = "1.0x" if name == "detect_capabilities" else ""  # the parts: for information
        report.add(name, ours_ns, "same probe in plain Python", peer_ns, target=target)
    report.note("both sides pay the same system calls, the registry's Python code and the failing")
    report.note("import of _xxsubinterpreters (3.13); the native side saves the Python glue only")
    report.print()
    ms = medians["detect_capabilities"] / 1e6
    verdict = "ok" if ms < 1.0 else "ABOVE"
    print(
        f"detect_capabilities median {ms:.3f} ms (target below 1 ms: {verdict}); "
        f"Python {sys.version.split()[0]}"
    )
    main_startup()


def startup_ms(runs: int = 21) -> tuple[float, float, float]:
    """Median wall time of `python -c 'import <the eight modules>'`, of a bare
    `python -c pass`, and the median of the pairwise differences, in ms."""
    commands = (
        [sys.executable, "-c", "import " + ", ".join(NATIVE_MODULES)],
        [sys.executable, "-c", "pass"],
    )
    times: tuple[list[float], list[float]] = ([], [])
    # As installed: the modules' byte code is cached (the first runs write it).
    env = {k: v for k, v in os.environ.items() if k != "PYTHONDONTWRITEBYTECODE"}
    for i in range(runs + 2):  # the first two runs warm the file caches
        for command, spent in zip(commands, times):
            start = time.perf_counter()
            subprocess.run(command, check=True, env=env)
            if i >= 2:
                spent.append((time.perf_counter() - start) * 1e3)
    extra = statistics.median(a - b for a, b in zip(*times))
    return statistics.median(times[0]), statistics.median(times[1]), extra


def main_startup() -> None:
    ours, bare, extra = startup_ms()
    verdict = "ok" if extra <= 15.0 else "ABOVE"
    print("\n== start-up: importing the eight native modules (median of 21 process runs) ==")
    print(f"python -c 'import <eight modules>'  {ours:8.1f} ms")
    print(f"python -c pass                      {bare:8.1f} ms")
    print(f"added by the imports                {extra:8.1f} ms  target at most 15 ms  {verdict}")


if __name__ == "__main__":
    main()
