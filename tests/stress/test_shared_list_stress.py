"""Native readers of a list while other threads replace its content.

A writer swaps the whole content of a shared list between two versions, A
and B, built from fresh objects each time (so the items it drops are freed at
once), and changes list-typed items in place.  Readers call the functions
that read the list (shiftplan's history walks; hostprobe's unpacking of what
a replaced module function returns): every answer must be the answer for A
or for B (a list slice assignment is one step), never a mix of the two, and
nothing may crash.  Each run is a child process, so a crash is a failed test
rather than a dead test run.
"""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest

SECONDS = 1.5

HARNESS = """
import sys, threading, time
from kestrun.native import hostprobe as hp
from kestrun.plugins.analyzer import shiftplan as sp

sys.setswitchinterval(1e-5)

def run_for(seconds, targets):
    stop = threading.Event()
    errors = []
    def wrap(fn):
        def body():
            try:
                fn(stop)
            except BaseException as exc:
                errors.append(exc)
                stop.set()
        return body
    threads = [threading.Thread(target=wrap(fn)) for fn in targets]
    for t in threads:
        t.start()
    time.sleep(SECONDS)
    stop.set()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]

def check(read, versions, readers=3):
    # versions: the builders of A and B; read(history) -> answer.
    valid = {read(make()) for make in versions}
    assert len(valid) == len(versions), valid
    history = versions[0]()
    seen = set()
    def writer(stop):
        k = 0
        while not stop.is_set():
            k += 1
            history[:] = versions[k % len(versions)]()
    def reader(stop):
        while not stop.is_set():
            answer = read(history)
            assert answer in valid, (answer, valid)
            seen.add(answer)
    run_for(SECONDS, [writer] + [reader] * readers)
"""

CASES = {
    # (timestamp, size) tuples: totals of 10 or 30 bytes, never in between.
    "predict_tuples": """
        def version(size):
            return lambda: [(float(i), float(size)) for i in range(10)]
        check(lambda h: sp.predict_resource_requirements(h, 9.0), [version(1), version(3)])
    """,
    # The same with [timestamp, size] lists as entries, one of which another
    # thread keeps changing between two values of the same total.
    "predict_list_entries": """
        shared = [0.0, 2.0]
        def version(size):
            return lambda: [shared] + [[float(i), float(size)] for i in range(1, 10)]
        def flipper(stop):
            while not stop.is_set():
                shared[:] = [0.0, 2.0]
                shared[:] = [0.0, 2.0 + 0.0]
        valid = {sp.predict_resource_requirements(v(), 9.0) for v in (version(1), version(3))}
        history = version(1)()
        def writer(stop):
            k = 0
            while not stop.is_set():
                k += 1
                history[:] = version(1 + 2 * (k % 2))()
        def reader(stop):
            while not stop.is_set():
                answer = sp.predict_resource_requirements(history, 9.0)
                assert answer in valid, (answer, valid)
        run_for(SECONDS, [writer, flipper, reader, reader])
    """,
    # Mean of the window against the baseline: 1.0 against 3.0.
    "degradation_and_trend": """
        def version(perf, slope):
            return lambda: [(float(i), float(perf + slope * i)) for i in range(8)]
        check(lambda h: sp.detect_performance_degradation(h, 2.0, 0.1, 0.0),
              [version(1, 0), version(3, 1)])
        check(lambda h: sp.calculate_performance_trend(h, 0.0), [version(1, 0), version(3, 1)])
    """,
    # Names made afresh; the windows' winners differ, and so do a mix's.
    "dominant_pattern": """
        def version(names):
            return lambda: [(n + "!")[:-1] for n in names]
        check(lambda h: sp.detect_dominant_pattern(h, 5),
              [version(["a1", "a1", "a2", "a2", "a2"]), version(["b1", "b1", "b1", "b2", "b2"])])
    """,
    # detect_capabilities unpacks what detect_python_version returns.
    "hostprobe_version_pair": """
        gpu = hp.detect_gpu_backends()
        hp.detect_gpu_backends = lambda: gpu  # keep each call short
        def capabilities(pair):
            hp.detect_python_version = lambda: pair
            caps = hp.detect_capabilities()
            return caps["detector"], caps["python_version"], caps["subinterpreter_support"]
        def version(n):
            return lambda: [f"v{n}", n == 0]
        check(capabilities, [version(0), version(1)])
    """,
    "workload_change": """
        keys = ("parallelization_potential", "cpu_intensity", "memory_intensity")
        def version(old, new):
            return lambda: [dict.fromkeys(keys, float(old))] * 3 + [
                dict.fromkeys(keys, float(new)) for _ in range(3)]
        check(lambda h: sp.detect_workload_characteristics_change(h, 0.3),
              [version(0, 1), version(1, 4)])
    """,
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_history_readers_see_one_version(case: str) -> None:
    script = f"SECONDS = {SECONDS}\n{HARNESS}\n{textwrap.dedent(CASES[case])}"
    proc = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=60
    )
    assert proc.returncode == 0, proc.stderr[-3000:]
