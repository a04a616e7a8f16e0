"""kestrun.gpu.cardmem against the same functions written in plain Python.

Each side is called through functools.partial, so that both pay the same
small call overhead and the ratio compares the functions themselves.
"""

from __future__ import annotations

import math
from functools import partial

from _harness import Report

from kestrun.gpu import cardmem

CHUNKABLE = frozenset(
    {
        "zeros",
        "ones",
        "empty",
        "full",
        "random.randn",
        "random.rand",
        "random.random",
        "random.standard_normal",
        "random.uniform",
        "arange",
        "linspace",
    }
)
NON_CHUNKABLE = frozenset(
    {
        "matmul",
        "dot",
        "fft",
        "ifft",
        "fft2",
        "ifft2",
        "svd",
        "eig",
        "eigvals",
        "solve",
        "inv",
        "sort",
        "argsort",
    }
)
FITS = (0, 0, 1, "Allocation fits in GPU memory")
NO_MEMORY = (2, 0, 1, "No GPU memory available")
CPU_FALLBACK = (2, 0, 1, "Operation not chunkable, falling back to CPU")


def safe_limit(available: int, ratio: float) -> int:
    if ratio < 0.0:
        ratio = 0.0
    elif ratio > 0.99 or ratio != ratio:
        ratio = 0.99
    return int(available - ratio * available)


def decide_allocation_strategy(
    requested: int, available: int, ratio: float, is_chunkable: object
) -> tuple[int, int, int, str]:
    safe = safe_limit(available, ratio)
    if safe == 0:
        return NO_MEMORY
    if requested <= safe:
        return FITS
    if is_chunkable:
        n = math.ceil(requested / safe)
        return (1, safe, n, f"Chunking into {n} GPU passes")
    return CPU_FALLBACK


def compute_chunk_shapes(
    shape: tuple[int, ...], element_size: int, max_chunk_bytes: int
) -> list[tuple[int, ...]]:
    if element_size < 1:
        raise ValueError("element_size must be positive")
    if max_chunk_bytes == 0:
        raise ValueError("max_chunk_bytes must be positive")
    if not shape:
        return [shape]
    rest = shape[1:]
    row_bytes = element_size * math.prod(rest)
    if row_bytes == 0:
        return [shape] if shape[0] > 0 else []
    rows_per_chunk = max_chunk_bytes // row_bytes if row_bytes <= max_chunk_bytes else 1
    chunks = []
    remaining = shape[0]
    while remaining > 0:
        n = min(remaining, rows_per_chunk)
        chunks.append((n, *rest))
        remaining -= n
    return chunks


def is_oom_error(error_message: str, error_type: str) -> bool:
    m = error_message.lower()
    t = error_type.lower()
    return (
        "out of memory" in m
        or "outofmemoryerror" in t
        or ("cuda" in m and "memory" in m)
        or ("allocat" in m and "failed" in m)
        or ("memory" in m and "insufficient" in m)
        or ("gpu" in m and "memory" in m)
    )


def score_gpu_suitability(data_size: int, operation: str, available: int, ratio: float) -> float:
    safe = safe_limit(available, ratio)
    if safe == 0:
        memory_score = 0.0
    elif safe < data_size:
        memory_score = safe / data_size
    else:
        memory_score = min(data_size / (safe * 0.8), 1.0)
    factor = 0.9 if operation in CHUNKABLE else 0.7 if operation in NON_CHUNKABLE else 0.5
    return memory_score * factor


def compare(report: Report, name: str, ours, peer, *args: object) -> None:
    assert ours(*args) == peer(*args), name
    report.compare(
        name,
        partial(ours, *args),
        "same function in plain Python",
        partial(peer, *args),
        target="2x",
    )


def main() -> None:
    report = Report("kestrun.gpu.cardmem")
    gib = 1 << 30
    compare(
        report,
        "decide_allocation_strategy (fits)",
        cardmem.decide_allocation_strategy,
        decide_allocation_strategy,
        2 * gib,
        8 * gib,
        0.2,
        True,
    )
    compare(
        report,
        "decide_allocation_strategy (chunked)",
        cardmem.decide_allocation_strategy,
        decide_allocation_strategy,
        20 * gib,
        8 * gib,
        0.2,
        True,
    )
    compare(
        report,
        "compute_chunk_shapes (10000, 64) / 64 KiB",
        cardmem.compute_chunk_shapes,
        compute_chunk_shapes,
        (10000, 64),
        8,
        64 * 1024,
    )
    compare(
        report,
        "is_oom_error (no match)",
        cardmem.is_oom_error,
        is_oom_error,
        "CUDA error: an illegal address was encountered while launching kernel",
        "RuntimeError",
    )
    compare(
        report,
        "is_oom_error (match)",
        cardmem.is_oom_error,
        is_oom_error,
        "CUDA out of memory. Tried to allocate 2.00 GiB",
        "OutOfMemoryError",
    )
    compare(
        report,
        "score_gpu_suitability",
        cardmem.score_gpu_suitability,
        score_gpu_suitability,
        3 * gib,
        "zeros",
        8 * gib,
        0.2,
    )
    report.print()
