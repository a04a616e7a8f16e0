"""Aggregate throughput of two threads against one, on the interpreter running it.

On a free-threaded interpreter with the GIL off the two threads really run at
once, and a lock-free operation should come close to twice one thread's
throughput; with the GIL they take turns.  `bash tools/bench-threads.sh` runs
this on the GIL build and on the free-threaded one, one table each.

Operations: `find_best_fit` on a tree of 1e5 blocks (alone, and with a
third thread inserting and removing blocks meanwhile), `AtomicCounter.increment`
on one shared counter and on one counter per thread, `JitGovernor.get_threshold`.
"""

from __future__ import annotations

import itertools
import random
import sys
import threading
import time
from collections.abc import Callable

from kestrun.jit.jit_governor import JitGovernor
from kestrun.memory.spanwood import FastRedBlackTree
from kestrun.memory.syncore import AtomicCounter

SECONDS = 1.0
BLOCKS = 100_000


def throughput(make_work: Callable[[int], Callable[[], None]], threads: int, writer=None) -> float:
    """Calls per second of `threads` threads together, each calling its own
    work function (from make_work(thread index)) in a loop."""
    stop = threading.Event()
    counts = [0] * threads
    start = threading.Barrier(threads + 1)

    def run(i: int) -> None:
        work = make_work(i)
        n = 0
        start.wait()
        while not stop.is_set():
            for _ in range(256):
                work()
            n += 256
        counts[i] = n

    workers = [threading.Thread(target=run, args=(i,)) for i in range(threads)]
    side = threading.Thread(target=writer, args=(stop,)) if writer else None
    for t in workers:
        t.start()
    if side:
        side.start()
    start.wait()
    begin = time.perf_counter()
    time.sleep(SECONDS)
    stop.set()
    for t in workers:
        t.join()
    elapsed = time.perf_counter() - begin
    if side:
        side.join()
    return sum(counts) / elapsed


def main() -> None:
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    rng = random.Random(7)
    tree = FastRedBlackTree()
    sizes = [rng.randrange(1 << 30) for _ in range(BLOCKS)]
    for s in sizes:
        tree.insert(s, s)
    queries = [rng.randrange(1 << 30) for _ in range(4096)]

    def lookups(i: int) -> Callable[[], None]:
        it = itertools.cycle(queries)
        find = tree.find_best_fit
        return lambda: find(next(it))

    def churn(stop: threading.Event) -> None:
        r = random.Random(3)
        while not stop.is_set():
            s = r.randrange(1 << 30)
            tree.insert(s, s)
            tree.delete(s, s)

    shared = AtomicCounter()
    own = [AtomicCounter(), AtomicCounter()]
    governor = JitGovernor()
    for i in range(1000):
        governor.get_threshold(f"f{i}")

    rows = [
        ("find_best_fit, 1e5 blocks", lookups, None),
        ("find_best_fit, 1e5 blocks, a writer running", lookups, churn),
        ("AtomicCounter.increment, one counter", lambda i: shared.increment, None),
        ("AtomicCounter.increment, a counter each", lambda i: own[i].increment, None),
        ("JitGovernor.get_threshold", lambda i: lambda: governor.get_threshold("f7"), None),
    ]
    build = "free-threaded, GIL off" if not gil else "GIL"
    print(f"\nthroughput of 2 threads against 1 (CPython {sys.version.split()[0]}, {build})")
    print(f"{'operation':<46} {'1 thread':>14} {'2 threads':>14} {'ratio':>7}")
    for name, make, writer in rows:
        one = throughput(make, 1, writer)
        two = throughput(make, 2, writer)
        print(f"{name:<46} {one / 1e3:>9.1f} k/s {two / 1e3:>9.1f} k/s {two / one:>6.2f}x")


if __name__ == "__main__":
    main()
