"""Side-by-side timing: our operation against the peer a user would pick instead.

Each comparison runs both callables in the same process, interleaved, and
keeps the best of several repeats (the least disturbed run).  It prints our
time per call, the peer's, and the ratio peer / ours: above 1.0 means we are
faster.  Benchmarks only measure; they never fail on a ratio.
"""

from __future__ import annotations

import pathlib
import sys
import time
from collections.abc import Callable

# The plain-Python models the peers are made of live in tests/_models.py,
# shared with the tests.
_TESTS = str(pathlib.Path(__file__).resolve().parent.parent / "tests")
if _TESTS not in sys.path:
    sys.path.append(_TESTS)

Thunk = Callable[[], object]


def _best_ns_per_call(fn: Thunk, number: int, repeat: int) -> float:
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter_ns()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter_ns() - start) / number)
    return best


def _calibrate(fn: Thunk, target_s: float) -> int:
    number = 1
    while True:
        start = time.perf_counter()
        for _ in range(number):
            fn()
        elapsed = time.perf_counter() - start
        if elapsed >= target_s / 10 or number >= 1 << 24:
            return max(1, int(number * (target_s / 10) / max(elapsed, 1e-9)))
        number *= 4


class Report:
    """Collects comparisons and prints them as one table."""

    def __init__(self, title: str) -> None:
        self.title = title
        self.rows: list[tuple[str, float, str, float, float, str]] = []
        self.notes: list[str] = []

    def note(self, text: str) -> None:
        """Adds a line printed under the table (what a peer or a row means)."""
        self.notes.append(text)

    def compare(
        self,
        name: str,
        ours: Thunk,
        peer_name: str,
        peer: Thunk,
        *,
        target: str = "",
        seconds: float = 0.3,
        repeat: int = 5,
        loop: Callable[[Thunk, int], float] | None = None,
    ) -> float:
        """Times `ours` and `peer`; returns the ratio peer / ours.

        `ours` and `peer` are called with no arguments; put the operation
        itself in them, ideally as a bound method so that little else is timed.
        """
        number = _calibrate(ours, seconds)
        best_ours = best_peer = float("inf")
        for _ in range(repeat):  # interleave, so that drift hits both sides
            best_ours = min(best_ours, _best_ns_per_call(ours, number, 1))
            best_peer = min(best_peer, _best_ns_per_call(peer, number, 1))
        ratio = best_peer / best_ours
        self.rows.append((name, best_ours, peer_name, best_peer, ratio, target))
        return ratio

    def add(
        self, name: str, ours_ns: float, peer_name: str, peer_ns: float, target: str = ""
    ) -> float:
        """Adds a row measured by the caller (for loops that time themselves)."""
        ratio = peer_ns / ours_ns
        self.rows.append((name, ours_ns, peer_name, peer_ns, ratio, target))
        return ratio

    def print(self) -> None:
        print(f"\n== {self.title} ==")
        w1 = max(len(r[0]) for r in self.rows)
        w2 = max(len(r[2]) for r in self.rows)
        head = f"{'operation':<{w1}}  {'ours ns':>10}  {'peer':<{w2}}  {'peer ns':>10}"
        print(f"{head}  {'ratio':>7}  target")
        for name, ours, peer_name, peer, ratio, target in self.rows:
            status = ""
            if target:
                status = target + ("  ok" if ratio >= float(target.rstrip("x")) else "  BELOW")
            row = f"{name:<{w1}}  {ours:>10.1f}  {peer_name:<{w2}}  {peer:>10.1f}"
            print(f"{row}  {ratio:>6.2f}x  {status}")
        for text in self.notes:
            print(f"  note: {text}")
