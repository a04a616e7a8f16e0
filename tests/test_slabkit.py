"""kestrun.memory.slabkit as its callers see it, checked against plain-Python models."""

from __future__ import annotations

import copy
import gc
import importlib.util
import logging
import pickle
import struct
import subprocess
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


def fits(offset: int, block: int, need: int, alignment: int) -> bool:
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


# ---------------------------------------------------------------- module frame


def test_module_names() -> None:
    public = {n for n in vars(slabkit) if not n.startswith("__")}
    assert public == {
        "FastSlabHeaderOps",
        "FastBucketAllocator",
        "FastStatsCollector",
        "fast_align_size",
        "fast_get_bucket_size",
        "fast_bitmap_operations",
        "fast_can_fit_aligned",
        "threading",
        "logging",
        "logger",
    }
    assert slabkit.threading is threading and slabkit.logging is logging
    assert slabkit.logger is logging.getLogger(LOGGER)


def test_one_info_load_line_and_listed_as_loaded() -> None:
    code = (
        "import logging, importlib\n"
        "logging.basicConfig(level=logging.DEBUG, format='%(name)s|%(levelname)s|%(message)s')\n"
        f"import {LOGGER}; importlib.import_module('{LOGGER}')\n"
        f"from kestrun.__main__ import module_status; print(module_status('{LOGGER}')['status'])"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    [line] = done.stderr.splitlines()
    assert line.startswith(f"{LOGGER}|INFO|") and "fast-allocator" in line and "1.8-3x" in line
    assert done.stdout.strip() == "loaded"


def test_reinitialisation_is_refused() -> None:
    module_spec = importlib.util.find_spec(LOGGER)
    fresh = importlib.util.module_from_spec(module_spec)
    with pytest.raises(
        RuntimeError,
        match=r"^Module 'slabkit' has already been imported\. "
        r"Re-initialisation is not supported\.$",
    ):
        module_spec.loader.exec_module(fresh)


@pytest.mark.parametrize(
    "make", [lambda: FastSlabHeaderOps(1, 8), FastBucketAllocator, FastStatsCollector]
)
def test_pickling_and_copying_are_refused(make) -> None:
    for action in (pickle.dumps, copy.copy):
        with pytest.raises(
            TypeError, match=r"^no default __reduce__ due to non-trivial __cinit__$"
        ):
            action(make())


# ---------------------------------------------------------------- slab header


def test_fresh_header_byte_form() -> None:
    assert FastSlabHeaderOps(3, 64).pack_header() == bytes.fromhex(
        "0300000000000028ffffffffffffffff"
    )


@pytest.mark.parametrize(
    "size_class, objects, byte0, bitmap",
    [
        (300, 8, 44, 0xFF),
        (-1, 1, 255, 1),
        (1, 0, 1, 0),
        (1, 63, 1, 2**63 - 1),
        (1, 100, 1, U64_MASK),
        (1, -5, 1, 0),
        (I32_MIN, I32_MIN, 0, 0),
        (I32_MAX, I32_MAX, 255, U64_MASK),
    ],
)
def test_constructor_size_class_and_bitmap(size_class, objects, byte0, bitmap) -> None:
    data = FastSlabHeaderOps(objects_per_slab=objects, size_class_index=size_class).pack_header()
    assert data[0] == byte0 and struct.unpack("<Q", data[8:])[0] == bitmap


def test_slots_of_an_eight_slot_header() -> None:
    h = FastSlabHeaderOps(1, 8)
    h.py_allocate_object_at(0)
    assert h.py_find_free_object() == 1 and h.pack_header()[1:3] == b"\x10\x01"
    h.py_deallocate_object_at(0)
    assert h.pack_header()[1:3] == b"\x00\x02"


@pytest.mark.parametrize("index", [64, 70, I32_MAX, -1, -64, I32_MIN])
def test_slot_index_outside_the_word_changes_no_bit(index) -> None:
    """No shift by 64 or more or by a negative count: the index matches no slot."""
    h = FastSlabHeaderOps(1, 100)
    assert h.py_is_object_free(index) is False
    h.py_allocate_object_at(index)
    assert h.pack_header()[1:3] == b"\x10\x01" and h.pack_header()[8:] == b"\xff" * 8
    h.py_deallocate_object_at(index)  # the bitmap is the all-free mask again
    assert h.pack_header()[1:3] == b"\x00\x02"


def test_version_wraps_and_empty_header_finds_nothing() -> None:
    h = FastSlabHeaderOps(1, 0)
    assert h.py_find_free_object() == -1 and h.py_is_object_free(0) is False
    h.unpack_header(with_crc(b"\x01\x00\xff\xff\xff\xff"))
    h.py_allocate_object_at(0)
    assert h.pack_header()[2:6] == b"\x00\x00\x00\x00"


@settings(max_examples=150)
@given(
    size_class=int32s,
    objects=st.one_of(st.integers(-2, 66), int32s),
    steps=st.lists(
        st.one_of(
            st.tuples(
                st.sampled_from(["allocate", "deallocate", "is_free"]),
                st.one_of(st.integers(-2, 66), int32s),
            ),
            st.tuples(st.just("unpack"), st.binary(min_size=16, max_size=16), st.booleans()),
            st.tuples(st.just("find")),
        ),
        max_size=40,
    ),
)
def test_header_against_model(size_class, objects, steps) -> None:
    h, m = FastSlabHeaderOps(size_class, objects), HeaderModel(size_class, objects)
    for step in steps:
        if step[0] == "allocate":
            h.py_allocate_object_at(step[1])
            m.allocate(step[1])
        elif step[0] == "deallocate":
            h.py_deallocate_object_at(step[1])
            m.deallocate(step[1])
        elif step[0] == "is_free":
            assert h.py_is_object_free(step[1]) is bool(m.bitmap & bit(step[1]))
        elif step[0] == "find":
            low = m.bitmap & -m.bitmap
            assert h.py_find_free_object() == low.bit_length() - 1
        else:
            data = (
                with_crc(step[1][:6], int.from_bytes(step[1][8:], "little")) if step[2] else step[1]
            )
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
    prefix = next(
        p for n in range(65536) if crc16_bitwise(p := b"\0" + n.to_bytes(2, "little")) == target
    )
    data = prefix + b"789" + b"\x37\x4b" + b"\0" * 8
    h = FastSlabHeaderOps(0, 0)
    h.unpack_header(data)
    assert h.pack_header() == data


@given(st.binary(min_size=16, max_size=16))
def test_checksum_matches_a_second_library(data) -> None:
    h = FastSlabHeaderOps(0, 0)
    h.unpack_header(data)
    packed = h.pack_header()
    assert (
        struct.unpack("<H", packed[6:8])[0]
        == MODBUS.checksum(packed[:6])
        == crc16_bitwise(packed[:6])
    )


def test_round_trip_is_silent_and_corruption_is_flagged(caplog) -> None:
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
    computed = MODBUS.checksum(bad[:6])
    stored = struct.unpack("<H", good[6:8])[0]
    assert record.levelname == "WARNING" and record.name == LOGGER
    assert (
        record.getMessage()
        == f"Header corruption detected: stored={stored:04x}, computed={computed:04x}"
    )
    assert h.pack_header()[1] == 0x91  # flag 0x80 kept, and part of the new checksum


def test_corruption_text_pads_to_four_digits(monkeypatch) -> None:
    said = []
    monkeypatch.setattr(slabkit, "logger", types.SimpleNamespace(warning=said.append))
    FastSlabHeaderOps(0, 0).unpack_header(b"\0" * 6 + b"\xff\x00" + b"\0" * 8)
    assert said == [
        f"Header corruption detected: stored=00ff, computed={MODBUS.checksum(bytes(6)):04x}"
    ]


@pytest.mark.parametrize(
    "data, exc, message",
    [
        (None, TypeError, "object of type 'NoneType' has no len()"),
        (
            bytearray(16),
            TypeError,
            "Argument 'data' has incorrect type (expected bytes, got bytearray)",
        ),
        ("x" * 16, TypeError, "Argument 'data' has incorrect type (expected bytes, got str)"),
        (b"\0" * 15, ValueError, "16 bytes"),
        (b"\0" * 17, ValueError, "16 bytes"),
    ],
)
def test_unpack_refuses_bad_data_and_keeps_header(data, exc, message) -> None:
    h = FastSlabHeaderOps(3, 64)
    before = h.pack_header()
    with pytest.raises(exc, match=message.replace("(", r"\(").replace(")", r"\)")):
        h.unpack_header(data)
    assert h.pack_header() == before


def test_unpack_reads_the_bytes_of_a_subclass() -> None:
    class Liar(bytes):
        def __len__(self) -> int:
            return 16

    h = FastSlabHeaderOps(0, 0)
    h.unpack_header(Liar(with_crc(b"\x07\x00\x01\x00\x00\x00")))
    assert h.pack_header()[:1] == b"\x07"
    with pytest.raises(ValueError):
        h.unpack_header(Liar(b"\0" * 4))


# ---------------------------------------------------------------- argument conventions


class Index:
    def __init__(self, value: int, effect=None) -> None:
        self.value, self.effect = value, effect

    def __index__(self) -> int:
        if self.effect:
            self.effect()
        return self.value


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: fast_align_size("8", 8), TypeError, "an integer is required"),
        (lambda: fast_align_size(2**31, 8), OverflowError, "value too large to convert to int"),
        (
            lambda: fast_bitmap_operations(-1, 0, "set"),
            OverflowError,
            "can't convert negative value to uint64_t",
        ),
        (lambda: fast_bitmap_operations(2**64, 0, "set"), OverflowError, "too large"),
        (
            lambda: fast_bitmap_operations(0, 0, b"set"),
            TypeError,
            "Argument 'operation' has incorrect type (expected str, got bytes)",
        ),
        (
            lambda: fast_bitmap_operations(0, 0, type("S", (str,), {})("set")),
            TypeError,
            "expected str, got S",
        ),
        (
            lambda: fast_get_bucket_size(),
            TypeError,
            "missing 1 required positional argument: 'size'",
        ),
        (
            lambda: fast_can_fit_aligned(0, 1, 2),
            TypeError,
            "missing 1 required positional argument: 'alignment'",
        ),
        (lambda: FastSlabHeaderOps(1), TypeError, "missing 1 required positional argument"),
        (
            lambda: FastSlabHeaderOps(1, 2, 3),
            TypeError,
            "takes 2 positional arguments but 3 were given",
        ),
        (lambda: FastBucketAllocator(step=8), TypeError, "unexpected keyword argument 'step'"),
        (
            lambda: FastSlabHeaderOps(1, 8).py_is_object_free(None),
            TypeError,
            "an integer is required",
        ),
        (
            lambda: FastSlabHeaderOps(1, 8).py_allocate_object_at(2**31),
            OverflowError,
            "value too large",
        ),
        (lambda: FastStatsCollector().py_record_allocation(1, 2), TypeError, "'is_bucketed'"),
    ],
)
def test_bad_arguments(call, exc, message) -> None:
    with pytest.raises(exc, match=message.replace("(", r"\(").replace(")", r"\)")):
        call()


def test_numbers_convert_through_the_integer_protocol() -> None:
    assert (
        fast_align_size(13.9, True) == 13 and fast_align_size(size=Index(13), alignment=8.5) == 16
    )
    assert fast_get_bucket_size(step=16, size=17) == 32
    assert fast_bitmap_operations(8.7, 3.2, operation="is_set") is True


# ---------------------------------------------------------------- helpers


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: fast_align_size(13, 8), 16),
        (lambda: fast_align_size(16, 8), 16),
        (lambda: fast_align_size(-13, 8), -8),
        (lambda: fast_align_size(I32_MAX - 7, 8), I32_MAX - 7),
        (lambda: fast_get_bucket_size(1), 8),
        (lambda: fast_get_bucket_size(17, 16), 32),
        (lambda: fast_get_bucket_size(-20), -8),
        (lambda: fast_get_bucket_size(10, -8), 0),
        (lambda: fast_can_fit_aligned(0, 16, 16, 8), True),  # an exact fit fits
        (lambda: fast_can_fit_aligned(0, 17, 16, 8), True),
        (lambda: fast_can_fit_aligned(1, 16, 16, 8), False),
        (lambda: fast_bitmap_operations(0, 3, "set"), 8),
        (lambda: fast_bitmap_operations(8, 3, "is_set"), True),
        (lambda: fast_bitmap_operations(8, 70, "set"), 8),
        (lambda: fast_bitmap_operations(8, -1, "clear"), 8),
        (lambda: fast_bitmap_operations(U64_MASK, 63, "clear"), 2**63 - 1),
        (lambda: fast_bitmap_operations(0, 0, "find_first"), -1),
        (lambda: fast_bitmap_operations(2**63, 0, "find_first"), 63),
    ],
)
def test_helper_examples(call, expected) -> None:
    result = call()
    assert result == expected and type(result) is type(expected)


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: fast_align_size(13, 6), ValueError, "^Alignment must be a power of 2$"),
        (lambda: fast_align_size(13, 0), ValueError, "^Alignment must be a power of 2$"),
        (lambda: fast_align_size(13, I32_MIN), ValueError, "^Alignment must be a power of 2$"),
        (lambda: fast_align_size(I32_MAX - 6, 8), OverflowError, "fast_align_size"),
        (lambda: fast_get_bucket_size(5, 0), ValueError, "^step must not be zero$"),
        (lambda: fast_get_bucket_size(I32_MIN + 2, -1), OverflowError, "32-bit"),  # INT_MIN / -1
        (lambda: fast_get_bucket_size(I32_MAX), OverflowError, "32-bit"),
        (lambda: fast_can_fit_aligned(0, 16, 16, I32_MIN), OverflowError, "32-bit"),
        (lambda: fast_can_fit_aligned(I32_MAX, 1, 0, 1), OverflowError, "32-bit"),
        (lambda: fast_bitmap_operations(0, 0, "flip"), ValueError, "^Unknown operation: flip$"),
        (lambda: fast_bitmap_operations(0, 0, None), ValueError, "^Unknown operation: None$"),
        (lambda: fast_bitmap_operations(0, 0, "SET"), ValueError, "^Unknown operation: SET$"),
    ],
)
def test_helper_errors(call, exc, message) -> None:
    with pytest.raises(exc, match=message):
        call()


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


@given(bitmap=st.integers(0, U64_MASK), index=st.one_of(st.integers(-3, 70), int32s))
def test_bitmap_operations_against_model(bitmap, index) -> None:
    assert fast_bitmap_operations(bitmap, index, "is_set") is bool(bitmap & bit(index))
    assert fast_bitmap_operations(bitmap, index, "set") == bitmap | bit(index)
    assert fast_bitmap_operations(bitmap, index, "clear") == bitmap & ~bit(index)
    assert (
        fast_bitmap_operations(bitmap, index, "find_first") == (bitmap & -bitmap).bit_length() - 1
    )


# ---------------------------------------------------------------- bucket allocator


def test_bucket_examples() -> None:
    a = FastBucketAllocator()
    assert (a.add_to_bucket(100, 16), a.add_to_bucket(200, 13), a.add_to_bucket(300, 5000)) == (
        True,
        False,
        False,
    )
    a.add_to_bucket(200, 16)
    assert [a.remove_from_bucket(10) for _ in range(3)] == [200, 100, None]
    a.add_to_bucket(100, 16)
    assert a.find_best_fit_bucket(16, 64) is None  # 128 + 16 > 116: 100 stays
    a.add_to_bucket(64, 32)
    assert a.find_best_fit_bucket(16, 64) == 64 and a.find_best_fit_bucket(16, 64) is None
    assert a.remove_from_bucket(16) == 100
    assert a.find_best_fit_bucket(5000, 8) is None
    assert a.add_to_bucket(0, 4096) is True and a.add_to_bucket(0, 4104) is False


allocator_args = st.one_of(
    st.just(()),
    st.tuples(st.sampled_from([1, 3, 8, 16, -8]), st.integers(-40, 100), st.integers(-120, 300)),
)
offsets = st.one_of(st.integers(-100, 5000), st.integers(I32_MIN, I32_MAX))
bucket_steps = st.lists(
    st.one_of(
        st.tuples(st.just("add"), offsets, st.integers(-20, 330)),
        st.tuples(st.just("remove"), st.integers(-20, 330)),
        st.tuples(
            st.just("find"),
            st.integers(-20, 330),
            st.one_of(st.sampled_from([1, 8, 16, 64, 4096]), int32s),
        ),
    ),
    max_size=60,
)


@settings(max_examples=200)
@given(args=allocator_args, steps=bucket_steps)
def test_bucket_allocator_against_model(args, steps) -> None:
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
    with pytest.raises(OverflowError, match="find_best_fit_bucket"):
        a.find_best_fit_bucket(16, 8)
    with pytest.raises(OverflowError):
        a.find_best_fit_bucket(8, 8)  # the larger-bucket scan meets it too
    assert a.remove_from_bucket(16) == I32_MAX - 3


def test_zero_step_raises_instead_of_dividing() -> None:
    with pytest.raises(ValueError, match=r"^range\(\) arg 3 must not be zero$"):
        FastBucketAllocator(0)

    class Lenient(FastBucketAllocator):
        def _init_buckets(self) -> None:
            pass

    a = Lenient(0)
    for call in (
        lambda: a.add_to_bucket(1, 8),
        lambda: a.remove_from_bucket(8),
        lambda: a.find_best_fit_bucket(8, 8),
    ):
        with pytest.raises(ValueError, match="^bucket_size_step must not be zero$"):
            call()
    assert a.add_to_bucket(1, 5000) is False  # above both tiers: no division


@pytest.mark.parametrize("args", [(8, I32_MAX), (1, 0, I32_MAX), (-1, 0, I32_MIN)])
def test_billions_of_size_classes_are_refused_up_front(args) -> None:
    with pytest.raises(ValueError, match="size classes requested"):
        FastBucketAllocator(*args)
    assert FastBucketAllocator(1, 0, 100_000).add_to_bucket(7, 99_999) is True


def test_subclass_init_buckets_runs_in_constructor() -> None:
    class Extra(FastBucketAllocator):
        def _init_buckets(self) -> None:
            super()._init_buckets()
            self.ready = True

    a = Extra(16, 64, 128)
    assert (
        a.ready and a.add_to_bucket(1, 16) and not a.add_to_bucket(1, 8) and a.add_to_bucket(2, 128)
    )


class RecordingLock:
    """A stand-in for threading.Lock, made through the module's `threading`."""

    def __init__(self, log: list, on_enter=None, fail_exit=False) -> None:
        self.log, self.on_enter, self.fail_exit = log, on_enter, fail_exit

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


def fake_threading(monkeypatch, log: list, **kw) -> list:
    monkeypatch.setattr(
        slabkit, "threading", types.SimpleNamespace(Lock=lambda: RecordingLock(log, **kw))
    )
    return log


def test_lock_is_taken_only_where_buckets_are_touched(monkeypatch) -> None:
    log = fake_threading(monkeypatch, [])
    a = FastBucketAllocator()
    for call in (
        lambda: a.add_to_bucket(1, 13),
        lambda: a.find_best_fit_bucket(5000, 8),
        lambda: a.remove_from_bucket(-5),
    ):
        assert call() in (None, False)
    assert log == []
    a.add_to_bucket(I32_MAX, 8)
    with pytest.raises(OverflowError):
        a.find_best_fit_bucket(8, 8)
    assert log == ["enter", "exit"] * 2  # released on the way out of an error too
    s = FastStatsCollector()
    s.py_record_allocation(1, 1, True)
    s.get_stats()
    assert log[4:] == ["enter", "exit"] * 2


def test_state_is_read_after_the_lock_is_entered(monkeypatch) -> None:
    """Entering may run Python code (or wait): the buckets are read afterwards,
    and conversions, which may change them too, run before."""
    locks: list[RecordingLock] = []
    monkeypatch.setattr(
        slabkit,
        "threading",
        types.SimpleNamespace(Lock=lambda: locks.append(RecordingLock([])) or locks[-1]),
    )
    a = FastBucketAllocator()
    for offset in (8, 16, 24):
        a.add_to_bucket(offset, 16)
    locks[0].on_enter = lambda: (a.remove_from_bucket(16), gc.collect())
    assert a.find_best_fit_bucket(16, 8) == 16  # 24 went while the lock was being entered
    assert a.find_best_fit_bucket(Index(16, lambda: a.add_to_bucket(40, 16)), 8) == 40
    assert a.remove_from_bucket(16) == 8


def test_failing_lock_exit_is_reported(monkeypatch) -> None:
    fake_threading(monkeypatch, [], fail_exit=True)
    with pytest.raises(RuntimeError, match="exit failed"):
        FastStatsCollector().reset_stats()


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
    taken.extend(iter(lambda: a.remove_from_bucket(64), None))
    assert sorted(taken) == [i * 1000 + k for i in range(8) for k in range(400)]


# ---------------------------------------------------------------- statistics


def test_stats_example_and_fresh_collector() -> None:
    s = FastStatsCollector("ignored", key="ignored")
    assert s.get_stats()["bucketed_allocation_ratio"] == "0.0%"
    s.py_record_allocation(64, 8, True)
    s.py_record_allocation(64, 0, False)
    s.py_record_deallocation()
    stats = s.get_stats()
    assert list(stats.items()) == [
        ("total_allocations", 2),
        ("total_deallocations", 1),
        ("bucketed_allocations", 1),
        ("fallback_allocations", 1),
        ("bucketed_allocation_ratio", "50.0%"),
        ("alignment_padding_bytes", 8),
    ]
    assert s.get_stats() is not stats
    s.reset_stats()
    assert set(s.get_stats().values()) == {0, "0.0%"}


@pytest.mark.parametrize(
    "bucketed, total", [(1, 3), (2, 3), (1, 8), (3, 4), (1, 1000), (999, 1000)]
)
def test_ratio_text_is_python_formatting(bucketed, total) -> None:
    s = FastStatsCollector()
    for i in range(total):
        s.py_record_allocation(8, 0, i < bucketed)
    assert s.get_stats()["bucketed_allocation_ratio"] == f"{bucketed / total * 100:.1f}%"


def test_negative_padding_wraps_modulo_2_64_and_bad_truth_counts_nothing() -> None:
    s = FastStatsCollector()
    s.py_record_allocation(8, -1, [])
    assert (
        s.get_stats()["alignment_padding_bytes"] == U64_MASK
        and s.get_stats()["fallback_allocations"] == 1
    )

    class NoTruth:
        def __bool__(self) -> bool:
            raise ZeroDivisionError

    with pytest.raises(ZeroDivisionError):
        s.py_record_allocation(8, 5, NoTruth())
    assert s.get_stats()["total_allocations"] == 1


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
    assert (
        stats["alignment_padding_bytes"] == 36000 and stats["bucketed_allocation_ratio"] == "33.3%"
    )


# ---------------------------------------------------------------- leaks


def _quiet(call):
    def run() -> None:
        try:
            call()
        except (TypeError, ValueError, OverflowError):
            pass

    return run


HEADER, ALLOC, STATS = FastSlabHeaderOps(2, 64), FastBucketAllocator(), FastStatsCollector()
LEAK_CALLS = [
    lambda: HEADER.unpack_header(HEADER.pack_header()),
    lambda: (
        HEADER.py_allocate_object_at(5),
        HEADER.py_deallocate_object_at(5),
        HEADER.py_find_free_object(),
    ),
    lambda: HEADER.unpack_header(b"x" * 15),
    lambda: HEADER.py_is_object_free("x"),
    lambda: (
        ALLOC.add_to_bucket(100000, 64),
        ALLOC.find_best_fit_bucket(60, 32),
        ALLOC.remove_from_bucket(8),
    ),
    lambda: ALLOC.add_to_bucket(-1, 2**40),
    lambda: FastBucketAllocator(16, 64, 128),
    lambda: (STATS.py_record_allocation(1, 2, 0), STATS.get_stats()),
    lambda: fast_bitmap_operations(2**63, 3, "set"),
    lambda: fast_bitmap_operations(1, 3, "flip"),
    lambda: (fast_align_size(13, 6), fast_get_bucket_size(I32_MAX)),
    lambda: FastSlabHeaderOps(1, None),
]


@pytest.mark.parametrize("call", LEAK_CALLS)
def test_no_memory_is_kept_per_call(call) -> None:
    run = _quiet(call)
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
    assert grown < 8192  # one leaked int per call would be 140 kB
