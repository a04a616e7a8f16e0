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


def test_unknown_functions_read_as_empty_records() -> None:
    ledger = MetricLedger()
    m = ledger.get_metrics("nobody")
    assert type(m) is FunctionMetrics
    assert (
        m.call_count,
        m.compile_count,
        m.avg_speedup,
        m.total_execution_time_ms,
        m.last_compiled,
    ) == (0, 0, 1.0, 0.0, 0.0)
    assert ledger.tracked_functions() == []


@settings(max_examples=100, deadline=None)
@given(
    st.lists(
        st.one_of(
            st.tuples(st.just("call"), st.sampled_from(["a", "b", None]), st.floats(0, 1e6)),
            st.tuples(st.just("compile"), st.sampled_from(["a", "b", None]), st.floats(1e-3, 1e3)),
        ),
        max_size=50,
    )
)
def test_records_match_a_plain_model(events) -> None:
    ledger = MetricLedger()
    model: dict[str | None, dict[str, float]] = {}
    for stamp, (kind, func_id, value) in enumerate(events):
        rec = model.setdefault(func_id, {"calls": 0, "ms": 0.0, "speedups": [], "last": 0.0})
        if kind == "call":
            ledger.record_call(func_id, value)
            rec["calls"] += 1
            rec["ms"] += value
        else:
            ledger.record_compilation(func_id, value, timestamp=float(stamp))
            rec["speedups"].append(value)
            rec["last"] = float(stamp)
    assert ledger.tracked_functions() == list(model)
    for func_id, rec in model.items():
        m = ledger.get_metrics(func_id)
        assert (m.call_count, m.compile_count, m.last_compiled) == (
            rec["calls"],
            len(rec["speedups"]),
            rec["last"],
        )
        assert m.total_execution_time_ms == pytest.approx(rec["ms"])
        mean = sum(rec["speedups"]) / len(rec["speedups"]) if rec["speedups"] else 1.0
        assert m.avg_speedup == pytest.approx(mean)


def test_snapshots_do_not_change_afterwards() -> None:
    ledger = MetricLedger()
    ledger.record_call("f", 2.5)
    snapshot = ledger.get_metrics("f")
    ledger.record_call("f", 1.0)
    ledger.record_compilation("f", 3.0)
    assert (snapshot.call_count, snapshot.compile_count) == (1, 0)
    assert ledger.get_metrics("f").call_count == 2
    snapshot.call_count = 99  # a caller's copy
    assert ledger.get_metrics("f").call_count == 2
    ledger.clear()
    assert ledger.tracked_functions() == [] and ledger.get_metrics("f").call_count == 0


def test_compilation_time_defaults_to_now(monkeypatch) -> None:
    monkeypatch.setattr(time, "time", lambda: 1234.5)
    ledger = MetricLedger()
    ledger.record_compilation("f", 2)
    assert ledger.get_metrics("f").last_compiled == 1234.5
    ledger.record_compilation("f", 4, timestamp=0)
    m = ledger.get_metrics("f")
    assert (m.last_compiled, m.compile_count, m.avg_speedup) == (0.0, 2, 3.0)


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (
            lambda led: led.record_call(7),
            TypeError,
            r"^Argument 'func_id' has incorrect type \(expected str, got int\)$",
        ),
        (lambda led: led.get_metrics(type("S", (str,), {})("f")), TypeError, "expected str, got S"),
        (lambda led: led.record_compilation(b"f", 2.0), TypeError, "expected str, got bytes"),
        (lambda led: led.record_call("f", -1.0), ValueError, "must not be negative"),
        (lambda led: led.record_call("f", math.nan), ValueError, "must be a finite number"),
        (lambda led: led.record_call("f", "1"), TypeError, "must be a real number"),
        (lambda led: led.record_compilation("f", 0.0), ValueError, "speedup must be positive"),
        (lambda led: led.record_compilation("f", math.inf), ValueError, "must be a finite number"),
        (
            lambda led: led.record_compilation("f", 2.0, timestamp=-5),
            ValueError,
            "must not be negative",
        ),
    ],
)
def test_bad_arguments_are_refused_and_record_nothing(call, exc, message) -> None:
    ledger = MetricLedger()
    with pytest.raises(exc, match=message):
        call(ledger)
    assert ledger.tracked_functions() == []


def test_conversions_run_before_the_lock() -> None:
    ledger = MetricLedger()

    class Reentrant:
        def __float__(self) -> float:
            ledger.record_call("inner")  # would deadlock under the ledger's lock
            return 1.5

    ledger.record_call("outer", Reentrant())
    ledger.record_compilation("outer", Reentrant(), timestamp=Reentrant())
    assert ledger.get_metrics("inner").call_count == 3
    assert ledger.get_metrics("outer").avg_speedup == 1.5


def test_threads_recording_many_functions_are_exact() -> None:
    ledger = MetricLedger()
    names = [f"f{i}" for i in range(16)]
    n_threads, rounds = 8, 150

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
    for name in names:
        m = ledger.get_metrics(name)
        assert m.call_count == n_threads * rounds
        assert m.total_execution_time_ms == 0.5 * n_threads * rounds
        assert (m.compile_count, m.avg_speedup) == (n_threads * rounds // 10, 2.0)


def test_drives_the_governor_from_first_call_to_recompilation(monkeypatch) -> None:
    clock = [10_000.0]
    monkeypatch.setattr(time, "time", lambda: clock[0])
    ledger, gov = MetricLedger(), JitGovernor(PolicyConfig(initial_threshold=20))
    calls = 0
    while not gov.should_compile("hot", ledger):
        ledger.record_call("hot", 0.1)
        calls += 1
    assert calls == 20
    ledger.record_compilation("hot", 4.0)
    gov.update("hot", ledger)
    assert gov.get_threshold("hot") == 18  # 20 - 0.09 * 20, truncated
    assert not gov.should_compile("hot", ledger)  # compiled a moment ago
    clock[0] += 600.0
    assert gov.should_compile("hot", ledger)
