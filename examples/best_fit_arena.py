"""A best-fit arena allocator on FastRedBlackTree: one region of bytes,
handed out as (offset, size) spans; a freed span merges with free neighbours.

A span merged away is not deleted from the tree (a delete compares the
blocks of its size one by one, and an allocator has many free spans of one
size): it only leaves `starts` and `ends`, and `alloc` skips it when the tree
hands it out.  The tree is rebuilt when such stale spans outnumber the rest.
"""

from __future__ import annotations

from kestrun.memory.span_record import SpanRecord
from kestrun.memory.spanwood import FastRedBlackTree


class Arena:
    def __init__(self, capacity: int) -> None:
        self.free = FastRedBlackTree()  # free spans by size: best fit (and stale ones)
        self.starts: dict[int, SpanRecord] = {}  # the free spans by offset
        self.ends: dict[int, SpanRecord] = {}  # the free spans by end
        self.used: dict[int, int] = {}  # offset -> size of each live allocation
        self._keep(SpanRecord(0, capacity))

    def _keep(self, span: SpanRecord) -> None:
        self.free.insert(span.size, span)
        self.starts[span.offset] = span
        self.ends[span.end] = span

    def _drop(self, span: SpanRecord) -> None:
        del self.starts[span.offset], self.ends[span.end]

    def alloc(self, size: int) -> int | None:
        """The offset of `size` fresh bytes, or None when no free span holds them."""
        if size <= 0:
            raise ValueError(f"size must be positive, got {size}")
        while True:
            _, span = self.free.remove_ge(size)  # the smallest span that fits
            if span is None:
                return None
            if self.starts.get(span.offset) is span:  # else merged away: skip it
                break
        self._drop(span)
        head, rest = span.split(size)
        if rest is not None:
            self._keep(rest)  # the tail stays free
        self.used[head.offset] = size
        return head.offset

    def release(self, offset: int) -> None:
        """Frees an allocation, merging it with the free spans on either side."""
        span = SpanRecord(offset, self.used.pop(offset))
        before = self.ends.get(span.offset)
        if before is not None:
            self._drop(before)
            span = SpanRecord(before.offset, before.size + span.size)
        after = self.starts.get(span.end)
        if after is not None:
            self._drop(after)
            span = SpanRecord(span.offset, span.size + after.size)
        self._keep(span)
        if len(self.free) > 2 * len(self.starts) + 64:  # mostly stale: rebuild
            self.free.clear()
            for kept in self.starts.values():
                self.free.insert(kept.size, kept)
