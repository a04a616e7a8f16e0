"""The frame every native module shares, checked for each built module.

A module loads once per process and only into one interpreter; executing it
again is refused; it logs one info-level line when it loads (or nothing, for
the two modules that do not log); its extension types refuse pickling and
copying; its functions are safe before its set-up has run; and an import that
failed half-way can be retried.  What differs between modules (public names,
the load line's words) is data in ``MODULES``; a built module missing from
that table fails, so a new module cannot be forgotten.
"""

from __future__ import annotations

import copy
import dataclasses
import importlib
import importlib.util
import logging
import os
import pickle
import re
import subprocess
import sys
import sysconfig
import threading
import time
import typing

import _hostile
import _surface
import pytest

import kestrun

DISCOVERY = _surface.discover()
BUILT = DISCOVERY.built


@dataclasses.dataclass(frozen=True)
class Row:
    short: str
    logs: bool = True
    #: Words the info-level load line contains.
    load_line: tuple[str, ...] = ()
    #: Every module-level name not starting with "__", when known exactly.
    public: frozenset[str] | None = None
    #: Names that must be there (also checked when ``public`` is not yet known).
    required: frozenset[str] = frozenset()
    #: Module attributes that must be these very objects.
    identities: tuple[tuple[str, object], ...] = ()
    #: Module attributes with fixed values (compared with ``is``).
    values: tuple[tuple[str, object], ...] = ()
    #: Names that must not be there (helpers that are not part of the surface).
    absent: tuple[str, ...] = ()
    #: Classes that must be defined by the module itself (``__module__``).
    own_classes: tuple[str, ...] = ()
    #: Other native modules its import may load (their load lines may show).
    loads: tuple[str, ...] = ()


SYNCORE_TYPES = (
    "AtomicCounter",
    "AtomicPointer",
    "LockFreeStack",
    "LockFreeStatistics",
    "PerformanceTimer",
)
SLABKIT_TYPES = ("FastSlabHeaderOps", "FastBucketAllocator", "FastStatsCollector")
SLABKIT_FUNCTIONS = frozenset(
    {"fast_align_size", "fast_get_bucket_size", "fast_bitmap_operations", "fast_can_fit_aligned"}
)
JIT_GOVERNOR_TYPES = ("PolicyConfig", "FunctionMetrics", "JitGovernor")
HOSTPROBE_FUNCTIONS = frozenset(
    {
        "detect_physical_cores",
        "detect_numa_nodes",
        "detect_gpu_backends",
        "detect_python_version",
        "detect_capabilities",
    }
)
JOBSCORE_FUNCTIONS = frozenset(
    {
        "quick_framework_score",
        "score_indicators",
        "normalize_scores",
        "score_framework_patterns",
        "calculate_gpu_suitability",
        "estimate_gpu_speedup",
        "calculate_parallelization_potential",
        "determine_workload_pattern",
        "update_adaptive_threshold",
    }
)
SHIFTPLAN_FUNCTIONS = frozenset(
    {
        "detect_performance_degradation",
        "calculate_performance_trend",
        "detect_workload_characteristics_change",
        "detect_dominant_pattern",
        "is_adaptation_beneficial",
        "should_skip_adaptation",
        "detect_memory_pressure",
        "detect_fragmentation_threshold",
        "calculate_adaptation_urgency",
        "score_pool_recommendation",
        "predict_resource_requirements",
    }
)
CARDMEM_FUNCTIONS = frozenset(
    {
        "estimate_allocation_bytes",
        "calculate_safe_limit",
        "decide_allocation_strategy",
        "compute_chunk_shapes",
        "calculate_optimal_chunks",
        "is_oom_error",
        "is_chunkable_operation",
        "score_gpu_suitability",
        "calculate_memory_pressure",
        "recommend_headroom",
    }
)

MODULES: dict[str, Row] = {
    "kestrun.memory.syncore": Row(
        "syncore",
        load_line=("lock-free native atomics", "10-20x"),
        public=frozenset(SYNCORE_TYPES)
        | {
            "AtomicCounterWrapper",
            "threading",
            "time",
            "logging",
            "Optional",
            "TypeVar",
            "Generic",
            "logger",
            "NATIVE_ATOMICS_AVAILABLE",
        },
        identities=(
            ("threading", threading),
            ("time", time),
            ("logging", logging),
            ("Optional", typing.Optional),
            ("TypeVar", typing.TypeVar),
            ("Generic", typing.Generic),
        ),
        values=(("NATIVE_ATOMICS_AVAILABLE", True),),
        absent=("_as_int",),
        own_classes=SYNCORE_TYPES + ("AtomicCounterWrapper",),
    ),
    "kestrun.memory.slabkit": Row(
        "slabkit",
        load_line=("fast-allocator", "1.8-3x"),
        public=frozenset(SLABKIT_TYPES) | SLABKIT_FUNCTIONS | {"threading", "logging", "logger"},
        identities=(("threading", threading), ("logging", logging)),
        own_classes=SLABKIT_TYPES,
    ),
    "kestrun.native.hostprobe": Row(
        "hostprobe",
        logs=False,
        public=HOSTPROBE_FUNCTIONS | {"sys", "os", "time"},
        identities=(("sys", sys), ("os", os), ("time", time)),
    ),
    "kestrun.plugins.analyzer.jobscore": Row(
        "jobscore",
        public=JOBSCORE_FUNCTIONS | {"re", "logging", "logger"},
        identities=(("re", re),),
    ),
    "kestrun.plugins.analyzer.shiftplan": Row(
        "shiftplan", public=SHIFTPLAN_FUNCTIONS | {"logging", "logger"}
    ),
    "kestrun.gpu.cardmem": Row("cardmem", public=CARDMEM_FUNCTIONS | {"logging", "logger"}),
    "kestrun.memory.spanwood": Row(
        "spanwood",
        logs=False,
        public=frozenset(
            {
                "FastRedBlackTree",
                "ATOMIC_AVAILABLE",
                "AtomicCounter",
                "SpanRecord",
                "threading",
                "time",
                "math",
                "List",
                "Optional",
                "Tuple",
                "Dict",
                "Any",
                "_set_reader_pause",
                "_set_huge_page_refusal",
                "_POOL_TRACE_DOMAIN",
            }
        ),
        identities=(
            ("threading", threading),
            ("time", time),
            ("List", typing.List),  # noqa: UP006
            ("Optional", typing.Optional),
            ("Tuple", typing.Tuple),  # noqa: UP006
            ("Dict", typing.Dict),  # noqa: UP006
            ("Any", typing.Any),
        ),
        values=(("ATOMIC_AVAILABLE", True),),
        own_classes=("FastRedBlackTree",),
        loads=("kestrun.memory.syncore",),
    ),
    "kestrun.jit.jit_governor": Row(
        "jit_governor",
        load_line=("JIT policy governor",),
        public=frozenset(JIT_GOVERNOR_TYPES)
        | {
            "create_policy_config",
            "create_function_metrics",
            "get_jit_governor",
            "reset_jit_governor",
            "_policy_lock",
            "logger",
            "logging",
            "threading",
            "time",
            "Dict",
            "Optional",
        },
        identities=(
            ("threading", threading),
            ("time", time),
            ("logging", logging),
            ("Dict", typing.Dict),  # noqa: UP006
            ("Optional", typing.Optional),
        ),
        own_classes=JIT_GOVERNOR_TYPES,
    ),
}

built = pytest.mark.parametrize("name", BUILT)


def run(code: str, timeout: float = 60) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout
    )


# ---------------------------------------------------------------- the table


def test_every_native_module_has_a_row() -> None:
    assert set(MODULES) == set(kestrun.NATIVE_MODULES)
    assert all(MODULES[name].short == name.rsplit(".", 1)[-1] for name in MODULES)


@built
def test_module_names(name: str) -> None:
    module = importlib.import_module(name)
    row = MODULES[name]
    names = {n for n in vars(module) if not n.startswith("__")}
    if row.public is not None:
        assert names == row.public
    assert row.required <= names
    for attr, expected in row.identities:
        assert getattr(module, attr) is expected, attr
    for attr, expected in row.values:
        assert getattr(module, attr) is expected, attr
    for attr in row.absent:
        assert attr not in names
    for cls in row.own_classes:
        assert getattr(module, cls).__module__ == name
    if row.logs:
        assert module.logger is logging.getLogger(name)
        assert module.logging is logging
    else:
        assert "logger" not in names


# ---------------------------------------------------------------- loading


@built
def test_loads_once(name: str) -> None:
    module = importlib.import_module(name)
    assert importlib.import_module(name) is module is sys.modules[name]
    exec(f"import {name} as again", namespace := {})
    assert namespace["again"] is module


@built
def test_reinitialisation_is_refused(name: str) -> None:
    module = importlib.import_module(name)
    module_spec = importlib.util.find_spec(name)
    fresh = importlib.util.module_from_spec(module_spec)
    message = (
        rf"^Module '{re.escape(MODULES[name].short)}' has already been imported\. "
        r"Re-initialisation is not supported\.$"
    )
    with pytest.raises(RuntimeError, match=message):
        module_spec.loader.exec_module(fresh)
    assert importlib.import_module(name) is module


@pytest.mark.skipif(sys.version_info < (3, 13), reason="needs the 3.13 interpreters module")
@built
def test_second_interpreter_is_refused(name: str) -> None:
    # Refused before and after the main interpreter has loaded the module:
    # a sub-interpreter that tries first does not lock the main one out.
    code = rf"""
import _interpreters
interp = _interpreters.create()
script = '''
try:
    import {name}
except ImportError as exc:
    result = str(exc)
else:
    result = "loaded"
'''
def attempt():
    _interpreters.run_string(interp, script)
    _interpreters.exec(interp, "import sys; sys.stdout.write(result + chr(10))")
attempt()
import {name}
attempt()
"""
    proc = run(code)
    assert proc.returncode == 0, proc.stderr
    refused = (
        "Interpreter change detected - this module can only be loaded into one interpreter "
        "per process.\n"
    )
    assert proc.stdout == refused * 2


LOAD_LINE = """
import importlib, logging
logging.basicConfig(level=logging.DEBUG, format='%(levelname)s|%(name)s|%(message)s')
import {name}
importlib.import_module('{name}')
from kestrun.__main__ import module_status
print(module_status('{name}')['status'])
"""


@built
def test_load_line_logged_once_at_info(name: str) -> None:
    """Importing (twice), with every logger at DEBUG, logs exactly one line:
    the module's info-level load line (none for a module that does not log),
    beside only the load lines of the native modules its import loads."""
    proc = run(LOAD_LINE.format(name=name))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "loaded"
    lines = proc.stderr.splitlines()
    own = [line for line in lines if line.split("|")[1:2] == [name]]
    others = [line for line in lines if line not in own]
    row = MODULES[name]
    if row.logs:
        assert len(own) == 1 and own[0].startswith(f"INFO|{name}|"), lines
        assert all(word in own[0] for word in row.load_line), own[0]
    else:
        assert own == []
    loggers = [line.split("|")[1] for line in others]
    assert all(line.startswith("INFO|") for line in others), others
    assert sorted(set(loggers)) == sorted(loggers) and set(loggers) <= set(row.loads), others


def test_report_lists_the_built_modules_as_loaded() -> None:
    proc = subprocess.run(
        [sys.executable, "-m", "kestrun"], capture_output=True, text=True, timeout=120
    )
    assert proc.returncode == 0, proc.stderr
    for name in BUILT:
        assert any(name in line and "loaded" in line for line in proc.stdout.splitlines()), name


# ---------------------------------------------------------------- extension types

TYPES = [(s.name, cls) for s in DISCOVERY.surfaces for cls in s.native_classes]


@pytest.mark.parametrize(
    "name, cls", TYPES, ids=[f"{n.rsplit('.', 1)[-1]}.{c.__name__}" for n, c in TYPES]
)
def test_pickling_and_copying_are_refused(name: str, cls: type) -> None:
    obj = DISCOVERY.surface(name).factory(cls)()
    for action in (pickle.dumps, copy.copy, copy.deepcopy):
        with pytest.raises(
            TypeError, match=r"^no default __reduce__ due to non-trivial __cinit__$"
        ):
            action(obj)


# ---------------------------------------------------------------- set-up


@pytest.mark.slow
@built
def test_functions_before_set_up(name: str, tmp_path) -> None:
    """On a module object whose set-up has not run, every function raises an
    ordinary exception (or works); after ``exec_module`` they all work."""
    surface = DISCOVERY.surface(name)
    calls = _hostile.function_calls(surface)
    if not calls:
        pytest.skip(f"{name} has no module functions")
    child = _hostile.run_child(["before-setup", name, _hostile.pack(calls)], str(tmp_path), 60)
    _hostile.expect_ok(child, "functions before set-up")
    assert child.result["failures"] == []
    assert child.result["worked"] == [c["name"] for c in calls if c["valid"] is not None]


@pytest.mark.slow
@built
def test_failed_first_import_can_be_retried(name: str, tmp_path) -> None:
    """The k-th import made by the module's set-up fails (k = 1, 2, ... up to
    all of them): the ImportError reaches the importer, and importing again
    with the machinery restored gives a working module."""
    counted = _hostile.run_child(["retry", name, "0"], str(tmp_path), 60)
    _hostile.expect_ok(counted, "counting the set-up's imports")
    imports = counted.result["first"]["imports"]
    expected = set(counted.result["worked"])
    assert not counted.result["failed"], counted.result["failed"]
    problems: dict[str, list[int]] = {}
    for k in range(1, imports + 1):
        child = _hostile.run_child(["retry", name, str(k)], str(tmp_path), 60)
        if not child.ok:
            problems.setdefault(child.explain(), []).append(k)
            continue
        first, retry = child.result["first"], child.result["retry"]
        if first["failed"] and (
            not first["injected"] or first["system_error"] or first["left_in_sys_modules"]
        ):
            problems.setdefault(f"the importer saw {first}", []).append(k)
        if retry not in ("ok", "not needed"):
            problems.setdefault(f"importing again: {retry}", []).append(k)
        elif set(child.result["worked"]) != expected or child.result["failed"]:
            problems.setdefault(
                f"importing again gave a module whose calls fail: {child.result['failed']}", []
            ).append(k)
    if problems:
        pytest.fail(
            f"{name} (its set-up makes {imports} imports):\n"
            + "\n".join(
                f"with import {', '.join(map(str, ks))} failing: {text}"
                for text, ks in problems.items()
            ),
            pytrace=False,
        )


@pytest.mark.skipif(
    not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="free-threaded interpreters only"
)
def test_every_module_loads_without_turning_the_gil_on() -> None:
    code = (
        "import importlib, sys, kestrun\n"
        "for name in kestrun.NATIVE_MODULES: importlib.import_module(name)\n"
        "print(sys._is_gil_enabled())"
    )
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    proc = subprocess.run(
        [sys.executable, "-W", "error", "-c", code], capture_output=True, text=True, env=env
    )
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "False\n", "")
