"""FastRedBlackTree under threads: writers relink and free nodes while lock-free
readers walk the tree with the interpreter lock released.

Each test runs for a bounded time and then checks exact totals: every block
inserted is accounted for exactly once (still stored, removed by best fit, or
deleted), and every answer a reader got was true of the tree at some moment.
A short switch interval makes the threads interleave as often as possible.
Run under the sanitizer build, a reader touching a freed node is reported.
"""

from __future__ import annotations

import itertools
import random
import sys
import threading
import time

import pytest

from kestrun.memory.span_record import SpanRecord
from kestrun.memory.spanwood import FastRedBlackTree

SECONDS = 1.5
MAX_SIZE = 4096


@pytest.fixture(autouse=True)
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(old)


def run_for(seconds: float, targets: list) -> None:
    stop = threading.Event()
    errors: list[BaseException] = []

    def wrap(fn):
        def body() -> None:
            try:
                fn(stop)
            except BaseException as exc:  # reported after the join
                errors.append(exc)
                stop.set()

        return body

    threads = [threading.Thread(target=wrap(fn)) for fn in targets]
    for t in threads:
        t.start()
    time.sleep(seconds)
    stop.set()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


def test_writers_and_lock_free_readers_account_for_every_block() -> None:
    tree = FastRedBlackTree(sample_rate=7)
    offsets = itertools.count()
    inserted: list[list[SpanRecord]] = []
    removed: list[list[SpanRecord]] = []
    reads: list[int] = []  # per reader, appended when it stops

    def writer(seed: int):
        mine: list[SpanRecord] = []
        gone: list[SpanRecord] = []
        inserted.append(mine)
        removed.append(gone)
        rng = random.Random(seed)

        def run(stop: threading.Event) -> None:
            while not stop.is_set():
                r = rng.random()
                if r < 0.5:
                    block = SpanRecord(next(offsets), rng.randrange(MAX_SIZE) // 16 * 16)
                    assert tree.insert(block.size, block) is True
                    mine.append(block)
                elif r < 0.8:
                    size, block = tree.remove_ge(rng.randrange(MAX_SIZE))
                    if block is not None:
                        assert block.size == size
                        gone.append(block)
                elif mine:
                    block = rng.choice(mine)
                    if tree.delete(block.size, block):
                        gone.append(block)

        return run

    def reader(seed: int):
        rng = random.Random(seed)

        def run(stop: threading.Event) -> None:
            calls = 0
            while not stop.is_set():
                size = rng.randrange(MAX_SIZE)
                best = tree.find_best_fit(size)
                assert best is None or best.size >= size
                exact = tree.find_all_exact(size // 16 * 16)
                assert all(b.size == size // 16 * 16 for b in exact)
                assert len({id(b) for b in exact}) == len(exact)
                calls += 2
            reads.append(calls)

        return run

    for i in range(200):  # a tree deep enough for walks to overlap relinking
        block = SpanRecord(next(offsets), i * 16)
        tree.insert(block.size, block)
    seed_blocks = [b for s in range(200) for b in tree.find_all_exact(s * 16)]
    inserted.append(seed_blocks)
    searches_before = tree.get_stats()["total_searches"]

    run_for(SECONDS, [writer(i) for i in range(3)] + [reader(100 + i) for i in range(3)])

    tree._check_invariants()
    left = []
    while True:
        size, block = tree.remove_ge(0)
        if block is None:
            break
        left.append(block)
    all_inserted = [b for part in inserted for b in part]
    all_gone = [b for part in removed for b in part] + left
    assert len(all_gone) == len(all_inserted)
    assert {id(b) for b in all_gone} == {id(b) for b in all_inserted}
    stats = tree.get_stats()
    assert stats["total_insertions"] == len(all_inserted) == stats["total_deletions"]
    assert stats["total_blocks"] == 0 and stats["total_searches"] - searches_before <= sum(reads)
    assert stats["sampled_operations"] == len(all_inserted) // 7


def test_clear_and_churn_while_readers_walk() -> None:
    tree = FastRedBlackTree()
    rng = random.Random(5)
    sizes = list(range(0, 64 * 1024, 64))

    def churn(stop: threading.Event) -> None:
        n = 0
        while not stop.is_set():
            for size in rng.sample(sizes, 300):
                tree.insert(size, size)
            for size in rng.sample(sizes, 200):
                tree.remove_ge(size)
            n += 1
            if n % 3 == 0:
                tree.clear()

    def read(stop: threading.Event) -> None:
        local = random.Random(threading.get_ident())
        while not stop.is_set():
            size = local.randrange(64 * 1024)
            best = tree.find_best_fit(size)
            assert best is None or best >= size
            assert all(b == size for b in tree.find_all_exact(size))

    def inspect(stop: threading.Event) -> None:
        while not stop.is_set():
            dist = tree.get_size_distribution()
            assert all(count >= 1 for count in dist.values())
            assert tree.get_stats()["height"] <= 20  # 1024 distinct sizes at most
            len(tree), repr(tree)

    run_for(SECONDS, [churn, churn, read, read, read, inspect])
    tree._check_invariants()
    assert len(tree) == sum(tree.get_size_distribution().values())


def test_readers_held_inside_nodes_that_writers_unlink_and_free() -> None:
    """Readers pause after their first step, holding a node, while writers
    unlink and free nodes around them; the answers stay right."""
    from kestrun.memory import spanwood

    tree = FastRedBlackTree()
    sizes = list(range(0, 32 * 1024, 32))

    def churn(stop: threading.Event) -> None:
        rng = random.Random(11)
        n = 0
        while not stop.is_set():
            for size in rng.sample(sizes, 64):
                tree.insert(size, size)
            for size in rng.sample(sizes, 64):
                tree.remove_ge(size)
            n += 1
            if n % 5 == 0:
                tree.clear()

    def read(stop: threading.Event) -> None:
        rng = random.Random(threading.get_ident())
        while not stop.is_set():
            size = rng.randrange(32 * 1024)
            best = tree.find_best_fit(size)
            assert best is None or best >= size
            assert all(b == size for b in tree.find_all_exact(size))

    previous = spanwood._set_reader_pause(200)
    try:
        run_for(SECONDS, [churn, read, read, read])
    finally:
        spanwood._set_reader_pause(previous)
    tree._check_invariants()


def test_contended_lookups_never_miss_a_stored_fit() -> None:
    """Slowed readers meet a writer on almost every try; once their lock-free
    tries run out they ask under the lock, so a stored fit is always found."""
    from kestrun.memory import spanwood

    tree = FastRedBlackTree()
    big = 1 << 40
    tree.insert(big, "keep")
    for i in range(3):
        tree.insert(777, i)
    misses = []

    def churn(stop: threading.Event) -> None:
        n = 0
        while not stop.is_set():
            n += 1
            tree.insert(n % 700, n)
            tree.delete(n % 700, n)

    def read(stop: threading.Event) -> None:
        while not stop.is_set():
            if tree.find_best_fit(big - 1) != "keep":
                misses.append("best fit")
            if sorted(tree.find_all_exact(777)) != [0, 1, 2]:
                misses.append("exact")

    previous = spanwood._set_reader_pause(20)
    try:
        run_for(SECONDS, [churn, churn, read, read])
    finally:
        spanwood._set_reader_pause(previous)
    assert misses == []
    tree._check_invariants()
