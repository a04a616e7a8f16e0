"""FastBucketAllocator and FastSlabHeaderOps under threads.

Each test runs for a bounded time and then checks exact totals: every offset
stored in the buckets comes back exactly once, and every slot change on a
shared header is counted and leaves the bitmap as the changes say.
"""

from __future__ import annotations

import random
import threading

from test_spanwood_stress import fast_switching, run_for  # noqa: F401  (an autouse fixture)

from kestrun.memory.slabkit import FastBucketAllocator, FastSlabHeaderOps

SECONDS = 1.5
SIZES = (16, 64, 256, 1024, 4096)


def test_every_stored_offset_comes_back_exactly_once() -> None:
    a = FastBucketAllocator()
    stored: list[list[int]] = []
    taken: list[list[int]] = []

    def worker(index: int):
        mine: list[int] = []
        got: list[int] = []
        stored.append(mine)
        taken.append(got)
        rng = random.Random(index)
        offsets = iter(range(index << 24, (index + 1) << 24, 64))  # distinct per thread

        def run(stop: threading.Event) -> None:
            while not stop.is_set():
                for _ in range(rng.randrange(1, 8)):  # free a few blocks...
                    offset = next(offsets)
                    assert a.add_to_bucket(offset, rng.choice(SIZES))
                    mine.append(offset)
                for _ in range(rng.randrange(1, 8)):  # ...then take some back
                    size = rng.choice(SIZES)
                    if rng.random() < 0.5:
                        offset = a.remove_from_bucket(size)
                    else:  # also walks every larger bucket
                        offset = a.find_best_fit_bucket(size - 8, 8)
                    if offset is not None:
                        got.append(offset)

        return run

    run_for(SECONDS, [worker(i) for i in range(6)])
    left = [o for size in SIZES for o in iter(lambda s=size: a.remove_from_bucket(s), None)]
    all_stored = sorted(o for part in stored for o in part)
    all_taken = sorted([o for part in taken for o in part] + left)
    assert len(all_stored) > 100 and all_taken == all_stored


def test_slot_changes_on_a_shared_header_are_all_counted() -> None:
    h = FastSlabHeaderOps(3, 64)
    counts: list[int] = []

    def worker(index: int):
        slots = range(index * 8, index * 8 + 8)  # each thread owns eight slots

        def run(stop: threading.Event) -> None:
            changes = 0
            while not stop.is_set():
                for slot in slots:
                    h.py_allocate_object_at(slot)
                    assert not h.py_is_object_free(slot)
                    h.py_deallocate_object_at(slot)
                    changes += 2
                assert 0 <= h.py_find_free_object() < 64
                h.pack_header()
            counts.append(changes)

        return run

    run_for(SECONDS, [worker(i) for i in range(8)])
    packed = h.pack_header()
    version = int.from_bytes(packed[2:6], "little")
    assert version == sum(counts) % 2**32
    assert packed[8:] == b"\xff" * 8 and packed[1] & 0x10 == 0  # all free, not in use
