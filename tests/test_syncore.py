"""kestrun.memory.syncore as its callers see it."""

from __future__ import annotations

import ctypes
import gc
import sys
import threading
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kestrun.memory.syncore import (
    AtomicCounter,
    AtomicCounterWrapper,
    AtomicPointer,
    LockFreeStack,
    LockFreeStatistics,
    PerformanceTimer,
)

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1


class Box:
    """A weak-referenceable object for cycle tests."""


def run_threads(n: int, target, *args) -> None:
    threads = [threading.Thread(target=target, args=args) for _ in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


# ---------------------------------------------------------------- AtomicCounter


def test_counter_operations() -> None:
    c = AtomicCounter(5)
    assert (c.increment(), c.decrement(), c.load()) == (6, 5, 5)
    assert c.fetch_and_add(10) == 5 and c.load() == 15
    assert c.increment(0) == 15 and c.increment(-3) == 12 and c.decrement(delta=2) == 10
    c.store(0)
    assert c.compare_and_swap(1, 2) is False and c.load() == 0
    c.store(value=1)
    assert c.compare_and_swap(expected=1, new_value=2) is True and c.load() == 2
    assert AtomicCounter().load() == 0 and AtomicCounter(initial_value=-7).load() == -7


@pytest.mark.parametrize(
    "start, op, arg, result, after",
    [
        (INT64_MAX, "increment", 1, INT64_MIN, INT64_MIN),
        (INT64_MIN, "decrement", 1, INT64_MAX, INT64_MAX),
        (INT64_MAX, "fetch_and_add", INT64_MAX, INT64_MAX, -2),
        (INT64_MIN, "increment", INT64_MIN, 0, 0),
        (0, "decrement", INT64_MIN, INT64_MIN, INT64_MIN),
    ],
)
def test_counter_wraps_modulo_2_64(start, op, arg, result, after) -> None:
    c = AtomicCounter(start)
    assert getattr(c, op)(arg) == result
    assert c.load() == after


@pytest.mark.parametrize(
    "value, expected",
    [(2.9, 2), (-2.9, -2), (True, 1), (INT64_MAX, INT64_MAX), (INT64_MIN, INT64_MIN)],
)
def test_counter_converts_through_the_integer_protocol(value, expected) -> None:
    assert AtomicCounter(value).load() == expected
    c = AtomicCounter()
    c.store(value)
    assert c.load() == expected


class IntLike:
    def __int__(self) -> int:
        return 41


@pytest.mark.parametrize(
    "bad, exc, message",
    [
        ("3", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        ([], TypeError, "an integer is required"),
        (2**63, OverflowError, None),
        (-(2**63) - 1, OverflowError, None),
        (float("inf"), OverflowError, None),
        (float("nan"), ValueError, None),
    ],
)
def test_counter_refuses_bad_arguments_and_keeps_value(bad, exc, message) -> None:
    c = AtomicCounter(7)
    for call in (
        lambda: c.store(bad),
        lambda: c.increment(bad),
        lambda: c.decrement(bad),
        lambda: c.fetch_and_add(bad),
        lambda: c.compare_and_swap(7, bad),
        lambda: c.compare_and_swap(bad, 1),
        lambda: AtomicCounter(bad),
    ):
        with pytest.raises(exc) as info:
            call()
        if message:
            assert str(info.value) == message
    assert c.load() == 7
    assert AtomicCounter(IntLike()).increment() == 42


@pytest.mark.parametrize(
    "call, pattern",
    [
        (lambda c: c.fetch_and_add(), r"missing 1 required positional argument: 'delta'"),
        (lambda c: c.compare_and_swap(1), r"missing 1 required positional argument: 'new_value'"),
        (lambda c: c.increment(1, 2), r"takes from 0 to 1 positional arguments but 2 were given"),
        (lambda c: c.increment(step=1), r"got an unexpected keyword argument 'step'"),
        (lambda c: c.store(1, value=2), r"got multiple values for argument 'value'"),
        (lambda c: c.load(1), r"takes no arguments"),
        (lambda c: AtomicCounter(1, 2), r"takes from 0 to 1 positional arguments"),
        (lambda c: AtomicCounter(start=1), r"unexpected keyword argument 'start'"),
    ],
)
def test_counter_argument_errors(call, pattern) -> None:
    with pytest.raises(TypeError, match=pattern):
        call(AtomicCounter())


def test_counter_aliases_are_the_same_functions() -> None:
    for name in ("load", "store", "increment", "decrement", "compare_and_swap", "fetch_and_add"):
        assert getattr(AtomicCounter, "py_" + name) is getattr(AtomicCounter, name)


def test_counter_is_subclassable_without_instance_dict() -> None:
    class Counted(AtomicCounter):
        pass

    assert Counted(3).increment() == 4
    with pytest.raises(AttributeError):
        AtomicCounter().extra = 1  # type: ignore[attr-defined]


def test_counter_native_table_in_fixed_order() -> None:
    """The published table drives the same value as the Python face."""
    capsule = AtomicCounter.__dict__["__kestrun_ops__"]
    api = ctypes.pythonapi
    api.PyCapsule_GetPointer.restype = ctypes.c_void_p
    api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    table = api.PyCapsule_GetPointer(
        capsule, b"kestrun.memory.syncore.AtomicCounter.__kestrun_ops__"
    )
    slots = (ctypes.c_void_p * 6).from_address(table)
    obj, i64 = ctypes.py_object, ctypes.c_int64
    load = ctypes.CFUNCTYPE(i64, obj)(slots[0])
    store = ctypes.CFUNCTYPE(None, obj, i64)(slots[1])
    increment = ctypes.CFUNCTYPE(i64, obj, ctypes.POINTER(i64))(slots[2])
    decrement = ctypes.CFUNCTYPE(i64, obj, ctypes.POINTER(i64))(slots[3])
    cas = ctypes.CFUNCTYPE(ctypes.c_int, obj, i64, i64)(slots[4])
    fetch_add = ctypes.CFUNCTYPE(i64, obj, i64)(slots[5])
    c = AtomicCounter(10)
    assert load(c) == 10
    store(c, 20)
    assert c.load() == 20
    assert increment(c, None) == 21 and increment(c, ctypes.byref(i64(9))) == 30
    assert decrement(c, None) == 29 and decrement(c, ctypes.byref(i64(4))) == 25
    assert cas(c, 0, 1) == 0 and cas(c, 25, 1) == 1 and c.load() == 1
    assert fetch_add(c, INT64_MAX) == 1 and c.load() == INT64_MIN
    assert "__kestrun_ops__" in LockFreeStatistics.__dict__


@pytest.mark.threaded
def test_counter_threads_are_exact() -> None:
    c, n, per = AtomicCounter(100), 4, 50_000

    def work() -> None:
        inc, dec, add = c.increment, c.decrement, c.fetch_and_add
        for _ in range(per):
            inc()
            inc(3)
            dec(2)
            add(-1)

    run_threads(n, work)
    assert c.load() == 100 + n * per


@pytest.mark.threaded
def test_counter_compare_and_swap_threads_lose_no_update() -> None:
    c, n, per = AtomicCounter(), 4, 20_000

    def work() -> None:
        done = 0
        while done < per:
            seen = c.load()
            if c.compare_and_swap(seen, seen + 1):
                done += 1

    run_threads(n, work)
    assert c.load() == n * per


# ---------------------------------------------------------------- AtomicCounterWrapper


def test_wrapper_forwards_and_converts() -> None:
    w = AtomicCounterWrapper(2.9)
    assert isinstance(w._counter, AtomicCounter) and w.load() == 2
    assert w.increment(True) == 3 and w.decrement() == 2 and w.fetch_and_add(5.5) == 2
    w.store(10)
    assert w.compare_and_swap(10, 11) is True and w.compare_and_swap(10, 12) is False
    assert w.load() == 11 and type(w.load()) is int
    assert vars(w) == {"_counter": w._counter}


@pytest.mark.parametrize(
    "call, name, typename",
    [
        (lambda: AtomicCounterWrapper("3"), "initial_value", "str"),
        (lambda: AtomicCounterWrapper().store(None), "value", "NoneType"),
        (lambda: AtomicCounterWrapper().increment([1]), "delta", "list"),
        (lambda: AtomicCounterWrapper().compare_and_swap(0, b"1"), "new_value", "bytes"),
        (lambda: AtomicCounterWrapper().fetch_and_add("x"), "delta", "str"),
    ],
)
def test_wrapper_refuses_non_numbers(call, name, typename) -> None:
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == f"Argument '{name}' has incorrect type (expected int, got {typename})"


def test_wrapper_does_not_call_the_counter_on_bad_input() -> None:
    w = AtomicCounterWrapper(5)
    with pytest.raises(TypeError):
        w.increment("1")
    assert w.load() == 5


# ---------------------------------------------------------------- AtomicPointer


def test_pointer_store_load_and_version() -> None:
    p = AtomicPointer()
    assert p.load() is None and p.get_version() == 0
    x = object()
    p.store(x)
    assert p.load() is x and p.get_version() == 1
    p.store(None)
    assert p.load() is None and p.get_version() == 2
    assert AtomicPointer(x).load() is x and AtomicPointer(initial_value=x).get_version() == 0


def test_pointer_compare_and_swap_by_identity() -> None:
    p = AtomicPointer()
    a, b = [1], [2]
    assert p.compare_and_swap(None, a) is True and p.load() is a
    assert p.compare_and_swap(None, b) is False and p.load() is a and p.get_version() == 1
    assert p.compare_and_swap([1], b) is False
    assert p.compare_and_swap(a, b) is True and p.load() is b and p.get_version() == 2
    assert p.compare_and_swap(b, None) is True and p.load() is None


def test_pointer_reference_counts_are_neutral() -> None:
    a, b = object(), object()
    base_a, base_b = sys.getrefcount(a), sys.getrefcount(b)
    p = AtomicPointer(a)
    assert sys.getrefcount(a) == base_a + 1
    p.store(a)
    assert sys.getrefcount(a) == base_a + 1
    assert p.compare_and_swap(a, a) is True and p.get_version() == 2
    assert sys.getrefcount(a) == base_a + 1
    assert p.compare_and_swap(b, b) is False
    assert sys.getrefcount(b) == base_b
    assert p.compare_and_swap(a, b) is True
    assert (sys.getrefcount(a), sys.getrefcount(b)) == (base_a, base_b + 1)
    p.store(None)
    assert sys.getrefcount(b) == base_b
    p.store(a)
    del p
    assert sys.getrefcount(a) == base_a


def test_pointer_cycle_is_collected() -> None:
    gc.collect()
    box = Box()
    box.slot = AtomicPointer(box)
    ref = weakref.ref(box)
    del box
    gc.collect()
    assert ref() is None


@pytest.mark.threaded
def test_pointer_threads_count_every_change() -> None:
    p, n, per = AtomicPointer(), 4, 5_000
    items = [object() for _ in range(8)]

    def work() -> None:
        for i in range(per):
            p.store(items[i % 8])

    run_threads(n, work)
    assert p.get_version() == n * per and p.load() in items


# ---------------------------------------------------------------- LockFreeStack


def test_stack_is_lifo() -> None:
    s = LockFreeStack()
    assert s.is_empty() is True and s.size() == 0
    s.push(1)
    s.push(item=2)
    assert (s.size(), s.is_empty()) == (2, False)
    assert (s.pop(), s.size(), s.pop(), s.size(), s.pop(), s.size()) == (2, 1, 1, 0, None, 0)
    s.push(None)
    assert s.size() == 1 and s.pop() is None and s.size() == 0


@pytest.mark.parametrize("args, kwargs", [((5,), {}), ((), {"x": 1})])
def test_stack_takes_no_arguments(args, kwargs) -> None:
    with pytest.raises(TypeError):
        LockFreeStack(*args, **kwargs)


def test_stack_reference_counts_are_neutral() -> None:
    x = object()
    base = sys.getrefcount(x)
    s = LockFreeStack()
    s.push(x)
    s.push(x)
    assert sys.getrefcount(x) == base + 2
    assert s.pop() is x
    assert sys.getrefcount(x) == base + 1
    s.pop()
    assert sys.getrefcount(x) == base
    for _ in range(3):
        s.push(x)
    del s
    assert sys.getrefcount(x) == base


def test_stack_releases_each_item_once_on_destruction() -> None:
    released = []

    class Tracked:
        def __init__(self, n: int) -> None:
            self.n = n

        def __del__(self) -> None:
            released.append(self.n)

    s = LockFreeStack()
    for n in range(5):
        s.push(Tracked(n))
    del s
    assert sorted(released) == [0, 1, 2, 3, 4]


def test_stack_cycle_is_collected() -> None:
    gc.collect()
    box = Box()
    box.stack = LockFreeStack()
    box.stack.push(box)
    box.stack.push(1)
    ref = weakref.ref(box)
    del box
    gc.collect()
    assert ref() is None


@settings(max_examples=60, deadline=None)
@given(st.lists(st.one_of(st.integers(), st.none(), st.just("pop")), max_size=60))
def test_stack_matches_a_list_model(ops) -> None:
    s, model = LockFreeStack(), []
    for op in ops:
        if op == "pop":
            assert s.pop() == (model.pop() if model else None)
        else:
            s.push(op)
            model.append(op)
        assert s.size() == len(model) and s.is_empty() is (not model)


@pytest.mark.threaded
def test_stack_threads_lose_nothing() -> None:
    s, n, per = LockFreeStack(), 4, 10_000
    popped: list[list[int]] = [[] for _ in range(n)]

    def work(k: int) -> None:
        push, pop, out = s.push, s.pop, popped[k]
        for i in range(per):
            push(k * per + i)
            item = pop()
            if item is not None:
                out.append(item)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    rest = []
    while not s.is_empty():
        rest.append(s.pop())
    everything = sorted(sum(popped, []) + rest)
    assert everything == list(range(n * per)) and s.size() == 0


# ---------------------------------------------------------------- LockFreeStatistics

EMPTY_SNAPSHOT = {
    "total_allocations": 0,
    "total_deallocations": 0,
    "current_allocations": 0,
    "bytes_allocated": 0,
    "bytes_reserved": 0,
    "peak_allocations": 0,
    "peak_bytes_allocated": 0,
    "bucketed_allocations": 0,
    "fallback_allocations": 0,
    "bucketed_allocation_ratio": "0.0%",
    "alignment_padding_bytes": 0,
    "average_allocation_time_ns": 0.0,
    "average_deallocation_time_ns": 0.0,
    "allocation_mode": "lock-free native atomics",
}


def test_statistics_fresh_snapshot() -> None:
    snap = LockFreeStatistics().get_snapshot()
    assert snap == EMPTY_SNAPSHOT and list(snap) == list(EMPTY_SNAPSHOT)
    assert type(snap["average_allocation_time_ns"]) is float


def test_statistics_record_and_snapshot() -> None:
    s = LockFreeStatistics()
    s.record_allocation(100)
    s.record_allocation(50, False, 6, 1000)
    snap = s.get_snapshot()
    assert {
        k: snap[k]
        for k in (
            "total_allocations",
            "current_allocations",
            "bytes_allocated",
            "bucketed_allocations",
            "fallback_allocations",
            "alignment_padding_bytes",
            "peak_allocations",
            "peak_bytes_allocated",
        )
    } == {
        "total_allocations": 2,
        "current_allocations": 2,
        "bytes_allocated": 150,
        "bucketed_allocations": 1,
        "fallback_allocations": 1,
        "alignment_padding_bytes": 6,
        "peak_allocations": 2,
        "peak_bytes_allocated": 150,
    }
    assert (
        snap["bucketed_allocation_ratio"] == "50.0%" and snap["average_allocation_time_ns"] == 500.0
    )
    s.record_deallocation(100, 40)
    snap = s.get_snapshot()
    assert (snap["current_allocations"], snap["bytes_allocated"], snap["total_deallocations"]) == (
        1,
        50,
        1,
    )
    assert (snap["peak_allocations"], snap["peak_bytes_allocated"]) == (2, 150)
    assert snap["average_deallocation_time_ns"] == 40.0
    s.record_allocation(8, padding=-3, time_ns=0)
    snap = s.get_snapshot()
    assert snap["alignment_padding_bytes"] == 6 and snap["average_allocation_time_ns"] == 1000 / 3


@pytest.mark.parametrize(
    "bucketed, total, text", [(3, 8, "37.5%"), (1, 3, "33.3%"), (2, 3, "66.7%"), (5, 5, "100.0%")]
)
def test_statistics_ratio_text(bucketed, total, text) -> None:
    s = LockFreeStatistics()
    for i in range(total):
        s.record_allocation(1, i < bucketed)
    assert s.get_snapshot()["bucketed_allocation_ratio"] == text


def test_statistics_counters_may_go_negative_and_reset() -> None:
    s = LockFreeStatistics()
    s.record_deallocation(10)
    assert (s.current_allocations.load(), s.bytes_allocated.load()) == (-1, -10)
    s.record_allocation(5, time_ns=3)
    s.bytes_reserved.store(99)
    s.reset()
    assert s.get_snapshot() == EMPTY_SNAPSHOT


def test_statistics_public_counters() -> None:
    s = LockFreeStatistics()
    assert all(
        type(getattr(s, name)) is AtomicCounter
        for name in EMPTY_SNAPSHOT
        if name in LockFreeStatistics.__dict__
    )
    replacement = AtomicCounter(10)
    s.total_allocations = replacement
    s.record_allocation(1)
    assert replacement.load() == 11
    del s.total_allocations
    assert s.total_allocations is None
    with pytest.raises(AttributeError):
        s.record_allocation(1)


def test_statistics_drive_replaced_and_subclassed_counters_through_python() -> None:
    calls = []

    class Spy(AtomicCounter):
        def increment(self, delta=1):
            calls.append(delta)
            return super().increment(delta)

    class Peaks(LockFreeStatistics):
        def _update_peaks(self, current_allocs, current_bytes):
            calls.append(("peaks", current_allocs, current_bytes))

    s = Peaks()
    s.bytes_allocated = Spy()
    s.record_allocation(64, padding=2)
    assert calls == [64, ("peaks", 1, 64)]
    assert s.peak_allocations.load() == 0


def test_statistics_reset_refuses_reentry_from_a_replaced_counter() -> None:
    # A counter whose store() resets again used to wait for ever on the
    # instance's own lock; the call runs in a thread so a hang fails the test.
    s = LockFreeStatistics()

    class Reenter(AtomicCounter):
        def store(self, value):
            s.reset()

    s.bytes_reserved = Reenter(3)
    outcome = []

    def reset() -> None:
        try:
            s.reset()
        except RuntimeError as exc:
            outcome.append(str(exc))

    t = threading.Thread(target=reset, daemon=True)
    t.start()
    t.join(10)
    assert not t.is_alive(), "reset() waited for its own lock"
    assert outcome and "re-entrant call into LockFreeStatistics.reset()" in outcome[0]
    s.bytes_reserved = AtomicCounter(3)
    s.reset()  # the lock was left
    assert s.bytes_reserved.load() == 0


def test_statistics_peaks_never_decrease() -> None:
    s = LockFreeStatistics()
    s._update_peaks(5, 500)
    s._update_peaks(current_allocs=3, current_bytes=900)
    assert (s.peak_allocations.load(), s.peak_bytes_allocated.load()) == (5, 900)
    s._update_peaks(2.9, True)
    assert (s.peak_allocations.load(), s.peak_bytes_allocated.load()) == (5, 900)


class SubCounter(AtomicCounter):
    pass


@pytest.mark.parametrize("peak_type", [AtomicCounter, SubCounter])
def test_statistics_peaks_outside_64_bits_agree_for_every_counter(peak_type) -> None:
    # Below the range a value can never raise a peak; above it, it cannot be stored.
    s = LockFreeStatistics()
    s.peak_allocations, s.peak_bytes_allocated = peak_type(7), peak_type(7)
    assert s._update_peaks(-(2**70), INT64_MIN - 1) is None
    assert (s.peak_allocations.load(), s.peak_bytes_allocated.load()) == (7, 7)
    with pytest.raises(OverflowError):
        s._update_peaks(2**70, 0)
    assert s.peak_allocations.load() == 7


@pytest.mark.parametrize(
    "call, name, typename",
    [
        (lambda s: s.record_allocation("1"), "size", "str"),
        (lambda s: s.record_allocation(1, True, None), "padding", "NoneType"),
        (lambda s: s.record_allocation(1, time_ns=[]), "time_ns", "list"),
        (lambda s: s.record_deallocation(b"1"), "size", "bytes"),
        (lambda s: s._update_peaks(1, "2"), "current_bytes", "str"),
        (lambda s: s.py_record_allocation("1", True), "size", "str"),
        (lambda s: s.py_record_deallocation(1, "2"), "time_ns", "str"),
    ],
)
def test_statistics_int_arguments_are_checked_before_recording(call, name, typename) -> None:
    s = LockFreeStatistics()
    with pytest.raises(TypeError) as info:
        call(s)
    assert str(info.value) == f"Argument '{name}' has incorrect type (expected int, got {typename})"
    assert s.get_snapshot() == EMPTY_SNAPSHOT


def test_statistics_overflow_keeps_the_steps_before_it() -> None:
    s = LockFreeStatistics()
    with pytest.raises(OverflowError):
        s.record_allocation(2**64)
    assert (s.total_allocations.load(), s.current_allocations.load(), s.bytes_allocated.load()) == (
        1,
        1,
        0,
    )
    with pytest.raises(OverflowError):
        s.py_record_allocation(2**63, True)
    assert s.total_allocations.load() == 1


def test_statistics_legacy_recorders() -> None:
    s = LockFreeStatistics()
    with pytest.raises(TypeError, match="is_bucketed"):
        s.py_record_allocation(16)
    s.py_record_allocation(16, True, 4, 100)
    s.py_record_allocation(size=8, is_bucketed=0)
    snap = s.get_snapshot()
    assert (snap["total_allocations"], snap["current_allocations"], snap["bytes_allocated"]) == (
        2,
        2,
        24,
    )
    touched = {"total_allocations", "current_allocations", "bytes_allocated"}
    assert all(
        snap[k] == EMPTY_SNAPSHOT[k]
        for k in EMPTY_SNAPSHOT
        if k not in touched | {"bucketed_allocation_ratio"}
    )
    s.py_record_deallocation(16, 5)
    assert (
        s.total_deallocations.load(),
        s.current_allocations.load(),
        s.bytes_allocated.load(),
    ) == (1, 1, 8)


def test_statistics_native_peak_table() -> None:
    capsule = LockFreeStatistics.__dict__["__kestrun_ops__"]
    api = ctypes.pythonapi
    api.PyCapsule_GetPointer.restype = ctypes.c_void_p
    api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    table = api.PyCapsule_GetPointer(
        capsule, b"kestrun.memory.syncore.LockFreeStatistics.__kestrun_ops__"
    )
    slots = (ctypes.c_void_p * 2).from_address(table)
    for slot in slots:
        ctypes.CFUNCTYPE(None, ctypes.py_object, ctypes.c_int64)(slot)(LockFreeStatistics(), 5)


@pytest.mark.threaded
def test_statistics_threads_are_exact() -> None:
    s, n, per = LockFreeStatistics(), 4, 5_000

    def work() -> None:
        rec, free, legacy = s.record_allocation, s.record_deallocation, s.py_record_allocation
        for i in range(per):
            rec(16, i % 2 == 0, 1, 2)
            free(16, 1)
            legacy(8, True)

    run_threads(n, work)
    snap = s.get_snapshot()
    total = n * per
    assert snap["total_allocations"] == 2 * total and snap["total_deallocations"] == total
    assert snap["current_allocations"] == total and snap["bytes_allocated"] == 8 * total
    assert snap["bucketed_allocations"] == total // 2 and snap["fallback_allocations"] == total // 2
    assert snap["alignment_padding_bytes"] == total
    assert 1 <= snap["peak_allocations"] <= 2 * total


def test_statistics_gc_collects_cycles_through_counters() -> None:
    class Holder(AtomicCounter):
        pass

    gc.collect()
    s = LockFreeStatistics()
    h = Holder()
    h.owner = s  # type: ignore[attr-defined]
    s.bytes_reserved = h
    ref = weakref.ref(h)
    del s, h
    gc.collect()
    assert ref() is None


# ---------------------------------------------------------------- PerformanceTimer


def test_timer() -> None:
    t = PerformanceTimer()
    assert type(t.elapsed_us()) is float
    t.start()
    ns = t.elapsed_ns()
    assert type(ns) is int and ns >= 0
    assert t.elapsed_ms() >= ns / 1_000_000.0

    class Fixed(PerformanceTimer):
        def elapsed_ns(self) -> int:
            return 2_500_000

    f = Fixed()
    assert (f.elapsed_us(), f.elapsed_ms()) == (2500.0, 2.5)


@pytest.mark.threaded
def test_statistics_survive_counters_replaced_by_other_threads() -> None:
    """Subclassed counters release the interpreter lock inside their methods;
    replacing them from another thread meanwhile must not free them under us."""

    class Sub(AtomicCounter):
        pass

    s = LockFreeStatistics()
    stop = threading.Event()

    def swap() -> None:
        while not stop.is_set():
            s.bytes_allocated = Sub()
            s.peak_bytes_allocated = Sub()
            s.current_allocations = Sub()

    def record() -> None:
        for _ in range(3_000):
            s.record_allocation(8)
            s.record_deallocation(8)
            s.py_record_allocation(8, False)
            s.get_snapshot()

    swapper = threading.Thread(target=swap)
    swapper.start()
    try:
        run_threads(2, record)
    finally:
        stop.set()
        swapper.join()
    assert s.total_allocations.load() == 2 * 2 * 3_000
