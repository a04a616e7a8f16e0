"""Block records of the package's allocator.

A ``SpanRecord`` names one free span of a memory region: where it starts
(``offset``) and how many bytes it holds (``size``).  The allocator stores
these records in ``kestrun.memory.spanwood.FastRedBlackTree`` under their
size; the tree compares records with ``==`` only (to find the one to
delete), so two records are equal exactly when all their fields are.

The class is written out by hand, as a frozen, slotted record: importing
this module imports nothing else, and creating a record costs three slot
stores and its checks.
"""

from __future__ import annotations

_FIELDS = frozenset({"offset", "size", "region"})


def _frozen_error(text: str) -> AttributeError:
    # The error a frozen record's fields give, imported only when raised.
    from dataclasses import FrozenInstanceError

    return FrozenInstanceError(text)


class SpanRecord:
    """One free span: ``size`` bytes at ``offset`` of region ``region``."""

    __slots__ = ("offset", "size", "region")
    __match_args__ = ("offset", "size", "region")

    offset: int
    size: int
    region: int

    def __init__(self, offset: int, size: int, region: int = 0) -> None:
        _store_offset(self, offset)
        _store_size(self, size)
        _store_region(self, region)
        # The checks of __post_init__, inline for a valid record of this class.
        if (
            type(self) is SpanRecord
            and type(offset) is int
            and type(size) is int
            and type(region) is int
            and offset >= 0
            and size >= 0
            and region >= 0
        ):
            return
        self.__post_init__()

    def __post_init__(self) -> None:
        for name, value in (("offset", self.offset), ("size", self.size), ("region", self.region)):
            if type(value) is not int:
                raise TypeError(f"SpanRecord.{name} must be an int, not {type(value).__name__}")
            if value < 0:
                raise ValueError(f"SpanRecord.{name} must not be negative, got {value}")

    def __repr__(self) -> str:
        return (
            f"{self.__class__.__qualname__}(offset={self.offset!r}, size={self.size!r}, "
            f"region={self.region!r})"
        )

    def __eq__(self, other: object) -> bool:
        if self is other:
            return True
        if other.__class__ is self.__class__:
            return (
                self.offset == other.offset  # type: ignore[attr-defined]
                and self.size == other.size  # type: ignore[attr-defined]
                and self.region == other.region  # type: ignore[attr-defined]
            )
        return NotImplemented

    def __hash__(self) -> int:
        return hash((self.offset, self.size, self.region))

    # Frozen: the fields, and any attribute of a record of this very class,
    # cannot be assigned or deleted; a subclass may add attributes of its own.
    def __setattr__(self, name: str, value: object) -> None:
        if type(self) is SpanRecord or name in _FIELDS:
            raise _frozen_error(f"cannot assign to field {name!r}")
        super().__setattr__(name, value)

    def __delattr__(self, name: str) -> None:
        if type(self) is SpanRecord or name in _FIELDS:
            raise _frozen_error(f"cannot delete field {name!r}")
        super().__delattr__(name)

    # Pickling and copying go through the field values in order.
    def __getstate__(self) -> list[int]:
        return [self.offset, self.size, self.region]

    def __setstate__(self, state: list[int]) -> None:
        for name, value in zip(("offset", "size", "region"), state):
            object.__setattr__(self, name, value)

    def __replace__(self, /, **changes: int) -> SpanRecord:
        fields = {"offset": self.offset, "size": self.size, "region": self.region}
        fields.update(changes)
        return self.__class__(**fields)

    @property
    def end(self) -> int:
        """The first offset after the span."""
        return self.offset + self.size

    def split(self, size: int) -> tuple[SpanRecord, SpanRecord | None]:
        """The first ``size`` bytes as one span and the rest (None when nothing is left)."""
        if not 0 <= size <= self.size:
            raise ValueError(f"cannot take {size} bytes from a span of {self.size}")
        head = SpanRecord(self.offset, size, self.region)
        if size == self.size:
            return head, None
        return head, SpanRecord(self.offset + size, self.size - size, self.region)


# The slots' own stores, which a frozen record's __init__ uses past its
# __setattr__.
_store_offset = SpanRecord.offset.__set__  # type: ignore[attr-defined]
_store_size = SpanRecord.size.__set__  # type: ignore[attr-defined]
_store_region = SpanRecord.region.__set__  # type: ignore[attr-defined]
