"""kestrun.jit.jit_governor against the same governor written in plain Python.

The peer keeps its thresholds in a dict under a threading.Lock and does the
same steps (clock before the lock, the ledger queried under it, the debug
line logged after it).  Both read the same trivial ledger, a dict of
prebuilt FunctionMetrics records, so the ledger's own time is the same on
both sides.  The logger is left at its default level, so the debug line is
built and handed to logger.debug, which drops it.
"""

from __future__ import annotations

import logging
import threading
import time
from functools import partial
from typing import Any

from _harness import Report

from kestrun.jit.jit_governor import FunctionMetrics, JitGovernor, PolicyConfig

logger = logging.getLogger("bench.jit_governor.peer")


class TrivialLedger:
    """get_metrics is one dict lookup."""

    def __init__(self, records: dict[str, FunctionMetrics]) -> None:
        self._records = records

    def get_metrics(self, func_id: str) -> FunctionMetrics:
        return self._records[func_id]


class PyGovernor:
    """What a user writes without the native module."""

    def __init__(self, config: PolicyConfig | None = None) -> None:
        self.config = config if config is not None else PolicyConfig()
        self._thresholds: dict[str | None, int] = {}
        self._lock = threading.Lock()
        self._recompile_interval_s = 600.0

    def get_threshold(self, func_id: str | None) -> int:
        with self._lock:
            return self._thresholds.get(func_id, self.config.initial_threshold)

    def should_compile(self, func_id: str | None, metric_ledger: Any) -> bool:
        current_time = time.time()
        with self._lock:
            threshold = self._thresholds.get(func_id, self.config.initial_threshold)
            metrics = metric_ledger.get_metrics(func_id)
            call_count = metrics.call_count
            compile_count = metrics.compile_count
            metrics.avg_speedup  # noqa: B018 - read, as the native governor does
            last_compiled = getattr(metrics, "last_compiled", 0.0)
        if call_count < threshold:
            return False
        if compile_count and not (current_time - last_compiled >= self._recompile_interval_s):
            return False
        return True

    def update(self, func_id: str | None, metric_ledger: Any) -> None:
        with self._lock:
            metrics = metric_ledger.get_metrics(func_id)
            if metrics.compile_count == 0:
                return
            current = self._thresholds.get(func_id, self.config.initial_threshold)
            compile_count = metrics.compile_count
            avg_speedup = metrics.avg_speedup
            cfg = self.config
            divisor = cfg.target_speedup if cfg.target_speedup > 0 else 1.0
            ratio = avg_speedup / divisor
            damping = min(compile_count * 0.1, 1.0)
            step = cfg.learning_rate - damping * cfg.learning_rate
            if ratio > 1.0:
                value = current - step * current
            else:
                value = current + step * current
            if not value >= cfg.min_threshold:
                new = cfg.min_threshold
            elif value > cfg.max_threshold:
                new = cfg.max_threshold
            else:
                new = int(value)
            self._thresholds[func_id] = new
        logger.debug(
            f"Updated threshold for {func_id}: {current} -> {new} (speedup: {avg_speedup:.2f}x)"
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
    ours, peer = JitGovernor(), PyGovernor()
    for gov in (ours, peer):  # one adapted and one unknown function
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

    sc, psc = ours.should_compile, peer.should_compile
    report.compare(
        "should_compile -> True",
        partial(sc, "hot", ledger),
        "plain Python",
        partial(psc, "hot", ledger),
        target="2x",
    )
    report.compare(
        "should_compile -> False (interval)",
        partial(sc, "recent", ledger),
        "plain Python",
        partial(psc, "recent", ledger),
        target="2x",
    )

    up, pup = ours.update, peer.update
    report.compare(
        "update (threshold falls)",
        partial(up, "fast", ledger),
        "plain Python",
        partial(pup, "fast", ledger),
        target="2x",
    )
    report.compare(
        "update (threshold rises)",
        partial(up, "slow", ledger),
        "plain Python",
        partial(pup, "slow", ledger),
        target="2x",
    )
    report.compare(
        "update (not compiled)",
        partial(up, "hot", ledger),
        "plain Python",
        partial(pup, "hot", ledger),
    )

    st, pst = ours.get_statistics, peer_statistics(peer)
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


def peer_statistics(peer: PyGovernor) -> Any:
    def get_statistics() -> dict[str, Any]:
        with peer._lock:
            values = list(peer._thresholds.values())
            if not values:
                return {
                    "tracked_functions": 0,
                    "avg_threshold": peer.config.initial_threshold,
                    "min_threshold": peer.config.min_threshold,
                    "max_threshold": peer.config.max_threshold,
                }
            return {
                "tracked_functions": len(values),
                "avg_threshold": sum(values) / len(values),
                "min_threshold": min(values),
                "max_threshold": max(values),
            }

    return get_statistics
