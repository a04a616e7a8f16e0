"""Typed misuse of the stubs that mypy must refuse, line by line (tools/test.sh
runs mypy with --warn-unused-ignores: a line below that stops being an error
fails the check as an unused ignore)."""

from __future__ import annotations

from kestrun.gpu.cardmem import calculate_optimal_chunks
from kestrun.jit.jit_governor import PolicyConfig
from kestrun.memory.slabkit import FastBucketAllocator, fast_align_size
from kestrun.memory.span_record import SpanRecord
from kestrun.memory.spanwood import FastRedBlackTree
from kestrun.memory.syncore import AtomicCounter


def misuses(tree: FastRedBlackTree) -> None:
    AtomicCounter(1.5)  # type: ignore[arg-type]
    AtomicCounter().increment(0.5)  # type: ignore[arg-type]
    tree.find_best_fit(32.0)  # type: ignore[arg-type]
    tree.insert(64.0, SpanRecord(0, 64))  # type: ignore[arg-type]
    tree.insert(64, "not a block")  # type: ignore[arg-type]
    FastBucketAllocator().find_best_fit_bucket(16, alignment=8.0)  # type: ignore[arg-type]
    fast_align_size(13.7, 8)  # type: ignore[arg-type]
    PolicyConfig(initial_threshold=20.5)  # type: ignore[arg-type]
    calculate_optimal_chunks(1 << 30, 1 << 28, 0.2, max_chunks=1e3)  # type: ignore[arg-type]
    found = tree.remove_ge(32)
    size: int = found[0]  # type: ignore[assignment]
    offset = found[1].offset  # type: ignore[union-attr]
    wanted: SpanRecord = tree.remove_ge(8)[1]  # type: ignore[assignment]
    del size, offset, wanted
