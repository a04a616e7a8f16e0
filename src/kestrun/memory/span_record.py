"""Block records of the package's allocator.

A ``SpanRecord`` names one free span of a memory region: where it starts
(``offset``) and how many bytes it holds (``size``).  The allocator stores
these records in ``kestrun.memory.spanwood.FastRedBlackTree`` under their
size; the tree compares records with ``==`` only (to find the one to
delete), so two records are equal exactly when all their fields are.
"""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(frozen=True, slots=True)
class SpanRecord:
    """One free span: ``size`` bytes at ``offset`` of region ``region``."""

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
