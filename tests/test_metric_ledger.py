"""kestrun.jit.metric_ledger: the figures the JIT governor reads, from many threads."""

from __future__ import annotations

import math
import threading
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kestrun.jit.jit_governor import FunctionMetrics, JitGovernor, PolicyConfig
from kestrun.jit.metric_ledger import MetricLedger

FIGURES = ("call_count", "compile_count", "avg_speedup", "total_execution_time_ms", "last_compiled")
IDS = st.sampled_from(["a", "b", None])
EVENTS = st.lists(st.tuples(IDS, st.floats(0, 1e6), st.one_of(st.none(), st.floats(1e-3, 1e3))))


def figures(ledger: MetricLedger, func_id: str | None) -> list:
    return [getattr(ledger.get_metrics(func_id), name) for name in FIGURES]


@settings(max_examples=100, deadline=None)
@given(events=EVENTS)
def test_records_match_a_plain_model(events) -> None:
    # Each event is a call of `elapsed` ms, followed by a compilation when a speed-up is given.
    ledger, model = MetricLedger(), {}
    for stamp, (func_id, elapsed, speedup) in enumerate(events):
        rec = model.setdefault(func_id, [0, [], 0.0, 0.0])
        ledger.record_call(func_id, elapsed)
        rec[0] += 1
        rec[2] += elapsed
        if speedup is not None:
            ledger.record_compilation(func_id, speedup, timestamp=stamp)
            rec[1].append(speedup)
            rec[3] = float(stamp)
    assert ledger.tracked_functions() == list(model)
    for func_id, (calls, speedups, total, last) in model.items():
        mean = sum(speedups) / len(speedups) if speedups else 1.0
        expected = [calls, len(speedups), pytest.approx(mean), pytest.approx(total), last]
        assert figures(ledger, func_id) == expected
    assert figures(ledger, "never seen") == [0, 0, 1.0, 0.0, 0.0]


def test_snapshots_and_defaults(monkeypatch) -> None:
    ledger = MetricLedger()
    ledger.record_call("f", 2.5)
    snapshot = ledger.get_metrics("f")
    assert type(snapshot) is FunctionMetrics
    ledger.record_call("f")
    snapshot.call_count = 99  # the caller's copy
    assert (snapshot.call_count, ledger.get_metrics("f").call_count) == (99, 2)
    monkeypatch.setattr(time, "time", lambda: 1234.5)
    ledger.record_compilation("f", 2)
    assert figures(ledger, "f") == [2, 1, 2.0, 2.5, 1234.5]
    ledger.clear()
    assert ledger.tracked_functions() == [] and figures(ledger, "f")[0] == 0


# fmt: off
@pytest.mark.parametrize("call, exc, message", [
    (lambda led: led.record_call(7), TypeError,
     r"^Argument 'func_id' has incorrect type \(expected str, got int\)$"),
    (lambda led: led.get_metrics(type("S", (str,), {})("f")), TypeError, "expected str, got S"),
    (lambda led: led.record_call("f", -1.0), ValueError, "must not be negative"),
    (lambda led: led.record_call("f", math.nan), ValueError, "must be a finite number"),
    (lambda led: led.record_call("f", "1"), TypeError, "must be a real number, not str"),
    (lambda led: led.record_compilation("f", 0.0), ValueError, "speedup must be positive"),
    (lambda led: led.record_compilation("f", 2.0, timestamp=-5), ValueError, "must not be"),
])
# fmt: on
def test_bad_arguments_are_refused_and_record_nothing(call, exc, message) -> None:
    ledger = MetricLedger()
    with pytest.raises(exc, match=message):
        call(ledger)
    assert ledger.tracked_functions() == []


def test_conversions_run_before_the_lock() -> None:
    ledger = MetricLedger()
    # Converting calls back into the ledger: under its lock, this would deadlock.
    reentrant = type("R", (), {"__float__": lambda self: ledger.record_call("inner") or 1.5})()
    ledger.record_call("outer", reentrant)
    ledger.record_compilation("outer", reentrant, timestamp=reentrant)
    assert figures(ledger, "inner")[0] == 3 and figures(ledger, "outer")[2] == 1.5


def test_threads_recording_many_functions_are_exact() -> None:
    ledger, names, n_threads, rounds = MetricLedger(), [f"f{i}" for i in range(16)], 8, 150

    def work(index: int) -> None:
        for r in range(rounds):
            for name in names[index:] + names[:index]:
                ledger.record_call(name, 0.5)
                if r % 10 == 0:
                    ledger.record_compilation(name, 2.0, timestamp=1.0)
                ledger.get_metrics(name)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(n_threads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    calls = n_threads * rounds
    assert {tuple(figures(ledger, n)) for n in names} == {(calls, calls // 10, 2.0, calls / 2, 1.0)}


def test_drives_the_governor_from_first_call_to_recompilation(monkeypatch) -> None:
    clock = [10_000.0]
    monkeypatch.setattr(time, "time", lambda: clock[0])
    ledger, gov, calls = MetricLedger(), JitGovernor(PolicyConfig(initial_threshold=20)), 0
    while not gov.should_compile("hot", ledger):
        ledger.record_call("hot", 0.1)
        calls += 1
    ledger.record_compilation("hot", 4.0)
    gov.update("hot", ledger)
    assert (calls, gov.get_threshold("hot")) == (20, 18)  # 20 - 0.09 * 20, truncated
    assert not gov.should_compile("hot", ledger)  # compiled a moment ago
    clock[0] += 600.0
    assert gov.should_compile("hot", ledger)
