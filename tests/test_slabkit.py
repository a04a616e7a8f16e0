"""kestrun.memory.slabkit as its callers see it, checked against plain-Python models."""

from __future__ import annotations

import gc
import logging
import struct
import sys
import threading
import tracemalloc
import types
import weakref
from functools import partial

import pytest
from crc import Calculator, Crc16
from hypothesis import given, settings
from hypothesis import strategies as st

from kestrun.memory import slabkit
from kestrun.memory.slabkit import (
    FastBucketAllocator,
    FastSlabHeaderOps,
    FastStatsCollector,
    fast_align_size,
    fast_bitmap_operations,
    fast_can_fit_aligned,
    fast_get_bucket_size,
)

I32_MIN, I32_MAX = -(2**31), 2**31 - 1
U64_MASK = 2**64 - 1
MODBUS = Calculator(Crc16.MODBUS)
TYPES = [FastSlabHeaderOps, FastBucketAllocator, FastStatsCollector]
LOGGER = "kestrun.memory.slabkit"

int32s = st.one_of(st.integers(-70, 300), st.integers(I32_MIN, I32_MAX))


# ---------------------------------------------------------------- plain-Python models


def i32(v: int) -> int:
    """A quantity of the 32-bit arithmetic: it must fit, as the module insists."""
    if not I32_MIN <= v <= I32_MAX:
        raise OverflowError
    return v


def round_up(size: int, step: int) -> int:
    if step == 0:
        raise ValueError
    s = i32(size + step - 1)
    q = abs(s) // abs(step) * (1 if (s < 0) == (step < 0) else -1)  # truncating
    return i32(i32(q) * step)


def check_alignment(alignment: int) -> None:
    if alignment <= 0 or alignment & (alignment - 1):
        raise ValueError


def fits(offset: int, block: int, need: int, alignment: int) -> bool:
    check_alignment(alignment)
    aligned = i32(offset + alignment - 1) & i32(-alignment)
    return i32(aligned + need) <= i32(offset + block)


def bit(index: int) -> int:
    return 1 << index if 0 <= index < 64 else 0


class BucketModel:
    """The allocator exactly as described: sorted scan, pop and push back."""

    def __init__(self, step: int = 8, small: int = 256, medium: int = 4096) -> None:
        self.step, self.small, self.medium = step, small, medium
        self.buckets: dict[int, list[int]] = {}
        for size in range(step, small + 1, step):
            self.buckets[size] = []
        for size in range(small + step, medium + 1, step):
            self.buckets[size] = []

    def size_of(self, size: int) -> int:
        return round_up(size, self.step) if size <= self.small or size <= self.medium else -1

    def add(self, offset: int, size: int) -> bool:
        b = self.size_of(size)
        if b <= 0 or b != size or b not in self.buckets:
            return False
        self.buckets[b].append(offset)
        return True

    def remove(self, size: int) -> int | None:
        b = self.size_of(size)
        lst = self.buckets.get(b) if b > 0 else None
        return lst.pop() if lst else None

    def find(self, size: int, alignment: int) -> int | None:
        check_alignment(alignment)
        b = self.size_of(size)
        if b <= 0:
            return None
        for key in [b] + [k for k in sorted(self.buckets) if k > b]:
            lst = self.buckets.get(key)
            if lst:
                offset = lst.pop()
                try:
                    ok = fits(offset, key, size, alignment)
                finally:
                    lst.append(offset)
                if ok:
                    return lst.pop()
        return None


class HeaderModel:
    def __init__(self, size_class: int, objects: int) -> None:
        self.size_class, self.flags, self.version = size_class % 256, 0, 0
        self.mask = 0 if objects <= 0 else U64_MASK if objects >= 64 else (1 << objects) - 1
        self.bitmap = self.mask

    def allocate(self, i: int) -> None:
        self.bitmap &= ~bit(i)
        self.flags |= 0x10
        self.version = (self.version + 1) & 0xFFFFFFFF

    def deallocate(self, i: int) -> None:
        self.bitmap |= bit(i)
        self.version = (self.version + 1) & 0xFFFFFFFF
        if self.bitmap == self.mask:
            self.flags &= ~0x10

    def unpack(self, data: bytes) -> bool:
        self.size_class, self.flags, self.version, stored, self.bitmap = struct.unpack(
            "<BBLHQ", data
        )
        if stored != MODBUS.checksum(data[:6]):
            self.flags |= 0x80
            return False
        return True

    def pack(self) -> bytes:
        head = struct.pack("<BBL", self.size_class, self.flags, self.version)
        return head + struct.pack("<HQ", MODBUS.checksum(head), self.bitmap)


def outcome(fn, *args):
    """fn(*args), or the type of the OverflowError or ValueError it raises."""
    try:
        return fn(*args)
    except (OverflowError, ValueError) as exc:
        return type(exc)


def with_crc(head: bytes, bitmap: int = 0) -> bytes:
    return head + struct.pack("<HQ", MODBUS.checksum(head), bitmap)


def raises(exc, text: str, fn, *args) -> None:
    """fn(*args) raises `exc` with `text` in its message."""
    with pytest.raises(exc) as info:
        fn(*args)
    assert text in str(info.value)


# The module's names, load line, set-up and pickling are checked with every
# other module's in test_module_frame.py.


# ---------------------------------------------------------------- slab header


def test_header_examples() -> None:
    assert FastSlabHeaderOps(3, 64).pack_header().hex() == "0300000000000028ffffffffffffffff"
    assert FastSlabHeaderOps(objects_per_slab=8, size_class_index=300).pack_header()[0] == 44
    empty = FastSlabHeaderOps(1, 0)
    assert empty.py_find_free_object() == -1 and empty.py_is_object_free(0) is False
    h = FastSlabHeaderOps(1, 8)
    h.py_allocate_object_at(0)
    assert h.py_find_free_object() == 1 and h.pack_header()[1:3] == b"\x10\x01"
    h.py_deallocate_object_at(0)
    h.py_deallocate_object_at(0)  # already free: only the version moves
    assert h.pack_header()[1:3] == b"\x00\x03"
    h.unpack_header(with_crc(b"\x01\x00\xff\xff\xff\xff"))
    h.py_allocate_object_at(0)
    assert h.pack_header()[2:6] == bytes(4)  # the version wraps modulo 2**32


@pytest.mark.parametrize("index", [64, 70, I32_MAX, -1, -64, I32_MIN])
def test_slot_index_outside_the_word_changes_no_bit(index) -> None:
    """No shift by 64 or more or by a negative count: the index matches no slot."""
    h = FastSlabHeaderOps(1, 100)
    assert h.py_is_object_free(index) is False
    h.py_allocate_object_at(index)
    assert h.pack_header()[1:3] == b"\x10\x01" and h.pack_header()[8:] == b"\xff" * 8
    h.py_deallocate_object_at(index)  # the bitmap is the all-free mask again
    assert h.pack_header()[1:3] == b"\x00\x02"


slot_indices = st.one_of(st.integers(-2, 66), int32s)


@settings(max_examples=150)
@given(
    size_class=int32s,
    objects=slot_indices,
    steps=st.lists(
        st.one_of(
            st.tuples(st.sampled_from(["allocate", "deallocate", "is_free"]), slot_indices),
            st.tuples(st.just("unpack"), st.binary(min_size=16, max_size=16), st.booleans()),
            st.tuples(st.just("find")),
        ),
        max_size=40,
    ),
)
def test_header_against_model(size_class, objects, steps) -> None:
    """Constructor, slots, flags, version and both byte-form directions; the
    model's checksum comes from a second CRC library."""
    h, m = FastSlabHeaderOps(size_class, objects), HeaderModel(size_class, objects)
    for kind, *arg in steps:
        if kind in ("allocate", "deallocate"):
            getattr(h, f"py_{kind}_object_at")(arg[0])
            getattr(m, kind)(arg[0])
        elif kind == "is_free":
            assert h.py_is_object_free(arg[0]) is bool(m.bitmap & bit(arg[0]))
        elif kind == "find":
            assert h.py_find_free_object() == (m.bitmap & -m.bitmap).bit_length() - 1
        else:
            data = with_crc(arg[0][:6], int.from_bytes(arg[0][8:], "little")) if arg[1] else arg[0]
            m.unpack(data)
            h.unpack_header(data)
        assert h.pack_header() == m.pack()


# ---------------------------------------------------------------- checksum


def crc16_bitwise(data: bytes, reg: int = 0xFFFF) -> int:
    for byte in data:
        reg ^= byte
        for _ in range(8):
            reg = (reg >> 1) ^ 0xA001 if reg & 1 else reg >> 1
    return reg


def test_checksum_check_value_through_the_module_table() -> None:
    """CRC-16/MODBUS of "123456789" is 0x4B37.  Only six bytes enter a header's
    checksum, so three leading bytes are chosen that leave the register where
    "123456" leaves it; with "789" after them the module must give 0x4B37."""
    assert crc16_bitwise(b"123456789") == MODBUS.checksum(b"123456789") == 0x4B37
    target = crc16_bitwise(b"123456")
    prefix = next(p for n in range(65536) if crc16_bitwise(p := b"\0" + n.to_bytes(2)) == target)
    data = prefix + b"789" + b"\x37\x4b" + bytes(8)
    h = FastSlabHeaderOps(0, 0)
    h.unpack_header(data)
    assert h.pack_header() == data


def test_round_trip_is_silent_and_corruption_is_flagged(caplog, monkeypatch) -> None:
    h = FastSlabHeaderOps(5, 64)
    h.py_allocate_object_at(3)
    good = h.pack_header()
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        h.unpack_header(good)
        h.unpack_header(good[:8] + b"\x01" * 8)  # the bitmap is outside the checksum
        assert caplog.records == []
        bad = good[:1] + b"\x11" + good[2:]
        h.unpack_header(bad)
    [record] = caplog.records
    stored, computed = struct.unpack("<H", good[6:8])[0], MODBUS.checksum(bad[:6])
    assert record.levelname == "WARNING" and record.name == LOGGER
    text = f"Header corruption detected: stored={stored:04x}, computed={computed:04x}"
    assert record.getMessage() == text
    assert h.pack_header()[1] == 0x91  # flag 0x80 kept, and part of the new checksum
    said: list[str] = []  # the text goes to whatever the module's `logger` is now
    monkeypatch.setattr(slabkit, "logger", types.SimpleNamespace(warning=said.append))
    h.unpack_header(bytes(6) + b"\xff\x00" + bytes(8))
    expected = f"Header corruption detected: stored=00ff, computed={MODBUS.checksum(bytes(6)):04x}"
    assert said == [expected]


class Liar(bytes):
    def __len__(self) -> int:
        return 16


@pytest.mark.parametrize(
    "data, exc, message",
    [
        (None, TypeError, "object of type 'NoneType' has no len()"),
        (bytearray(16), TypeError, "incorrect type (expected bytes, got bytearray)"),
        ("x" * 16, TypeError, "Argument 'data' has incorrect type (expected bytes, got str)"),
        (bytes(15), ValueError, "16 bytes"),
        (bytes(17), ValueError, "16 bytes"),
        (Liar(bytes(4)), ValueError, "16 bytes"),  # the bytes are read, not __len__
    ],
)
def test_unpack_refuses_bad_data_and_keeps_header(data, exc, message) -> None:
    h = FastSlabHeaderOps(3, 64)
    before = h.pack_header()
    raises(exc, message, h.unpack_header, data)
    assert h.pack_header() == before


# ---------------------------------------------------------------- argument conventions


class Index:
    def __init__(self, value: int, effect=None) -> None:
        self.value, self.effect = value, effect

    def __index__(self) -> int:
        if self.effect:
            self.effect()
        return self.value


@pytest.mark.parametrize(
    "fn, args, exc, message",
    [
        (fast_align_size, ("8", 8), TypeError, "an integer is required"),
        (fast_align_size, (2**31, 8), OverflowError, "value too large to convert to int"),
        (fast_bitmap_operations, (-1, 0, "set"), OverflowError, "negative value to uint64_t"),
        (fast_bitmap_operations, (2**64, 0, "set"), OverflowError, "too large"),
        (fast_bitmap_operations, (0, 0, b"set"), TypeError, "(expected str, got bytes)"),
        (fast_bitmap_operations, (0, 0, type("S", (str,), {})("set")), TypeError, "got S)"),
        (fast_can_fit_aligned, (0, 1, 2), TypeError, "missing 1 required positional argument"),
        (FastSlabHeaderOps, (1, 2, 3), TypeError, "takes 2 positional arguments but 3 were"),
        (FastSlabHeaderOps(1, 8).py_allocate_object_at, (2**31,), OverflowError, "too large"),
        (FastStatsCollector().py_record_allocation, (1, 2), TypeError, "'is_bucketed'"),
    ],
)
def test_bad_arguments(fn, args, exc, message) -> None:
    raises(exc, message, fn, *args)


def test_numbers_convert_through_the_integer_protocol() -> None:
    assert fast_align_size(13.9, True) == 13 and fast_align_size(Index(13), alignment=8.5) == 16
    assert fast_get_bucket_size(step=16, size=17) == 32
    assert fast_bitmap_operations(8.7, 3.2, operation="is_set") is True
    raises(TypeError, "unexpected keyword argument 'step'", partial(FastBucketAllocator, step=8))


# ---------------------------------------------------------------- helpers


def test_helper_examples() -> None:
    assert (fast_align_size(13, 8), fast_align_size(16, 8), fast_align_size(-13, 8)) == (16, 16, -8)
    assert (fast_get_bucket_size(1), fast_get_bucket_size(17, 16)) == (8, 32)
    assert (fast_get_bucket_size(-20), fast_get_bucket_size(10, -8)) == (-8, 0)
    assert fast_can_fit_aligned(0, 16, 16, 8) is True  # an exact fit fits
    assert (fast_can_fit_aligned(0, 17, 16, 8), fast_can_fit_aligned(1, 16, 16, 8)) == (True, False)
    assert (fast_bitmap_operations(0, 3, "set"), fast_bitmap_operations(8, 70, "set")) == (8, 8)
    assert fast_bitmap_operations(8, 3, "is_set") is True
    assert fast_bitmap_operations(8, -1, "clear") == 8
    assert fast_bitmap_operations(0, 0, "find_first") == -1


@pytest.mark.parametrize(
    "fn, args, exc, message",
    [
        (fast_align_size, (13, 6), ValueError, "Alignment must be a power of 2"),
        (fast_align_size, (13, 0), ValueError, "Alignment must be a power of 2"),
        (fast_align_size, (13, I32_MIN), ValueError, "Alignment must be a power of 2"),
        (fast_align_size, (I32_MAX - 6, 8), OverflowError, "fast_align_size"),
        (fast_get_bucket_size, (5, 0), ValueError, "step must not be zero"),
        (fast_get_bucket_size, (I32_MIN + 2, -1), OverflowError, "32-bit"),  # INT_MIN / -1
        *[
            (fn, args, ValueError, "Alignment must be a power of 2")
            for alignment in (0, -8, 3, I32_MIN)
            for fn, args in [
                (fast_can_fit_aligned, (100, 16, 8, alignment)),  # -8 "aligns" 100 to 8
                (FastBucketAllocator().find_best_fit_bucket, (8, alignment)),
                (FastBucketAllocator().find_best_fit_bucket, (5000, alignment)),  # no bucket
            ]
        ],
        (fast_bitmap_operations, (0, 0, "flip"), ValueError, "Unknown operation: flip"),
        (fast_bitmap_operations, (0, 0, None), ValueError, "Unknown operation: None"),
    ],
)
def test_helper_errors(fn, args, exc, message) -> None:
    raises(exc, message, fn, *args)


@given(
    size=int32s,
    step=int32s,
    alignment=st.one_of(st.sampled_from([1, 2, 8, 64, 2**30]), int32s),
    block=int32s,
    need=int32s,
)
def test_helpers_against_models(size, step, alignment, block, need) -> None:
    assert outcome(fast_get_bucket_size, size, step) == outcome(round_up, size, step)
    args = (size, block, need, alignment)
    assert outcome(fast_can_fit_aligned, *args) == outcome(fits, *args)
    if alignment > 0 and alignment & (alignment - 1) == 0:
        expected = outcome(lambda: i32(size + alignment - 1) & ~(alignment - 1))
        assert outcome(fast_align_size, size, alignment) == expected


@given(bitmap=st.integers(0, U64_MASK), index=slot_indices)
def test_bitmap_operations_against_model(bitmap, index) -> None:
    assert fast_bitmap_operations(bitmap, index, "is_set") is bool(bitmap & bit(index))
    assert fast_bitmap_operations(bitmap, index, "set") == bitmap | bit(index)
    assert fast_bitmap_operations(bitmap, index, "clear") == bitmap & ~bit(index)
    low = (bitmap & -bitmap).bit_length() - 1
    assert fast_bitmap_operations(bitmap, index, "find_first") == low


# ---------------------------------------------------------------- bucket allocator


def test_bucket_examples() -> None:
    a = FastBucketAllocator()
    assert [a.add_to_bucket(100, 16), a.add_to_bucket(200, 13), a.add_to_bucket(3, 5000)] == [
        True, False, False
    ]  # fmt: skip
    a.add_to_bucket(200, 16)
    assert [a.remove_from_bucket(10) for _ in range(3)] == [200, 100, None]
    a.add_to_bucket(100, 16)
    assert a.find_best_fit_bucket(16, 64) is None  # 128 + 16 > 116: 100 stays
    a.add_to_bucket(64, 32)
    assert a.find_best_fit_bucket(16, 64) == 64 and a.find_best_fit_bucket(16, 64) is None
    assert a.remove_from_bucket(16) == 100 and a.find_best_fit_bucket(5000, 8) is None
    assert a.add_to_bucket(0, 4096) is True and a.add_to_bucket(0, 4104) is False


sizes = st.integers(-20, 330)
bucket_steps = st.lists(
    st.one_of(
        st.tuples(st.just("add"), st.one_of(st.integers(-100, 5000), int32s), sizes),
        st.tuples(st.just("remove"), sizes),
        st.tuples(st.just("find"), sizes, st.one_of(st.sampled_from([1, 8, 64, 4096]), int32s)),
    ),
    max_size=60,
)
allocator_args = st.one_of(
    st.just(()),
    st.tuples(st.sampled_from([1, 3, 8, 16, -8]), st.integers(-40, 100), st.integers(-120, 300)),
)


@settings(max_examples=200)
@given(args=allocator_args, steps=bucket_steps)
def test_bucket_allocator_against_model(args, steps) -> None:
    """The model pops, tests and pushes back in sorted key order, as described."""
    a, m = FastBucketAllocator(*args), BucketModel(*args)
    names = {"add": "add_to_bucket", "remove": "remove_from_bucket", "find": "find_best_fit_bucket"}
    for kind, *values in steps:
        assert outcome(getattr(a, names[kind]), *values) == outcome(getattr(m, kind), *values)
    for size in sorted(m.buckets):  # the same offsets are left, in the same order
        if size > 0 and size == outcome(m.size_of, size):
            left = iter(partial(a.remove_from_bucket, size), None)
            assert list(left)[::-1] == m.buckets[size]


def test_overflowing_offset_raises_and_stays_in_its_bucket() -> None:
    a = FastBucketAllocator()
    a.add_to_bucket(I32_MAX - 3, 16)
    raises(OverflowError, "find_best_fit_bucket", a.find_best_fit_bucket, 16, 8)
    raises(OverflowError, "32-bit", a.find_best_fit_bucket, 8, 8)  # met by the scan too
    assert a.remove_from_bucket(16) == I32_MAX - 3


def test_zero_step_raises_instead_of_dividing() -> None:
    raises(ValueError, "range() arg 3 must not be zero", FastBucketAllocator, 0)

    class Lenient(FastBucketAllocator):  # the constructor calls the override
        def _init_buckets(self) -> None:
            self.ready = True

    a = Lenient(0)
    assert a.ready
    text = "bucket_size_step must not be zero"
    raises(ValueError, text, a.add_to_bucket, 1, 8)
    raises(ValueError, text, a.remove_from_bucket, 8)
    raises(ValueError, text, a.find_best_fit_bucket, 8, 8)
    assert a.add_to_bucket(1, 5000) is False  # above both tiers: no division


@pytest.mark.parametrize("args", [(8, I32_MAX), (1, 0, I32_MAX), (-1, 0, I32_MIN)])
def test_billions_of_size_classes_are_refused_up_front(args) -> None:
    raises(ValueError, "size classes requested", FastBucketAllocator, *args)
    assert FastBucketAllocator(1, 0, 100_000).add_to_bucket(7, 99_999) is True


class RecordingLock:
    """A stand-in for threading.Lock, made through the module's `threading`."""

    made: list[RecordingLock] = []

    def __init__(self) -> None:
        self.log: list[str] = []
        self.on_enter = None
        self.fail_exit = False
        RecordingLock.made.append(self)

    def __enter__(self):
        self.log.append("enter")
        if self.on_enter:
            effect, self.on_enter = self.on_enter, None
            effect()
        return self

    def __exit__(self, *exc) -> None:
        self.log.append("exit")
        if self.fail_exit:
            raise RuntimeError("exit failed")


@pytest.fixture
def fake_locks(monkeypatch):
    RecordingLock.made.clear()
    monkeypatch.setattr(slabkit, "threading", types.SimpleNamespace(Lock=RecordingLock))
    return RecordingLock.made


def test_lock_is_taken_only_where_state_is_touched(fake_locks) -> None:
    a, s = FastBucketAllocator(), FastStatsCollector()
    (stats_lock,) = fake_locks  # the allocator's own lock is private
    assert [a.add_to_bucket(1, 13), a.find_best_fit_bucket(5000, 8), a.remove_from_bucket(-5)] == [
        False, None, None
    ]  # fmt: skip
    a.add_to_bucket(I32_MAX, 8)
    raises(OverflowError, "32-bit", a.find_best_fit_bucket, 8, 8)
    # released on the way out of an error too
    assert a.add_to_bucket(8, 8) and a.remove_from_bucket(8) == 8
    s.py_record_allocation(1, 1, True)
    s.get_stats()
    assert stats_lock.log == ["enter", "exit"] * 2
    stats_lock.fail_exit = True
    raises(RuntimeError, "exit failed", s.reset_stats)


def test_state_is_read_after_the_conversions() -> None:
    """Conversions may change the buckets (they run Python code): they run
    before the lock is taken, and the buckets are read afterwards."""
    a = FastBucketAllocator()
    for offset in (8, 16, 24):
        a.add_to_bucket(offset, 16)
    assert a.find_best_fit_bucket(Index(16, lambda: a.remove_from_bucket(16)), 8) == 16
    assert a.find_best_fit_bucket(Index(16, lambda: a.add_to_bucket(40, 16)), 8) == 40
    assert a.remove_from_bucket(16) == 8


def test_cycles_through_subclass_instances_are_collected() -> None:
    for cls in TYPES:
        sub = type("Sub", (cls,), {})
        obj = sub(1, 8) if cls is FastSlabHeaderOps else sub()
        obj.me = obj
        ref = weakref.ref(obj)
        del obj
        gc.collect()
        assert ref() is None


def run_threads(n: int, target) -> None:
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=target, args=(i,)) for i in range(n)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)


@pytest.mark.threaded
def test_buckets_from_many_threads_lose_and_duplicate_nothing() -> None:
    a = FastBucketAllocator()
    taken: list[int] = []

    def work(i: int) -> None:
        mine = []
        for k in range(400):
            assert a.add_to_bucket(i * 1000 + k, 64)
            got = a.find_best_fit_bucket(48, 16) if k % 2 else a.remove_from_bucket(64)
            if got is not None:
                mine.append(got)
        taken.extend(mine)

    run_threads(8, work)
    taken.extend(iter(partial(a.remove_from_bucket, 64), None))
    assert sorted(taken) == [i * 1000 + k for i in range(8) for k in range(400)]


# ---------------------------------------------------------------- statistics


def test_stats_examples() -> None:
    s = FastStatsCollector("ignored", key="ignored")
    assert s.get_stats()["bucketed_allocation_ratio"] == "0.0%"
    s.py_record_allocation(64, 8, True)
    s.py_record_allocation(64, 0, False)
    s.py_record_deallocation()
    assert list(s.get_stats().items()) == [
        ("total_allocations", 2), ("total_deallocations", 1), ("bucketed_allocations", 1),
        ("fallback_allocations", 1), ("bucketed_allocation_ratio", "50.0%"),
        ("alignment_padding_bytes", 8),
    ]  # fmt: skip
    s.py_record_allocation(8, -9, [])  # a negative padding lowers the sum modulo 2**64
    assert s.get_stats()["alignment_padding_bytes"] == U64_MASK
    no_truth = type("NoTruth", (), {"__bool__": lambda self: 1 // 0})()
    raises(ZeroDivisionError, "", s.py_record_allocation, 8, 5, no_truth)
    assert s.get_stats()["total_allocations"] == 3  # a failing truth value counts nothing
    s.reset_stats()
    assert set(s.get_stats().values()) == {0, "0.0%"}


@pytest.mark.parametrize("bucketed, total", [(1, 3), (2, 3), (1, 8), (3, 4), (999, 1000)])
def test_ratio_text_is_python_formatting(bucketed, total) -> None:
    s = FastStatsCollector()
    for i in range(total):
        s.py_record_allocation(8, 0, i < bucketed)
    assert s.get_stats()["bucketed_allocation_ratio"] == f"{bucketed / total * 100:.1f}%"


@pytest.mark.threaded
def test_stats_from_many_threads_are_exact() -> None:
    s = FastStatsCollector()

    def work(i: int) -> None:
        for k in range(1500):
            s.py_record_allocation(64, 3, k % 3 == 0)
            if k % 2:
                s.py_record_deallocation()
            if k % 500 == 0:
                s.get_stats()

    run_threads(8, work)
    stats = s.get_stats()
    assert (stats["total_allocations"], stats["total_deallocations"]) == (12000, 6000)
    assert (stats["bucketed_allocations"], stats["fallback_allocations"]) == (4000, 8000)
    assert (stats["alignment_padding_bytes"], stats["bucketed_allocation_ratio"]) == (
        36000,
        "33.3%",
    )


# ---------------------------------------------------------------- leaks


HEADER, ALLOC, STATS = FastSlabHeaderOps(2, 64), FastBucketAllocator(), FastStatsCollector()
LEAK_CALLS = {
    "header": lambda: (HEADER.py_allocate_object_at(5), HEADER.unpack_header(HEADER.pack_header())),
    "unpack error": lambda: HEADER.unpack_header(bytes(15)),
    "conversion error": lambda: HEADER.py_is_object_free("x"),
    "buckets": lambda: (ALLOC.add_to_bucket(10**5, 64), ALLOC.find_best_fit_bucket(60, 32)),
    "constructors": lambda: (FastBucketAllocator(16, 64, 128), FastSlabHeaderOps(1, None)),
    "stats": lambda: (STATS.py_record_allocation(1, 2, 0), STATS.get_stats()),
    "helpers": lambda: (fast_bitmap_operations(2**63, 3, "set"), fast_get_bucket_size(2**31 - 1)),
    "helper errors": lambda: (fast_bitmap_operations(1, 3, "flip"), fast_align_size(13, 6)),
}


@pytest.mark.parametrize("name", LEAK_CALLS)
def test_no_memory_is_kept_per_call(name) -> None:
    def run() -> None:
        try:
            LEAK_CALLS[name]()
        except (TypeError, ValueError, OverflowError):
            pass

    for _ in range(300):
        run()
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        for _ in range(5000):
            run()
        grown = tracemalloc.get_traced_memory()[0] - base
    finally:
        tracemalloc.stop()
    assert grown < 40_000  # one object leaked per call would be 140 kB or more
