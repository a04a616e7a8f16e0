"""Typed use of the stubs that mypy must accept (checked by tools/test.sh)."""

from __future__ import annotations

from kestrun.gpu.cardmem import calculate_optimal_chunks, estimate_allocation_bytes
from kestrun.jit.jit_governor import JitGovernor, PolicyConfig
from kestrun.jit.metric_ledger import MetricLedger
from kestrun.memory.slabkit import FastBucketAllocator, fast_align_size
from kestrun.memory.span_record import SpanRecord
from kestrun.memory.spanwood import FastRedBlackTree
from kestrun.memory.syncore import AtomicCounter


def take(tree: FastRedBlackTree, want: int) -> SpanRecord | None:
    found = tree.remove_ge(want)
    if found[0] is None:
        return None
    # Ruling out None for the size rules it out for the block too.
    size, block = found
    rest: int = size - want
    first, _tail = block.split(want) if rest else (block, None)
    return first


def uses() -> None:
    counter = AtomicCounter(True)  # bool is an int
    counter.increment(2**70 % 5)
    tree = FastRedBlackTree(sample_rate=10)
    tree.insert(64, SpanRecord(0, 64))
    take(tree, 32)
    governor = JitGovernor(PolicyConfig(initial_threshold=20))
    ledger = MetricLedger()
    ledger.record_call("f", 1.5)
    ledger.record_call("f", 2)  # an int where a float goes
    compile_now: bool = governor.should_compile("f", ledger)
    threshold: int = governor.get_threshold("f")
    del compile_now, threshold
    FastBucketAllocator().find_best_fit_bucket(16, alignment=64)
    fast_align_size(13, 8)
    estimate_allocation_bytes((2, 3), 8, overhead_factor=1.25)
    calculate_optimal_chunks(1 << 30, 1 << 28, 0.2, min_chunks=2)
