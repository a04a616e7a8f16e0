"""python -m kestrun: which native modules are here, how they were built, and
whether they give the right answers.

Run with --help for the statuses, the options and the exit codes.  Nothing
here raises: a module that fails to load, or to pass its check, is reported.
"""

from __future__ import annotations

import argparse
import importlib
import json
import os
import platform
import sys
import sysconfig
import time
from collections.abc import Callable
from types import ModuleType
from typing import Any

import kestrun
from kestrun import NATIVE_MODULES, __version__

PROBE = "kestrun.native.hostprobe"

HELP = """\
Reports the native modules of kestrun on this machine: for each module its
status, how long its import took and the path of its extension file; how the
modules were built; and the host capabilities seen by the capability probe.

Module statuses:
  loaded     the module imported
  not built  there is no extension file for it (a partial development build)
  failed     the extension file is there but importing it raised; the error
             is shown

Check results (--check; each module that loaded is called with a few
arguments whose answers are known):
  ok         every answer was right
  failed     an answer was wrong, or a call raised (the first such call is
             shown), or the module is not built or failed to load

Times: every duration is in milliseconds (keys ending in _ms in --json).  An
import time is the wall time of the module's first import in this process,
including the modules it imports that were not imported yet.  The one moment
in the report, the capability probe's detected_at, is in seconds since the
epoch.

Exit status:
  0  every module that is built loaded; with --check, every module is built,
     loaded and passed its check
  1  a module failed to load; with --check, also a module that is not built
     or gave a wrong answer
  2  the command line was wrong"""


class CheckFailed(Exception):
    """A self-check call gave a wrong answer."""


def module_status(name: str) -> dict[str, Any]:
    """Imports one module and says how that went."""
    try:
        importlib.import_module(name)
    except ModuleNotFoundError as exc:
        if exc.name == name:
            return {"module": name, "status": "not built", "error": None}
        return {"module": name, "status": "failed", "error": f"{type(exc).__name__}: {exc}"}
    except BaseException as exc:  # a broken module must not take the report down
        if isinstance(exc, KeyboardInterrupt):
            raise
        return {"module": name, "status": "failed", "error": f"{type(exc).__name__}: {exc}"}
    return {"module": name, "status": "loaded", "error": None}


def stub_path(name: str) -> str:
    """Where the module's type stub belongs: beside its extension file."""
    package_dir = os.path.dirname(os.path.abspath(kestrun.__file__))
    return os.path.join(package_dir, *name.split(".")[1:]) + ".pyi"


def module_report(name: str) -> dict[str, Any]:
    """module_status, with the import time, the extension file and the stub."""
    start = time.perf_counter()
    status = module_status(name)
    elapsed_ms = (time.perf_counter() - start) * 1000.0
    module = sys.modules.get(name) if status["status"] == "loaded" else None
    return {
        **status,
        "import_ms": elapsed_ms,
        "file": getattr(module, "__file__", None),
        "stub": os.path.isfile(stub_path(name)),
    }


def build_info() -> dict[str, Any]:
    """How the modules were built (recorded by CMake in kestrun/_build_info.py)
    and what kind of interpreter runs them."""
    try:
        from kestrun._build_info import BUILD

        recorded: dict[str, Any] = dict(BUILD)
    except ImportError:
        recorded = {}
    package_dir = os.path.dirname(os.path.abspath(kestrun.__file__))
    gil_enabled = getattr(sys, "_is_gil_enabled", lambda: True)()
    keys = ("compiler", "compiler_path", "flags", "link_flags", "build_type", "sanitizer")
    info: dict[str, Any] = {"version": __version__, "recorded": bool(recorded)}
    info.update({key: recorded.get(key) for key in keys})
    info["in_place"] = recorded.get("in_place")
    info["only"] = recorded.get("only")
    info["free_threaded"] = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    info["gil_enabled"] = bool(gil_enabled)
    info["py_typed"] = os.path.isfile(os.path.join(package_dir, "py.typed"))
    return info


# ---------------------------------------------------------------- self-checks


def expect(call: str, got: object, expected: object) -> None:
    if type(got) is not type(expected) or got != expected:
        raise CheckFailed(f"{call} gave {got!r}, expected {expected!r}")


def check_syncore(m: ModuleType) -> None:
    counter = m.AtomicCounter(2**63 - 1)
    expect("AtomicCounter(2**63 - 1).increment()", counter.increment(), -(2**63))
    expect("AtomicCounter.compare_and_swap(-2**63, 5)", counter.compare_and_swap(-(2**63), 5), True)
    expect("AtomicCounter.load()", counter.load(), 5)
    stats = m.LockFreeStatistics()
    stats.record_allocation(64, True, 8)
    stats.record_allocation(128, False)
    stats.record_deallocation(64)
    snap = stats.get_snapshot()
    got = (snap["current_allocations"], snap["peak_bytes_allocated"])
    expect("LockFreeStatistics snapshot (current, peak bytes)", got, (1, 192))
    stack = m.LockFreeStack()
    stack.push(1)
    stack.push(2)
    expect("LockFreeStack pop after push(1), push(2)", stack.pop(), 2)


def check_spanwood(m: ModuleType) -> None:
    from kestrun.memory.span_record import SpanRecord

    tree = m.FastRedBlackTree()
    for span in (SpanRecord(0, 64), SpanRecord(4096, 32), SpanRecord(8192, 64)):
        tree.insert(span.size, span)
    expect("FastRedBlackTree.find_best_fit(33)", tree.find_best_fit(33), SpanRecord(0, 64))
    expect("FastRedBlackTree.remove_ge(40)", tree.remove_ge(40), (64, SpanRecord(0, 64)))
    expect("FastRedBlackTree.remove_ge(65)", tree.remove_ge(65), (None, None))
    expect("FastRedBlackTree.find_all_exact(64)", tree.find_all_exact(64), [SpanRecord(8192, 64)])
    expect("len(FastRedBlackTree)", len(tree), 2)


def check_slabkit(m: ModuleType) -> None:
    header = m.FastSlabHeaderOps(3, 64)
    got = header.pack_header().hex()
    expect("FastSlabHeaderOps(3, 64).pack_header()", got, "0300000000000028ffffffffffffffff")
    header.py_allocate_object_at(0)
    expect("FastSlabHeaderOps.py_find_free_object()", header.py_find_free_object(), 1)
    buckets = m.FastBucketAllocator()
    buckets.add_to_bucket(100, 16)
    buckets.add_to_bucket(64, 32)
    expect(
        "FastBucketAllocator.find_best_fit_bucket(16, 64)", buckets.find_best_fit_bucket(16, 64), 64
    )
    expect("fast_align_size(13, 8)", m.fast_align_size(13, 8), 16)


def check_jit_governor(m: ModuleType) -> None:
    from kestrun.jit.metric_ledger import MetricLedger

    ledger, governor = MetricLedger(), m.JitGovernor(m.PolicyConfig(initial_threshold=20))
    for _ in range(19):
        ledger.record_call("f", 2.0)
    expect("JitGovernor.should_compile after 19 calls", governor.should_compile("f", ledger), False)
    ledger.record_call("f", 2.0)
    expect("JitGovernor.should_compile after 20 calls", governor.should_compile("f", ledger), True)
    ledger.record_compilation("f", 4.0)
    governor.update("f", ledger)
    expect("JitGovernor.get_threshold after a 4x speed-up", governor.get_threshold("f"), 18)


def check_hostprobe(m: ModuleType) -> None:
    caps = m.detect_capabilities()
    expect("detect_capabilities()['detector']", caps["detector"], "native")
    expect("detect_capabilities()['physical_cores'] >= 1", caps["physical_cores"] >= 1, True)
    version = m.detect_python_version()[0]
    expect("detect_python_version()[0]", version, platform.python_version())


def check_jobscore(m: ModuleType) -> None:
    code = "import numpy as np\ndef f(a):\n    return np.dot(a, a).sum()\n"
    expect("quick_framework_score(code, 'numpy')", m.quick_framework_score(code, "numpy"), 0.2)
    expect("score_indicators(code, 'f')", m.score_indicators(code, "f"), (3, 0, 0, 2, 0, 0, 0))
    expect("score_framework_patterns(code)", m.score_framework_patterns(code), (0.16, 0.0, 0.0))


def check_shiftplan(m: ModuleType) -> None:
    history = [(t, 100.0 if t < 5 else 70.0) for t in range(10)]
    got = m.detect_performance_degradation(history, 100.0, 0.2, 5.0)
    expect("detect_performance_degradation(30% slower)", got, True)
    got = m.detect_dominant_pattern(["cpu", "io", "io", "cpu", "io"])
    expect("detect_dominant_pattern(['cpu', 'io', 'io', 'cpu', 'io'])", got, "io")
    expect("detect_memory_pressure(90, 100)", m.detect_memory_pressure(90, 100), True)


def check_cardmem(m: ModuleType) -> None:
    expect(
        "estimate_allocation_bytes((1024, 1024), 4)",
        m.estimate_allocation_bytes((1024, 1024), 4),
        4194304,
    )
    got = m.decide_allocation_strategy(8 * 2**30, 4 * 2**30, 0.2, True)
    expect(
        "decide_allocation_strategy(8 GiB, 4 GiB, 0.2, True)",
        got,
        (1, 3435973836, 3, "Chunking into 3 GPU passes"),
    )
    got = m.compute_chunk_shapes((10, 3), 8, 100)
    expect("compute_chunk_shapes((10, 3), 8, 100)", got, [(4, 3), (4, 3), (2, 3)])
    expect("calculate_memory_pressure(1, 4)", m.calculate_memory_pressure(1, 4), 0.25)


CHECKS: dict[str, Callable[[ModuleType], None]] = {
    "kestrun.memory.syncore": check_syncore,
    "kestrun.memory.spanwood": check_spanwood,
    "kestrun.memory.slabkit": check_slabkit,
    "kestrun.jit.jit_governor": check_jit_governor,
    "kestrun.native.hostprobe": check_hostprobe,
    "kestrun.plugins.analyzer.jobscore": check_jobscore,
    "kestrun.plugins.analyzer.shiftplan": check_shiftplan,
    "kestrun.gpu.cardmem": check_cardmem,
}


def run_check(name: str, status: str = "loaded") -> dict[str, Any]:
    """Runs the module's self-check: ok, or failed with the first wrong call.
    A module that did not load fails its check without being called."""
    if status != "loaded":
        error = "not built" if status == "not built" else "did not load (see above)"
        return {"module": name, "result": "failed", "error": error, "time_ms": 0.0}
    check = CHECKS.get(name)
    if check is None:
        return {"module": name, "result": "failed", "error": "no self-check for it", "time_ms": 0.0}
    start = time.perf_counter()
    error = None
    try:
        check(sys.modules[name])
    except CheckFailed as exc:
        error = str(exc)
    except Exception as exc:
        error = f"raised {type(exc).__name__}: {exc}"
    elapsed_ms = (time.perf_counter() - start) * 1000.0
    result = "ok" if error is None else "failed"
    return {"module": name, "result": result, "error": error, "time_ms": elapsed_ms}


# ---------------------------------------------------------------- the report


def host_capabilities(modules: list[dict[str, Any]]) -> Any:
    """The probe's capability dictionary, or None when the probe is not loaded."""
    if not any(m["module"] == PROBE and m["status"] == "loaded" for m in modules):
        return None
    try:
        return importlib.import_module(PROBE).detect_capabilities()
    except Exception as exc:
        return {"error": f"{type(exc).__name__}: {exc}"}


def collect(check: bool = False) -> dict[str, Any]:
    modules = [module_report(name) for name in NATIVE_MODULES]
    checks = None
    if check:
        checks = [run_check(m["module"], m["status"]) for m in modules]
    report = {
        "kestrun": __version__,
        "python": platform.python_version(),
        "implementation": platform.python_implementation(),
        "platform": platform.platform(),
        "build": build_info(),
        "modules": modules,
        "checks": checks,
        "capabilities": host_capabilities(modules),
    }
    report["exit_status"] = exit_status(report)
    return report


def exit_status(report: dict[str, Any]) -> int:
    failed = any(m["status"] == "failed" for m in report["modules"])
    failed = failed or any(c["result"] != "ok" for c in report.get("checks") or ())
    return 1 if failed else 0


def shown(key: str, value: Any) -> str:
    """A capability as the text report shows it: times readable, empty text visible."""
    try:
        if key == "detected_at" and isinstance(value, float):
            return time.strftime("%Y-%m-%d %H:%M:%S %Z", time.localtime(value))
        if key == "detection_time_ms" and isinstance(value, float):
            return f"{value:.3f}"
    except (OverflowError, OSError, ValueError):
        pass
    return '""' if isinstance(value, str) and not value else str(value)


def render_build(build: dict[str, Any], modules: list[dict[str, Any]]) -> list[str]:
    if build.get("free_threaded"):
        kind = f"free-threaded, GIL {'on' if build.get('gil_enabled') else 'off'}"
    else:
        kind = "with the GIL (not free-threaded)"
    lines = ["Build:", f"  interpreter: {kind}"]
    if build.get("recorded"):
        where = "in place (development build)" if build.get("in_place") else "installed"
        lines += [
            f"  compiler: {build['compiler']} ({build['compiler_path']})",
            f"  flags: {build['flags']}",
            f"  build type: {build['build_type']}, {where}"
            + (f", limited to {build['only']}" if build.get("only") else ""),
            f"  sanitizer: {build['sanitizer'] or 'off'}",
        ]
    else:
        lines.append(
            "  compiler, flags, build type, sanitizer: not recorded (no kestrun/_build_info.py)"
        )
    stubs = sum(bool(m.get("stub")) for m in modules)
    typed = "present" if build.get("py_typed") else "missing"
    lines.append(f"  stubs: {stubs} of {len(modules)} modules, py.typed {typed}")
    return lines


def render(report: dict[str, Any]) -> str:
    modules = report["modules"]
    width = max(len(m["module"]) for m in modules)
    lines = [
        f"kestrun {report['kestrun']} native core",
        f"Python {report['python']} ({report['implementation']}) on {report['platform']}",
        "",
    ]
    if report.get("build"):
        lines += [*render_build(report["build"], modules), ""]
    lines.append("Native modules (import time, extension file):")
    for m in modules:
        line = f"  {m['module']:<{width}}  {m['status']}"
        if m["error"]:
            line += f": {m['error']}"
        elif m.get("import_ms") is not None and m["status"] == "loaded":
            line += f"  {m['import_ms']:8.3f} ms  {m.get('file')}"
        lines.append(line)
    loaded = sum(m["status"] == "loaded" for m in modules)
    failed = [m["module"] for m in modules if m["status"] == "failed"]
    summary = f"  {loaded} of {len(modules)} loaded"
    lines.append(summary + (f"; failed: {', '.join(failed)}" if failed else ""))
    checks = report.get("checks")
    if checks is not None:
        lines += ["", "Self-check:"]
        for c in checks:
            line = f"  {c['module']:<{width}}  {c['result']:<6}  {c['time_ms']:8.3f} ms"
            if c["error"]:
                line += f"  {c['error']}"
            lines.append(line)
        bad = [c["module"] for c in checks if c["result"] != "ok"]
        summary = f"  {len(checks) - len(bad)} of {len(checks)} passed"
        lines.append(summary + (f"; failed: {', '.join(bad)}" if bad else ""))
    caps = report["capabilities"]
    lines.append("")
    if caps is None:
        lines.append("Host capabilities: not available (the capability probe is not loaded)")
    else:
        lines.append("Host capabilities:")
        if isinstance(caps, dict):
            for key, value in caps.items():
                lines.append(f"  {key}: {shown(key, value)}")
        else:
            lines.append(f"  {caps!r}")
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m kestrun",
        description=HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--json", action="store_true", help="print the report as JSON")
    parser.add_argument(
        "--check", action="store_true", help="also check every loaded module against known answers"
    )
    args = parser.parse_args(argv)
    report = collect(check=args.check)
    try:
        if args.json:
            print(json.dumps(report, indent=2, default=repr))
        else:
            print(render(report))
        sys.stdout.flush()
    except BrokenPipeError:  # the reader stopped early (| head): no traceback
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    return report["exit_status"]


if __name__ == "__main__":
    sys.exit(main())
