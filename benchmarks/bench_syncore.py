"""kestrun.memory.syncore against what a user would write instead.

AtomicCounter: a threading.Lock around a Python int, and the floor of any
call (int.bit_length).  LockFreeStack: collections.deque under a Lock.
LockFreeStatistics.record_allocation: the same steps in plain Python.
"""

from __future__ import annotations

import collections
import threading

from _harness import Report

from kestrun.memory.syncore import AtomicCounter, LockFreeStack, LockFreeStatistics


class LockedInt:
    """What a user writes for a thread-safe counter."""

    def __init__(self, value: int = 0) -> None:
        self._lock = threading.Lock()
        self._value = value

    def increment(self, delta: int = 1) -> int:
        with self._lock:
            self._value += delta
            return self._value

    def load(self) -> int:
        with self._lock:
            return self._value

    def compare_and_swap(self, expected: int, new_value: int) -> bool:
        with self._lock:
            if self._value == expected:
                self._value = new_value
                return True
            return False


class LockedDeque:
    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._items: collections.deque[object] = collections.deque()

    def push(self, item: object) -> None:
        with self._lock:
            self._items.append(item)

    def pop(self) -> object:
        with self._lock:
            return self._items.pop() if self._items else None


class PyStatistics:
    """record_allocation's steps written in plain Python over the same counters."""

    def __init__(self) -> None:
        for name in (
            "total_allocations",
            "current_allocations",
            "bytes_allocated",
            "bucketed_allocations",
            "fallback_allocations",
            "alignment_padding_bytes",
            "total_allocation_time_ns",
            "peak_allocations",
            "peak_bytes_allocated",
        ):
            setattr(self, name, AtomicCounter(0))

    def record_allocation(
        self, size: int, is_bucketed: bool = True, padding: int = 0, time_ns: int = 0
    ) -> None:
        self.total_allocations.increment()
        self.current_allocations.increment()
        self.bytes_allocated.increment(size)
        if is_bucketed:
            self.bucketed_allocations.increment()
        else:
            self.fallback_allocations.increment()
        if padding > 0:
            self.alignment_padding_bytes.increment(padding)
        if time_ns > 0:
            self.total_allocation_time_ns.increment(time_ns)
        self._update_peaks(self.current_allocations.load(), self.bytes_allocated.load())

    def _update_peaks(self, current_allocs: int, current_bytes: int) -> None:
        for peak, value in (
            (self.peak_allocations, current_allocs),
            (self.peak_bytes_allocated, current_bytes),
        ):
            while True:
                seen = peak.load()
                if value <= seen or peak.compare_and_swap(seen, value):
                    break


def main() -> None:
    report = Report("kestrun.memory.syncore")
    counter, locked = AtomicCounter(), LockedInt()
    floor = (12345).bit_length
    report.compare(
        "AtomicCounter.increment",
        counter.increment,
        "threading.Lock around an int",
        locked.increment,
        target="3x",
    )
    report.compare("AtomicCounter.increment", counter.increment, "floor: int.bit_length()", floor)
    report.compare("AtomicCounter.load", counter.load, "threading.Lock around an int", locked.load)
    cas, lcas = counter.compare_and_swap, locked.compare_and_swap
    report.compare(
        "AtomicCounter.compare_and_swap",
        lambda: cas(0, 0),
        "threading.Lock around an int",
        lambda: lcas(0, 0),
    )

    stack, deque = LockFreeStack(), LockedDeque()
    push, pop, dpush, dpop = stack.push, stack.pop, deque.push, deque.pop
    item = object()

    def ours() -> None:
        push(item)
        pop()

    def peer() -> None:
        dpush(item)
        dpop()

    report.compare(
        "LockFreeStack push + pop", ours, "collections.deque under a Lock", peer, target="3x"
    )

    stats, pystats = LockFreeStatistics(), PyStatistics()
    rec, prec = stats.record_allocation, pystats.record_allocation
    report.compare(
        "LockFreeStatistics.record_allocation",
        lambda: rec(64, True, 8, 100),
        "the same steps in plain Python",
        lambda: prec(64, True, 8, 100),
        target="1.5x",
    )
    report.note(
        "the floor row compares increment with int.bit_length(), about the cheapest call Python "
        "makes: a ratio near 1.0 means the call itself, not the counter, is what is left to pay."
    )
    report.print()
