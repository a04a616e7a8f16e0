"""The README's best-fit arena (examples/best_fit_arena.py) on FastRedBlackTree
against the same arena on sortedcontainers.SortedKeyList keyed by size.

A realistic allocator run: the arena first hands out blocks of 16 bytes to
4 KiB (more small than large ones) until `live` are in use, then frees every
other one at random, which leaves between 1,000 and 10,000 free spans.  It
then serves a steady mix: allocate one block, free one live block at random
(coalescing with its free neighbours).  One operation is one such pair.  Both
arenas get the same requests, and the count of free spans is printed.
"""

from __future__ import annotations

import gc
import pathlib
import random
import sys
import time

from _harness import Report
from _models import SizeSortedBlocks

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
from best_fit_arena import Arena

from kestrun.memory.span_record import SpanRecord

LIVE = (4_000, 40_000)
STEPS = 20_000
ROUNDS = 5


def sorted_arena(capacity: int) -> Arena:
    arena = Arena.__new__(Arena)
    arena.free = SizeSortedBlocks()  # type: ignore[assignment]
    arena.starts, arena.ends, arena.used = {}, {}, {}
    arena._keep(SpanRecord(0, capacity))
    return arena


def request(rng: random.Random) -> int:
    return 16 * min(256, int(rng.paretovariate(1.2)))


def run(make, live: int, seed: int) -> tuple[float, int]:
    """ns per allocate+free pair in the steady state, and free spans at its start."""
    rng = random.Random(seed)
    arena = make(1 << 40)
    offsets = [arena.alloc(request(rng)) for _ in range(live)]
    rng.shuffle(offsets)
    for offset in offsets[: live // 2]:
        arena.release(offset)
    held = offsets[live // 2 :]
    spans = len(arena.starts)
    sizes = [request(rng) for _ in range(STEPS)]
    picks = [rng.random() for _ in range(STEPS)]
    gc.disable()
    try:
        start = time.perf_counter_ns()
        for size, pick in zip(sizes, picks):
            held.append(arena.alloc(size))
            i = int(pick * len(held))
            held[i], held[-1] = held[-1], held[i]
            arena.release(held.pop())
        elapsed = time.perf_counter_ns() - start
    finally:
        gc.enable()
    return elapsed / STEPS, spans


def main() -> None:
    report = Report("best-fit arena (examples/best_fit_arena.py): allocate + free with coalescing")
    for live in LIVE:
        best = {"tree": float("inf"), "sorted": float("inf")}
        spans = 0
        for r in range(ROUNDS):
            ours, spans = run(Arena, live, r)
            peer, _ = run(sorted_arena, live, r)
            best["tree"] = min(best["tree"], ours)
            best["sorted"] = min(best["sorted"], peer)
        report.add(
            f"{spans:,} free spans: alloc+free", best["tree"], "SortedKeyList arena", best["sorted"]
        )
    report.note("ns per allocate + free pair, best of 5 runs; the same requests for both")
    report.print()


if __name__ == "__main__":
    main()
