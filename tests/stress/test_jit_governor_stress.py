"""JitGovernor under threads: updates add functions to one governor's map
while other threads decide, read thresholds and walk the map for statistics,
and the process-wide governor is fetched and dropped at once.

Each test runs for a bounded time and then checks exact totals: every
function updated is tracked exactly once, every threshold read lies within
the configured bounds, and no reset epoch hands out two governors.
"""

from __future__ import annotations

import itertools
import random
import threading

from test_spanwood_stress import fast_switching, run_for  # noqa: F401  (an autouse fixture)

from kestrun.jit.jit_governor import (
    FunctionMetrics,
    JitGovernor,
    PolicyConfig,
    get_jit_governor,
    reset_jit_governor,
)

SECONDS = 1.5
LOW, HIGH = 10, 100_000


class Ledger:
    """Figures of a function compiled once, too slow to pay off: every update
    raises its threshold, which stays at the upper bound."""

    def __init__(self, seed: int) -> None:
        self.rng = random.Random(seed)

    def get_metrics(self, func_id):
        calls = self.rng.randrange(2 * HIGH)
        return FunctionMetrics(call_count=calls, compile_count=1, avg_speedup=0.5)


def test_updates_readers_and_statistics_on_one_governor() -> None:
    cfg = PolicyConfig(HIGH, LOW, HIGH)
    gov = JitGovernor(cfg)
    fresh = itertools.count()
    updated: list[set[str]] = []

    def updater(seed: int):
        mine: set[str] = set()
        updated.append(mine)
        ledger = Ledger(seed)
        rng = random.Random(seed)

        def run(stop: threading.Event) -> None:
            while not stop.is_set():
                # New functions grow the map under the readers; the first few
                # are updated again and again while the readers look them up.
                name = f"f{next(fresh) if rng.random() < 0.5 else rng.randrange(8)}"
                gov.update(name, ledger)
                mine.add(name)
                assert gov.should_compile(name, ledger) in (True, False)

        return run

    def reader(stop: threading.Event) -> None:
        rng = random.Random(threading.get_ident())
        while not stop.is_set():
            n = rng.randrange(8) if rng.random() < 0.8 else rng.randrange(next(fresh) + 1)
            t = gov.get_threshold(f"f{n}")
            assert t == HIGH

    def statistics(stop: threading.Event) -> None:
        tracked = 0
        while not stop.is_set():
            s = gov.get_statistics()
            assert s["tracked_functions"] >= tracked
            tracked = s["tracked_functions"]
            # A count and a sum taken from one state of the map.
            assert (s["min_threshold"], s["avg_threshold"], s["max_threshold"]) == (
                (LOW, HIGH, HIGH) if tracked == 0 else (HIGH, HIGH, HIGH)
            )

    run_for(SECONDS, [updater(i) for i in range(3)] + [reader, reader, statistics])
    names = set().union(*updated)
    assert gov.get_statistics()["tracked_functions"] == len(names)
    assert {gov.get_threshold(name) for name in names} == {HIGH}


def test_process_wide_governor_once_per_reset() -> None:
    reset_jit_governor()
    resets = [0]
    seen: list[list[JitGovernor]] = []  # held, so that no two share an id

    def getter(stop: threading.Event) -> None:
        mine: list[JitGovernor] = []
        seen.append(mine)
        while not stop.is_set():
            g = get_jit_governor()
            if not mine or mine[-1] is not g:
                mine.append(g)
            assert g.get_threshold("untouched") == 100
            g.update("f", Ledger(0))
            assert 10 <= g.get_threshold("f") <= 10_000

    def resetter(stop: threading.Event) -> None:
        rng = random.Random(7)
        while not stop.is_set():
            for _ in range(rng.randrange(1, 50)):
                get_jit_governor().get_statistics()
            reset_jit_governor()
            resets[0] += 1

    try:
        run_for(SECONDS, [getter, getter, getter, resetter])
        distinct = {id(g) for part in seen for g in part}
        # Each epoch between two resets creates one governor at most.
        assert resets[0] > 0 and len(distinct) <= resets[0] + 1
        last = get_jit_governor()
        assert all(get_jit_governor() is last for _ in range(10))
    finally:
        reset_jit_governor()
