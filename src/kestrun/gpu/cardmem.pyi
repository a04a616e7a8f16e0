"""GPU memory algorithms: allocation estimates, safe limits, allocation strategy,
chunk plans, out-of-memory classification, suitability and memory pressure."""

import logging as logging
from typing import SupportsFloat, SupportsIndex

# Integer arguments: int, bool or any object with __index__; a float is refused
# by a type checker (at run time it would be truncated).
_Int = SupportsIndex

logger: logging.Logger

def estimate_allocation_bytes(
    shape: tuple[_Int, ...],
    element_size: _Int,
    overhead_factor: SupportsFloat | SupportsIndex = 1.0,
) -> int: ...
def calculate_safe_limit(
    available_bytes: _Int, headroom_ratio: SupportsFloat | SupportsIndex
) -> int: ...
def decide_allocation_strategy(
    requested_bytes: _Int,
    available_bytes: _Int,
    headroom_ratio: SupportsFloat | SupportsIndex,
    is_chunkable: object,
) -> tuple[int, int, int, str]: ...
def compute_chunk_shapes(
    shape: tuple[_Int, ...], element_size: _Int, max_chunk_bytes: _Int
) -> list[tuple[int, ...]]: ...
def calculate_optimal_chunks(
    total_bytes: _Int,
    available_bytes: _Int,
    headroom_ratio: SupportsFloat | SupportsIndex,
    min_chunks: _Int = 1,
    max_chunks: _Int = 1000,
) -> int: ...
def is_oom_error(error_message: str, error_type: str) -> bool: ...
def is_chunkable_operation(operation: str | None) -> bool: ...
def score_gpu_suitability(
    data_size_bytes: _Int,
    operation_type: str | None,
    available_gpu_memory: _Int,
    headroom_ratio: SupportsFloat | SupportsIndex,
) -> float: ...
def calculate_memory_pressure(used_bytes: _Int, total_bytes: _Int) -> float: ...
def recommend_headroom(
    current_pressure: SupportsFloat | SupportsIndex,
    base_headroom: SupportsFloat | SupportsIndex = 0.5,
) -> float: ...
