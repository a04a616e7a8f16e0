"""No input crashes the process.

Every public callable of every built native module (found by ``_surface``) is
called with hostile arguments in a child process of its own: a crash there
fails that module's test with the last calls made, and a ``SystemError`` or
anything that is not an ``Exception`` fails it too.  Known reproducers run
as fixed cases beside the generic harness.

Deeper local runs (the harness's options are described in ``_hostile.py``):
    KESTRUN_HOSTILE_CALLS=200000 KESTRUN_HOSTILE_SEED=other pytest test_hostile.py
One callable only, e.g. after a failure:
    KESTRUN_HOSTILE_ONLY=shiftplan.detect_dominant_pattern pytest test_hostile.py -k never_crash
More runs of the exits with daemon threads inside calls:
    KESTRUN_HOSTILE_EXIT_RUNS=100 pytest test_hostile.py -k exit
"""

from __future__ import annotations

import os

import _hostile
import _surface
import pytest

import kestrun

DISCOVERY = _surface.discover()
BUILT = DISCOVERY.built
SYNCORE = "kestrun.memory.syncore"
SHIFTPLAN = "kestrun.plugins.analyzer.shiftplan"


def needs(module: str):
    return pytest.mark.skipif(module not in BUILT, reason=f"{module} is not built")


def report(findings: list[_hostile.Finding]) -> str:
    return "\n\n".join(f"{f.callable}: {f.problem}\n  {f.detail}" for f in findings)


# ---------------------------------------------------------------- the surface


def test_every_native_module_imports_or_is_not_built() -> None:
    assert DISCOVERY.failed == {}
    assert set(BUILT) | set(DISCOVERY.not_built) == set(kestrun.NATIVE_MODULES)


@pytest.mark.parametrize("module", BUILT)
def test_every_type_can_be_reached(module: str) -> None:
    """A type no instance can be made of would go untested: name it."""
    surface = DISCOVERY.surface(module)
    assert surface.entries, f"{module} exposes no public callable"
    assert surface.unreachable() == []


# ---------------------------------------------------------------- the harness


@pytest.mark.slow
@pytest.mark.parametrize("module", BUILT)
def test_hostile_arguments_never_crash(module: str, tmp_path) -> None:
    findings, stats = _hostile.fuzz_module(module, str(tmp_path))
    if findings:
        pytest.fail(f"{module} ({stats}):\n\n{report(findings)}", pytrace=False)
    assert stats["calls"] > 0 and stats["threaded_calls"] > 0


# ---------------------------------------------------------------- calls coming back


@pytest.mark.slow
@pytest.mark.parametrize("module", BUILT)
def test_calls_back_from_hostile_code_never_hang_or_crash(module: str, tmp_path) -> None:
    """Every callable is made to run hostile code (protocols of its arguments,
    methods and finalisers of replaced attributes, methods of a subclass of
    its receiver) that calls back into the object under test and the
    module's other objects, every callable in turn.  What comes back may work
    or raise (RuntimeError refuses a re-entry), never hang nor crash."""
    findings, stats = _hostile.fuzz_module(module, str(tmp_path), mode="reenter")
    if findings:
        pytest.fail(f"{module} ({stats}):\n\n{report(findings)}", pytrace=False)
    takes_arguments = any(e.parameters() for e in DISCOVERY.surface(module).entries)
    assert stats["callbacks"] > 0 or not takes_arguments


# ---------------------------------------------------------------- interpreter exit

EXIT_RUNS = int(os.environ.get("KESTRUN_HOSTILE_EXIT_RUNS", "10"))


def exit_report(children: list[_hostile.ChildResult]) -> str:
    failed = [c for c in children if not c.ok]
    lines = [f"{len(failed)} of {len(children)} runs failed"]
    for c in failed:
        threads = c.result["threads"] if c.result else "?"
        lines.append(f"  run {c.argv[2]}: {c.how_it_ended()}; daemon threads looping on {threads}")
    return "\n".join([*lines, "", failed[0].explain("the first run that failed")])


@pytest.mark.slow
@pytest.mark.parametrize("module", BUILT)
def test_exit_with_daemon_threads_inside_calls(module: str, tmp_path) -> None:
    """The main thread returns while daemon threads loop on the module's
    calls (those that release the interpreter lock or call Python code
    first): the interpreter exits with status 0, every run."""
    children = _hostile.exit_runs([module], str(tmp_path), EXIT_RUNS)
    if not all(c.ok for c in children):
        pytest.fail(exit_report(children), pytrace=False)


@pytest.mark.slow
def test_exit_with_daemon_threads_inside_calls_of_every_module(tmp_path) -> None:
    children = _hostile.exit_runs(BUILT, str(tmp_path), EXIT_RUNS)
    if not all(c.ok for c in children):
        pytest.fail(exit_report(children), pytrace=False)


# ---------------------------------------------------------------- fixed reproducers

REENTRANT_HISTORY = """
from kestrun.plugins.analyzer.shiftplan import detect_workload_characteristics_change as f

class K:
    armed = False
    def __hash__(s):
        return hash("parallelization_potential")
    def __eq__(s, o):
        if K.armed:
            {mutation}
        return False

hist = [{{K(): 0, "parallelization_potential": .1, "cpu_intensity": .1,
          "memory_intensity": .1}} for _ in range(6)]
K.armed = True
try:
    f(hist)
except SystemError:
    raise
except Exception:
    pass
"""


@needs(SHIFTPLAN)
@pytest.mark.parametrize("mutation", ["hist.clear()", "del hist[1:]"])
def test_history_changed_by_a_key_comparison(mutation: str, tmp_path) -> None:
    child = _hostile.run_child(
        ["code", REENTRANT_HISTORY.format(mutation=mutation)], str(tmp_path), 60
    )
    _hostile.expect_ok(child, mutation)


CHAIN = """
from {module} import {type}

def link(p):
    {link}

p = None
log("building")
for _ in range({depth}):
    p = link(p)
log("freeing")
del p
log("freed")
"""

# Each link holds the previous one: freeing the head must not recurse once per level.
FIXED_CHAINS = [
    (SYNCORE, "AtomicPointer", "return AtomicPointer(p)"),
    (SYNCORE, "LockFreeStack", "s = LockFreeStack(); s.push(p); return s"),
    (SYNCORE, "LockFreeStatistics", "s = LockFreeStatistics(); s.total_allocations = p; return s"),
]
DEPTH = 10**6
# The fault looked for is the depth of deallocation, not stale memory: the
# interpreter's own allocator keeps a million objects light.
PLAIN_ALLOCATOR = {"PYTHONMALLOC": _hostile.ALLOCATORS["plain"]}


@pytest.mark.slow
@pytest.mark.parametrize("module, type_name, link", FIXED_CHAINS, ids=[c[1] for c in FIXED_CHAINS])
def test_a_million_nested_objects_are_freed(
    module: str, type_name: str, link: str, tmp_path
) -> None:
    if module not in BUILT:
        pytest.skip(f"{module} is not built")
    code = CHAIN.format(module=module, type=type_name, depth=DEPTH, link=link)
    child = _hostile.run_child(["code", code], str(tmp_path), 120, env_extra=PLAIN_ALLOCATOR)
    _hostile.expect_ok(child, f"chain of {DEPTH} {type_name}")


HOLDERS = [r for s in DISCOVERY.surfaces for r in _hostile.holder_routes(s)]
FIXED_TYPES = {(m, t) for m, t, _ in FIXED_CHAINS}


@needs(SYNCORE)
def test_holders_are_discovered() -> None:
    """The generic search finds the holders known by hand."""
    found = {(r["module"], r["type"]) for r in HOLDERS}
    assert FIXED_TYPES <= found


@pytest.mark.slow
@pytest.mark.parametrize(
    "route", HOLDERS or [None], ids=lambda r: f"{r['type']}-{r['via']}" if r else "none"
)
def test_shallow_chains_of_every_holder(route: dict | None, tmp_path) -> None:
    """The generic chain builder works for every holder found (at a depth any
    deallocator survives), so the deep test below is ready for new types."""
    if route is None:
        pytest.skip("no native type holds objects")
    child = _hostile.run_child(
        ["chain", route["module"], _hostile.pack({**route, "depth": 1000})],
        str(tmp_path),
        60,
        env_extra=PLAIN_ALLOCATOR,
    )
    _hostile.expect_ok(child, f"chain of 1000 {route['type']} via {route['via']}")
    assert child.result == {"depth": 1000}


@pytest.mark.slow
@pytest.mark.parametrize(
    "route",
    [r for r in HOLDERS if (r["module"], r["type"]) not in FIXED_TYPES] or [None],
    ids=lambda r: f"{r['type']}-{r['via']}" if r else "none",
)
def test_a_million_nested_instances_of_any_holder_are_freed(route: dict | None, tmp_path) -> None:
    """Every other native type whose instances can hold an arbitrary object."""
    if route is None:
        pytest.skip("no other native type holds objects")
    child = _hostile.run_child(
        ["chain", route["module"], _hostile.pack({**route, "depth": DEPTH})],
        str(tmp_path),
        120,
        env_extra=PLAIN_ALLOCATOR,
    )
    _hostile.expect_ok(child, f"chain of {DEPTH} {route['type']} via {route['via']}")


BEFORE_SET_UP = [
    (SHIFTPLAN, "detect_dominant_pattern", [[]]),
    ("kestrun.gpu.cardmem", "is_chunkable_operation", ["zeros"]),
    ("kestrun.plugins.analyzer.jobscore", "score_indicators", ["x", "y"]),
]


@pytest.mark.parametrize("module, name, args", BEFORE_SET_UP, ids=[c[1] for c in BEFORE_SET_UP])
def test_function_called_before_the_module_is_set_up(
    module: str, name: str, args: list, tmp_path
) -> None:
    """A module object made by ``module_from_spec`` has not run its set-up:
    its functions raise an ordinary exception (or work), and work after it."""
    if module not in BUILT:
        pytest.skip(f"{module} is not built")
    calls = [{"name": name, "arglists": [args], "valid": args}]
    child = _hostile.run_child(["before-setup", module, _hostile.pack(calls)], str(tmp_path), 60)
    _hostile.expect_ok(child, f"{name}{tuple(args)} before set-up")
    assert child.result["failures"] == [] and child.result["worked"] == [name]
