"""Hostile-input engine for the native modules: the parent side and the
child's entry point.

Imported by the tests (``run_child`` starts a child process and explains how
it ended) and run as a script (``python _hostile.py MODE ...``: the child
side).  A child writes a description of each call it is about to make,
line-buffered, to its log file, so that when it dies the parent can show the
last calls.

    python _hostile.py fuzz MODULE           hostile calls, then a threaded phase
    python _hostile.py leaks MODULE          reference-count neutrality of every callable
    python _hostile.py chain MODULE ROUTE    a million nested instances, then freed
    python _hostile.py before-setup MODULE CALLS
                                             functions of a module object not yet set up
    python _hostile.py retry MODULE K        the K-th import of the set-up fails, then retry
    python _hostile.py reenter MODULE        every callable calls back into the module
                                             from hostile code, and every one comes back
    python _hostile.py exit MODULES RUN [FAVOURED]
                                             daemon threads inside calls at interpreter exit
    python _hostile.py code SOURCE           run SOURCE under the child's limits

The parts, one job each:
    _hostile_base.py     settings, the armed state, the call log, values on a command line
    _hostile_values.py   hostile objects and the values drawn from them
    _hostile_calls.py    hostile argument lists, one call under test
    _hostile_fuzz.py     mode fuzz
    _hostile_reenter.py  mode reenter
    _hostile_exit.py     mode exit
    _hostile_refs.py     modes leaks and chain, holders of objects
    _hostile_setup.py    modes before-setup and retry
    _hostile_child.py    the child process: limits, crash reports, dispatch to the modes

Environment: KESTRUN_HOSTILE_SEED (default "kestrun"), KESTRUN_HOSTILE_CALLS
(hostile calls per module), KESTRUN_HOSTILE_ONLY (only callables whose label
contains this text), KESTRUN_HOSTILE_SKIP (comma-separated labels to leave out).
"""

from __future__ import annotations

import concurrent.futures
import dataclasses
import json
import os
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

from _hostile_base import ALLOCATORS, ASAN_ALLOCATION_LIMIT_MB, pack, slowdown, under_asan, unpack  # noqa: E402
from _hostile_refs import holder_routes  # noqa: E402
from _hostile_setup import function_calls  # noqa: E402

__all__ = [
    "exit_runs",
    "expect_ok",
    "function_calls",
    "fuzz_module",
    "holder_routes",
    "pack",
    "run_child",
    "unpack",
]


# ================================================================ parent side


@dataclasses.dataclass
class ChildResult:
    argv: list[str]
    returncode: int | None
    stdout: str
    stderr: str
    log_tail: list[str]
    result: dict | None
    seconds: float
    timed_out: bool

    @property
    def ok(self) -> bool:
        return self.returncode == 0 and not self.timed_out and self.result is not None

    @property
    def hung(self) -> bool:
        """The child's hang guard fired: no progress within its time limit."""
        return any(line.startswith("Timeout (") for line in self.log_tail)

    def how_it_ended(self) -> str:
        if self.timed_out:
            return "timed out (killed)"
        if self.hung:
            return "hung (no progress within the time limit; every thread's traceback below)"
        rc = self.returncode
        if rc is not None and rc < 0:
            try:
                return f"killed by signal {signal.Signals(-rc).name}"
            except ValueError:
                return f"killed by signal {-rc}"
        return f"exit status {rc}"

    def explain(self, what: str = "") -> str:
        mode = self.argv[0] if self.argv[0] == "code" else " ".join(self.argv[:2])
        lines = [
            f"child {mode}{f' ({what})' if what else ''}: "
            f"{self.how_it_ended()} after {self.seconds:.1f} s"
        ]
        lines.append("---- last lines of the call log ----")
        lines += self.log_tail
        err = self.stderr.strip().splitlines()
        report = next(
            (
                i
                for i, line in enumerate(err)
                if "ERROR: AddressSanitizer" in line or "runtime error:" in line
            ),
            None,
        )
        if report is not None:  # the sanitizer's report: what, where, and its summary
            lines.append("---- sanitizer report ----")
            lines += err[report : report + 16]
            lines += [line for line in err[report + 16 :] if line.startswith("SUMMARY:")]
        elif err:
            lines.append("---- stderr (tail) ----")
            lines += err[-25:]
        return "\n".join(lines)


def child_env(mode: str) -> dict[str, str]:
    env = dict(os.environ)
    env.pop("PYTHONSTARTUP", None)
    if under_asan():
        opts = [o for o in env.get("ASAN_OPTIONS", "").split(":") if o]
        keys = {o.split("=")[0] for o in opts}
        for key, value in (
            ("allocator_may_return_null", "1"),
            ("max_allocation_size_mb", str(ASAN_ALLOCATION_LIMIT_MB)),
            ("detect_leaks", "0"),
        ):
            if key not in keys:
                opts.append(f"{key}={value}")
        env["ASAN_OPTIONS"] = ":".join(opts)
        if mode in ("fuzz", "code", "before-setup") and "PYTHONMALLOC" not in env:
            env["PYTHONMALLOC"] = "malloc"  # lets the sanitizer see every object's memory
    elif mode in ("fuzz", "code") and "PYTHONMALLOC" not in env:
        # Freed memory is overwritten: stale reads fail fast.
        env["PYTHONMALLOC"] = ALLOCATORS["debug"]
    return env


def run_child(
    argv: list[str], workdir: str, timeout: float, env_extra: dict[str, str] | None = None
) -> ChildResult:
    timeout *= slowdown()
    log_path = os.path.join(workdir, f"{argv[0]}.log")
    result_path = os.path.join(workdir, f"{argv[0]}.json")
    for path in (log_path, result_path):
        if os.path.exists(path):
            os.unlink(path)
    env = child_env(argv[0])
    env.update(
        KESTRUN_CHILD_LOG=log_path,
        KESTRUN_CHILD_RESULT=result_path,
        KESTRUN_CHILD_TIMEOUT=str(timeout),
    )
    env.update(env_extra or {})
    started = time.monotonic()
    proc = subprocess.Popen(
        [sys.executable, os.path.join(HERE, "_hostile.py"), *argv],
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        errors="backslashreplace",
        cwd=workdir,
    )
    timed_out = False
    try:
        out, err = proc.communicate(timeout=timeout + 10)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate()
        timed_out = True
    seconds = time.monotonic() - started
    tail: list[str] = []
    if os.path.exists(log_path):
        with open(log_path, encoding="utf-8", errors="backslashreplace") as fh:
            tail = _log_tail([line.rstrip("\n")[:400] for line in fh])
    result = None
    if os.path.exists(result_path):
        with open(result_path, encoding="utf-8") as fh:
            result = json.load(fh)
    return ChildResult(argv, proc.returncode, out, err, tail, result, seconds, timed_out)


# The first line of the fault handler's report (a crash, or the hang guard).
_REPORT_STARTS = ("Fatal Python error", "Timeout (")


def _log_tail(lines: list[str]) -> list[str]:
    """The last calls of a log and, when the fault handler wrote its report
    (every thread's traceback), the calls before it and the report."""
    start = next((i for i, line in enumerate(lines) if line.startswith(_REPORT_STARTS)), None)
    if start is None:
        return lines[-30:]
    return lines[max(0, start - 30) : start] + lines[start : start + 60]


def expect_ok(child: ChildResult, what: str = "") -> None:
    """Fails the calling test with the child's story unless it ended well."""
    if not child.ok:
        import pytest

        pytest.fail(child.explain(what), pytrace=False)


@dataclasses.dataclass
class Finding:
    callable: str
    problem: str
    detail: str


def fuzz_module(
    module: str, workdir: str, timeout: float = 120, restarts: int = 3, mode: str = "fuzz"
) -> tuple[list[Finding], dict]:
    """Runs the hostile harness (child ``mode``: fuzz, reenter) on ``module``
    in a child process.  When the child dies or hangs, the callable it was
    calling is left out and the harness runs again, so that one run reports
    every callable that crashes."""
    findings: list[Finding] = []
    skip: list[str] = []
    stats: dict = {}
    for _ in range(restarts + 1):
        os.environ["KESTRUN_HOSTILE_SKIP"] = ",".join(skip)
        try:
            child = run_child([mode, module], workdir, timeout)
        finally:
            del os.environ["KESTRUN_HOSTILE_SKIP"]
        if child.result is not None:
            stats = {k: v for k, v in child.result.items() if k not in ("failures", "outcomes")}
            if "reached" in stats:
                stats["reached"] = len(stats["reached"])
            for f in child.result["failures"]:
                findings.append(
                    Finding(
                        f["callable"],
                        f["problem"],
                        f"call: {f['callable']} {f['call']}\n    ({f['where']})",
                    )
                )
        if child.ok:
            break
        label = _last_label(child.log_tail)
        findings.append(Finding(label or "?", child.how_it_ended(), child.explain()))
        if not label or label in skip or label.startswith("thread"):
            break
        skip.append(label)
    return findings, stats


def exit_runs(modules: list[str], workdir: str, runs: int, parallel: int = 2) -> list[ChildResult]:
    """Runs child mode ``exit`` ``runs`` times on ``modules`` (together):
    the first run finds which calls release the interpreter lock or call
    Python code, the others (``parallel`` at a time) reuse what it found."""

    def one(run: int, extra: list[str]) -> ChildResult:
        folder = os.path.join(workdir, f"exit{run}")
        os.makedirs(folder, exist_ok=True)
        return run_child(["exit", ",".join(modules), str(run), *extra], folder, 60)

    first = one(0, [])
    extra = [pack(first.result["favoured"])] if first.result else []
    with concurrent.futures.ThreadPoolExecutor(parallel) as pool:
        rest = list(pool.map(lambda run: one(run, extra), range(1, runs)))
    return [first, *rest]


def _last_label(tail: list[str]) -> str | None:
    for line in reversed(tail):
        parts = line.split(" ", 2)
        if (
            len(parts) >= 2
            and (parts[0].isdigit() or parts[0].startswith("thread"))
            and "." in parts[1]
        ):
            return parts[1] if parts[1] != "gc.collect" else None
    return None


if __name__ == "__main__":
    from _hostile_child import child_main

    sys.exit(child_main(sys.argv[1:]))
