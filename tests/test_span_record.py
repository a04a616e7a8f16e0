"""kestrun.memory.span_record: the hand-written record behaves as a frozen, slotted dataclass."""

from __future__ import annotations

import copy
import dataclasses
import pickle
import subprocess
import sys

import pytest

from kestrun.memory.span_record import SpanRecord


@dataclasses.dataclass(frozen=True, slots=True)
class Model:
    """The record as a dataclass: what SpanRecord must behave like."""

    offset: int
    size: int
    region: int = 0

    def __post_init__(self) -> None:
        for name in ("offset", "size", "region"):
            value = getattr(self, name)
            if type(value) is not int:
                raise TypeError(f"SpanRecord.{name} must be an int, not {type(value).__name__}")
            if value < 0:
                raise ValueError(f"SpanRecord.{name} must not be negative, got {value}")

    @property
    def end(self) -> int:
        return self.offset + self.size

    def split(self, size: int) -> tuple[Model, Model | None]:
        if not 0 <= size <= self.size:
            raise ValueError(f"cannot take {size} bytes from a span of {self.size}")
        head = Model(self.offset, size, self.region)
        if size == self.size:
            return head, None
        return head, Model(self.offset + size, self.size - size, self.region)


def outcome(fn):
    try:
        result = fn()
    except Exception as e:
        return type(e), str(e).replace("Model", "SpanRecord")
    return repr(result).replace("Model", "SpanRecord")


def rebuild(r):
    return pickle.loads(pickle.dumps(r))


CASES = [
    lambda C: C(1, 2),
    lambda C: C(offset=4096, size=64, region=3),
    lambda C: C(),
    lambda C: C(1, 2, 3, 4),
    lambda C: C(1, 2, x=1),
    lambda C: C("1", 2),
    lambda C: C(1, 2.0),
    lambda C: C(True, 2),
    lambda C: C(1, 2, None),
    lambda C: C(-1, 2),
    lambda C: C(1, -2),
    lambda C: C(1, 2, -3),
    lambda C: C(2**70, 2**64).end,
    lambda C: C(8, 32, 1).split(8),
    lambda C: C(8, 32, 1).split(32),
    lambda C: C(8, 32, 1).split(0),
    lambda C: C(8, 32, 1).split(33),
    lambda C: C(8, 32, 1).split(-1),
    lambda C: (C(1, 2) == C(1, 2), C(1, 2) != C(1, 2, 1), C(1, 2) == (1, 2, 0)),
    lambda C: C(1, 2).__eq__(C(1, 2, 1)),
    lambda C: C(1, 2).__eq__(1),
    lambda C: hash(C(1, 2, 3)) == hash((1, 2, 3)),
    lambda C: {C(1, 2), C(1, 2), C(2, 1)} == {C(2, 1), C(1, 2)},
    lambda C: setattr(C(1, 2), "offset", 3),
    lambda C: delattr(C(1, 2), "size"),
    lambda C: object.__setattr__(C(1, 2), "other", 3),
    lambda C: rebuild(C(5, 6, 7)),
    lambda C: C(5, 6, 7).__reduce_ex__(2)[2],
    lambda C: copy.copy(C(5, 6, 7)),
    lambda C: copy.deepcopy(C(5, 6, 7)),
    lambda C: copy.replace(C(5, 6, 7), size=1),
    lambda C: copy.replace(C(5, 6, 7), size=-1),
    lambda C: copy.replace(C(5, 6, 7), other=1),
    lambda C: C(1, 2).__getstate__(),
    lambda C: C.__match_args__,
    lambda C: C.__slots__,
    lambda C: C.__annotations__,
    lambda C: hasattr(C(1, 2), "__dict__") or hasattr(C(1, 2), "__weakref__"),
]
if sys.version_info < (3, 13):
    CASES = [c for c in CASES if "replace" not in c.__code__.co_names]


@pytest.mark.parametrize("case", CASES)
def test_behaves_as_the_frozen_dataclass(case):
    assert outcome(lambda: case(SpanRecord)) == outcome(lambda: case(Model))


def test_match_and_frozen_errors():
    match SpanRecord(1, 2):
        case SpanRecord(o, s, r):
            assert (o, s, r) == (1, 2, 0)
    # Any attribute of a record is frozen (the dataclass meant the same, but
    # a class rebuilt for slots raised a TypeError from super() instead).
    with pytest.raises(dataclasses.FrozenInstanceError, match="cannot assign to field 'other'"):
        SpanRecord(1, 2).other = 1  # type: ignore[attr-defined]
    with pytest.raises(dataclasses.FrozenInstanceError, match="cannot delete field 'other'"):
        del SpanRecord(1, 2).other  # type: ignore[attr-defined]
    # A subclass keeps the fields frozen and may have attributes of its own.
    sub = type("Sub", (SpanRecord,), {})(1, 2)
    sub.note = "x"
    del sub.note
    with pytest.raises(dataclasses.FrozenInstanceError):
        sub.size = 1
    assert repr(sub) == "Sub(offset=1, size=2, region=0)" and sub != SpanRecord(1, 2)


def test_import_loads_no_heavy_module():
    code = (
        "import sys; before = set(sys.modules); import kestrun.memory.span_record; "
        "print(*sorted(set(sys.modules) - before))"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    loaded = set(out.stdout.split())
    assert "kestrun.memory.span_record" in loaded
    assert not loaded & {"dataclasses", "inspect", "typing", "ast", "dis", "re", "copy"}
