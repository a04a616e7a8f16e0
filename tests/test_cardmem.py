"""kestrun.gpu.cardmem: GPU sizing, strategy, chunking and OOM decisions."""

from __future__ import annotations

import math
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

from kestrun.gpu import cardmem as cm

U64_MAX = 2**64 - 1
I64_MAX = 2**63 - 1
I32_MAX = 2**31 - 1

FITS = (0, 0, 1, "Allocation fits in GPU memory")
NO_MEMORY = (2, 0, 1, "No GPU memory available")
CPU_FALLBACK = (2, 0, 1, "Operation not chunkable, falling back to CPU")


# ---------------------------------------------------------------- shared results


def test_fixed_decisions_are_shared_objects_and_do_not_leak():
    fits = cm.decide_allocation_strategy(1, 100, 0.0, True)
    before = sys.getrefcount(fits)
    for _ in range(1000):
        assert cm.decide_allocation_strategy(1, 100, 0.0, True) is fits
        assert cm.decide_allocation_strategy(1, 0, 0.0, True) is cm.decide_allocation_strategy(
            5, 0, 0.5, 0
        )
        assert cm.decide_allocation_strategy(200, 100, 0.0, []) is cm.decide_allocation_strategy(
            300, 100, 0.0, 0
        )
    assert sys.getrefcount(fits) == before


# ---------------------------------------------------------------- argument conventions


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (
            lambda: cm.calculate_safe_limit(-1, 0.1),
            OverflowError,
            "can't convert negative value to uint64_t",
        ),
        (
            lambda: cm.estimate_allocation_bytes((2**31,), 1),
            OverflowError,
            "value too large to convert to int",
        ),
        (
            lambda: cm.estimate_allocation_bytes((4,), -(2**31) - 1),
            OverflowError,
            "value too large to convert to int",
        ),
        (lambda: cm.calculate_memory_pressure("1", 2), TypeError, "an integer is required"),
        (
            lambda: cm.estimate_allocation_bytes([10], 4),
            TypeError,
            "Argument 'shape' has incorrect type (expected tuple, got list)",
        ),
        (
            lambda: cm.estimate_allocation_bytes(None, 4),
            TypeError,
            "object of type 'NoneType' has no len()",
        ),
        (
            lambda: cm.is_oom_error(b"x", "y"),
            TypeError,
            "Argument 'error_message' has incorrect type (expected str, got bytes)",
        ),
        (
            lambda: cm.is_chunkable_operation(type("S", (str,), {})("zeros")),
            TypeError,
            "Argument 'operation' has incorrect type (expected str, got S)",
        ),
        (
            lambda: cm.is_oom_error("out of memory", None),
            TypeError,
            "doesn't apply to a 'NoneType'",
        ),
        (
            lambda: cm.calculate_safe_limit(1000),
            TypeError,
            "missing 1 required positional argument",
        ),
        (
            lambda: cm.recommend_headroom(0.5, base=0.1),
            TypeError,
            "unexpected keyword argument 'base'",
        ),
    ],
)
def test_bad_arguments(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    if message:
        assert message in str(info.value)


def test_keywords_and_numeric_conversions():
    assert (
        cm.calculate_optimal_chunks(headroom_ratio=0.2, available_bytes=1000, total_bytes=1000) == 2
    )
    assert cm.estimate_allocation_bytes((10.9, True), 4.5) == 40  # ints truncate, True is 1
    assert cm.calculate_safe_limit(1000, 1) == 10  # float args take ints


# ---------------------------------------------------------------- sizing and strategy


@pytest.mark.parametrize(
    "args, expected",
    [
        (((1000, 1000), 8), 8_000_000),
        (((1000, 1000), 8, 1.5), 12_000_000),
        (((1000, 1000), 8, 0.5), 8_000_000),
        (((0, 5), 4), 0),
        (((10, -1, "not looked at"), 4), 0),
        (((), 4), 4),
        (((I32_MAX,) * 3, 1), I64_MAX),
        (((2**20,), 8, float("inf")), U64_MAX),  # saturates, never undefined
        (((2**20,), 8, float("nan")), 2**23),
    ],
)
def test_estimate_allocation_bytes(args, expected):
    assert cm.estimate_allocation_bytes(*args) == expected


def test_estimate_refuses_negative_element_size():
    with pytest.raises(ValueError, match="element_size must not be negative"):
        cm.estimate_allocation_bytes((10, 10), -8)


@pytest.mark.parametrize(
    "available, ratio, expected",
    [
        (1000, 0.2, 800),
        (1000, 2.0, 10),
        (1000, -1.0, 1000),
        (1000, float("nan"), 10),
        (1000, float("inf"), 10),
        (U64_MAX, 0.0, U64_MAX),
        (0, 0.5, 0),
    ],
)
def test_calculate_safe_limit(available, ratio, expected):
    assert cm.calculate_safe_limit(available, ratio) == expected


@pytest.mark.parametrize(
    "args, expected",
    [
        ((100, 1000, 0.2, False), FITS),
        ((800, 1000, 0.2, False), FITS),
        ((1000, 1000, 0.2, True), (1, 800, 2, "Chunking into 2 GPU passes")),
        ((1000, 1000, 0.2, False), CPU_FALLBACK),
        ((0, 0, 0.1, True), NO_MEMORY),
        ((10, 1, 0.5, True), NO_MEMORY),
        ((U64_MAX, 1, 0.0, True), (1, 1, U64_MAX, f"Chunking into {U64_MAX} GPU passes")),
    ],
)
def test_decide_allocation_strategy(args, expected):
    assert cm.decide_allocation_strategy(*args) == expected


# ---------------------------------------------------------------- chunking


@pytest.mark.parametrize(
    "shape, element_size, budget, expected",
    [
        ((10, 4), 8, 100, [(3, 4), (3, 4), (3, 4), (1, 4)]),
        ((5,), 4, 1000, [(5,)]),
        ((7, 1000), 8, 100, [(1, 1000)] * 7),
        ((0, 4), 8, 100, []),
        ((), 8, 100, [()]),
        ((5, 0), 8, 100, [(5, 0)]),  # empty rows: one chunk, no division by zero
        ((3, 2**32, 2**32), 1, 100, [(1, 2**32, 2**32)] * 3),  # row wraps 64 bits: one-row chunks
        ((3, 2**62 + 1), 4, 100, [(1, 2**62 + 1)] * 3),
    ],
)
def test_compute_chunk_shapes(shape, element_size, budget, expected):
    assert cm.compute_chunk_shapes(shape, element_size, budget) == expected


@pytest.mark.parametrize(
    "args, exc, message",
    [
        (((10, 4), 0, 100), ValueError, "element_size must be positive"),
        (((10, 4), 8, 0), ValueError, "max_chunk_bytes must be positive"),
        (([10, 4], 8, 100), TypeError, "expected tuple, got list"),
        ((None, 8, 100), TypeError, "object of type 'NoneType' has no len()"),
        (((10, -4), 8, 100), OverflowError, "can't convert negative value to uint64_t"),
        (((2**31, 4), 8, 100), OverflowError, "value too large to convert to int"),
    ],
)
def test_compute_chunk_shapes_errors(args, exc, message):
    with pytest.raises(exc, match=message):
        cm.compute_chunk_shapes(*args)


@given(
    st.lists(st.integers(0, 50), min_size=1, max_size=4),
    st.integers(1, 16),
    st.integers(1, 5000),
)
def test_chunks_cover_the_rows_within_budget(dims, element_size, budget):
    shape = tuple(dims)
    chunks = cm.compute_chunk_shapes(shape, element_size, budget)
    assert sum(c[0] for c in chunks) == shape[0]
    row = element_size * math.prod(shape[1:])
    for chunk in chunks:
        assert chunk[1:] == shape[1:]
        assert chunk[0] == 1 or chunk[0] * row <= budget
    assert len(chunks) <= max(shape[0], 0)


def test_chunk_list_owns_its_references():
    dim = 123456789
    shape = (100, dim)
    before = sys.getrefcount(dim)
    for _ in range(100):
        cm.compute_chunk_shapes(shape, 8, 10**12)
    assert sys.getrefcount(dim) == before


@pytest.mark.parametrize(
    "args, expected",
    [
        ((1000, 1000, 0.2), 2),
        ((0, 1000, 0.2), 1),
        ((10**12, 100, 0.0), 1000),
        ((5, 0, 0.1), 1000),
        ((10, 100, 0.0, 5, 3), 5),
        ((U64_MAX, 1, 0.0, 1, I32_MAX), I32_MAX),
    ],
)
def test_calculate_optimal_chunks(args, expected):
    assert cm.calculate_optimal_chunks(*args) == expected


# ---------------------------------------------------------------- OOM and operations


def oom_model(message: str, type_name: str) -> bool:
    m, t = message.lower(), type_name.lower()
    return (
        "out of memory" in m
        or "outofmemoryerror" in t
        or ("cuda" in m and "memory" in m)
        or ("allocat" in m and "failed" in m)
        or ("memory" in m and "insufficient" in m)
        or ("gpu" in m and "memory" in m)
    )


@pytest.mark.parametrize(
    "message, type_name, expected",
    [
        ("CUDA error: out of memory", "RuntimeError", True),
        ("Failed to allocate 2 GiB", "RuntimeError", True),
        ("", "OutOfMemoryError", True),
        ("cuda driver error", "RuntimeError", False),
        ("Insufficient MEMORY on device", "", True),
        ("GPU MEMORY ÉPUISÉE", "Ошибка", True),  # non-ASCII text lowered the full Unicode way
        ("İNSUFFICIENT MEMORY", "", False),  # İ lowers to i + combining dot
        ("out of memory", "x" * 10_000, True),
        ("x" * 300 + "GPU Memory", "", True),  # long text is searched in place
        ("memory", "OUT_OF_MEMORY", False),  # only rule 2 reads the type name
    ],
)
def test_is_oom_error(message, type_name, expected):
    assert cm.is_oom_error(message, type_name) is expected
    assert oom_model(message, type_name) is expected


words = st.sampled_from(
    [
        "out of",
        "memory",
        "OUT OF MEMORY",
        "cuda",
        "Allocat",
        "FAILED",
        "insufficient",
        "gpu",
        "İ",
        "K",
        "ẞ",
        "ß",
        " ",
        "outOfMemoryError",
        "é",
        "😀",
    ]
)
texts = st.one_of(st.text(max_size=30), st.lists(words, max_size=6).map("".join))


@given(texts, texts)
def test_is_oom_error_matches_python_lowering(message, type_name):
    assert cm.is_oom_error(message, type_name) is oom_model(message, type_name)


@pytest.mark.parametrize(
    "name, expected",
    [
        ("random.rand", True),
        ("zeros", True),
        ("linspace", True),
        ("matmul", False),
        ("Zeros", False),
        ("add", False),
        ("", False),
        (None, False),
    ],
)
def test_is_chunkable_operation(name, expected):
    assert cm.is_chunkable_operation(name) is expected


# ---------------------------------------------------------------- scores


@pytest.mark.parametrize(
    "args, expected",
    [
        ((800, "zeros", 1000, 0.0), 0.9),
        ((2000, "matmul", 1000, 0.0), 0.35),
        ((400, None, 1000, 0.0), 0.25),
        ((400, "zeros", 0, 0.0), 0.0),
        ((500, "sort", 1000, 0.5), 0.7),
    ],
)
def test_score_gpu_suitability(args, expected):
    assert cm.score_gpu_suitability(*args) == pytest.approx(expected)


@pytest.mark.parametrize("used, total, expected", [(50, 0, 1.0), (150, 100, 1.0), (25, 100, 0.25)])
def test_calculate_memory_pressure(used, total, expected):
    assert cm.calculate_memory_pressure(used, total) == expected


@pytest.mark.parametrize(
    "args, expected",
    [
        ((0.9,), 0.8),
        ((0.7,), 0.6),
        ((0.5,), 0.5),
        ((0.1,), 0.4),
        ((0.1, 0.35), 0.3),
        ((0.5, 0.1), 0.3),
        ((0.61, 0.79), 0.8),
        ((0.5, 5.0), 0.8),
        ((float("nan"),), 0.5),
    ],
)
def test_recommend_headroom(args, expected):
    assert cm.recommend_headroom(*args) == pytest.approx(expected)
