"""The metric ledger: what the package's JIT layer knows about each watched function."""

from typing import SupportsFloat, SupportsIndex

from kestrun.jit.jit_governor import FunctionMetrics

__all__ = ["MetricLedger"]

_Float = SupportsFloat | SupportsIndex

class MetricLedger:
    """Thread-safe per-function counts of calls, execution time and compilations."""

    def __init__(self) -> None: ...
    def record_call(self, func_id: str | None, execution_time_ms: _Float = 0.0) -> None: ...
    def record_compilation(
        self, func_id: str | None, speedup: _Float, timestamp: _Float | None = None
    ) -> None: ...
    def get_metrics(self, func_id: str | None) -> FunctionMetrics: ...
    def tracked_functions(self) -> list[str | None]: ...
    def clear(self) -> None: ...
