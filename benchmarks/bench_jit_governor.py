"""kestrun.jit.jit_governor against the same governor written in plain Python.

The peer (PyGovernor of tests/_models.py, the model the tests check the
governor against) keeps its thresholds in a dict under a threading.Lock and does the
same steps (clock before the lock, the ledger queried under it, the debug
line logged after it).  Both read the same trivial ledger, a dict of
prebuilt FunctionMetrics records, so the ledger's own time is the same on
both sides.  The logger is left at its default level, so the debug line is
built and handed to logger.debug, which drops it.

A second, lean peer does only what the results need: the clock read only when
the decision uses it, the debug line formatted by logging only when it is
emitted, and nothing looked up twice.  The targets are set against it.
"""

from __future__ import annotations

import logging
import threading
import time
from functools import partial
from typing import Any

from _harness import Report
from _models import PyGovernor

from kestrun.jit.jit_governor import FunctionMetrics, JitGovernor, PolicyConfig

logger = logging.getLogger("bench.jit_governor.peer")


class TrivialLedger:
    """get_metrics is one dict lookup."""

    def __init__(self, records: dict[str, FunctionMetrics]) -> None:
        self._records = records

    def get_metrics(self, func_id: str) -> FunctionMetrics:
        return self._records[func_id]


class LeanGovernor:
    """The least a Python governor does for the same results."""

    def __init__(self, config: PolicyConfig | None = None) -> None:
        self.config = config if config is not None else PolicyConfig()
        self._thresholds: dict[str | None, int] = {}
        self._lock = threading.Lock()

    def should_compile(self, func_id: str | None, metric_ledger: Any) -> bool:
        with self._lock:
            threshold = self._thresholds.get(func_id)
            if threshold is None:
                threshold = self.config.initial_threshold
            m = metric_ledger.get_metrics(func_id)
            call_count, compile_count, _ = m.call_count, m.compile_count, m.avg_speedup
            last_compiled = m.last_compiled
        if call_count < threshold:
            return False
        return not compile_count or time.time() - last_compiled >= 600.0

    def update(self, func_id: str | None, metric_ledger: Any) -> None:
        with self._lock:
            m = metric_ledger.get_metrics(func_id)
            compile_count = m.compile_count
            if not compile_count:
                return
            cfg = self.config
            current = self._thresholds.get(func_id)
            if current is None:
                current = cfg.initial_threshold
            avg_speedup, rate = m.avg_speedup, cfg.learning_rate
            target = cfg.target_speedup
            step = rate - min(compile_count * 0.1, 1.0) * rate
            if avg_speedup / (target if target > 0 else 1.0) > 1.0:
                value = current - step * current
            else:
                value = current + step * current
            low, high = cfg.min_threshold, cfg.max_threshold
            new = low if not value >= low else high if value > high else int(value)
            self._thresholds[func_id] = new
        logger.debug(
            "Updated threshold for %s: %d -> %d (speedup: %.2fx)",
            func_id,
            current,
            new,
            avg_speedup,
        )


def main() -> None:
    report = Report("kestrun.jit.jit_governor (ns per call)")
    now = time.time()
    records = {
        "hot": FunctionMetrics(call_count=500, compile_count=0),
        "recent": FunctionMetrics(
            call_count=500, compile_count=2, avg_speedup=3.0, last_compiled=now
        ),
        "fast": FunctionMetrics(call_count=500, compile_count=3, avg_speedup=3.0),
        "slow": FunctionMetrics(call_count=500, compile_count=3, avg_speedup=1.2),
    }
    ledger = TrivialLedger(records)
    ours, peer, lean = JitGovernor(), PyGovernor(), LeanGovernor()
    for gov in (ours, peer, lean):  # one adapted and one unknown function
        gov.update("slow", ledger)

    get, pget = ours.get_threshold, peer.get_threshold
    report.compare(
        "get_threshold (adapted)",
        partial(get, "slow"),
        "plain Python",
        partial(pget, "slow"),
        target="3x",
    )
    report.compare(
        "get_threshold (initial)",
        partial(get, "unknown"),
        "plain Python",
        partial(pget, "unknown"),
        target="3x",
    )

    sc, psc, lsc = ours.should_compile, peer.should_compile, lean.should_compile
    report.compare(
        "should_compile -> True",
        partial(sc, "hot", ledger),
        "plain Python",
        partial(psc, "hot", ledger),
    )
    report.compare(
        "should_compile -> True",
        partial(sc, "hot", ledger),
        "lean Python",
        partial(lsc, "hot", ledger),
        target="2x",
    )
    report.compare(
        "should_compile -> False (interval)",
        partial(sc, "recent", ledger),
        "lean Python",
        partial(lsc, "recent", ledger),
        target="2x",
    )

    up, pup, lup = ours.update, peer.update, lean.update
    report.compare(
        "update (threshold falls)",
        partial(up, "fast", ledger),
        "plain Python",
        partial(pup, "fast", ledger),
    )
    report.compare(
        "update (threshold falls)",
        partial(up, "fast", ledger),
        "lean Python",
        partial(lup, "fast", ledger),
        target="2x",
    )
    report.compare(
        "update (threshold rises)",
        partial(up, "slow", ledger),
        "lean Python",
        partial(lup, "slow", ledger),
        target="2x",
    )
    report.compare(
        "update (not compiled)",
        partial(up, "hot", ledger),
        "lean Python",
        partial(lup, "hot", ledger),
    )

    st, pst = ours.get_statistics, peer.get_statistics
    report.compare("get_statistics (2 functions)", st, "plain Python", pst)

    floor = ledger.get_metrics
    report.compare(
        "ledger.get_metrics alone",
        partial(floor, "hot"),
        "(the ledger, both sides)",
        partial(floor, "hot"),
    )
    report.note("both sides query the same trivial ledger; its own time is the last row")
    report.note(
        "absolute targets: get_threshold below 100 ns, should_compile and update below 1 us"
    )
    report.print()
