"""Block records of the package's allocator."""

from dataclasses import dataclass

@dataclass(frozen=True, slots=True)
class SpanRecord:
    """One free span: ``size`` bytes at ``offset`` of region ``region``."""

    offset: int
    size: int
    region: int = 0
    def __post_init__(self) -> None: ...
    @property
    def end(self) -> int: ...
    def split(self, size: int) -> tuple[SpanRecord, SpanRecord | None]: ...
