"""Adaptive JIT compile-threshold policy: PolicyConfig, FunctionMetrics and
JitGovernor, with a process-wide governor."""

import logging as logging
import threading as threading
import time as time
from typing import Any, ClassVar, Protocol, Self, SupportsFloat, SupportsIndex
from typing import Dict as Dict  # noqa: UP035  (bound by the module)
from typing import Optional as Optional

from typing_extensions import disjoint_base

# Integer arguments: int, bool or any object with __index__; a float is refused
# by a type checker (at run time it would be truncated).
_Int = SupportsIndex
_Float = SupportsFloat | SupportsIndex

logger: logging.Logger
_policy_lock: threading.Lock

class _Metrics(Protocol):
    # `last_compiled` may be missing (taken as 0.0).
    @property
    def call_count(self) -> _Int: ...
    @property
    def compile_count(self) -> _Int: ...
    @property
    def avg_speedup(self) -> _Float: ...

class _MetricLedger(Protocol):
    def get_metrics(self, func_id: str | None, /) -> _Metrics: ...

@disjoint_base
class PolicyConfig:
    """Tuning parameters of a JitGovernor, validated at construction."""

    # Native operation table for other extension modules (kestrun/jit_governor.h).
    __kestrun_ops__: ClassVar[Any]
    # Assignment converts (an int for the thresholds, a float for the rates)
    # without validating; deleting raises NotImplementedError.
    initial_threshold: int
    min_threshold: int
    max_threshold: int
    learning_rate: float
    target_speedup: float
    def __new__(
        cls,
        initial_threshold: _Int = 100,
        min_threshold: _Int = 10,
        max_threshold: _Int = 10000,
        learning_rate: _Float = 0.1,
        target_speedup: _Float = 2.0,
    ) -> Self: ...

@disjoint_base
class FunctionMetrics:
    """Execution and compilation figures of one function."""

    __kestrun_ops__: ClassVar[Any]
    call_count: int
    compile_count: int
    avg_speedup: float
    total_execution_time_ms: float
    last_compiled: float
    # Another name for last_compiled.
    last_compile_time: float
    def __new__(
        cls,
        call_count: _Int = 0,
        compile_count: _Int = 0,
        avg_speedup: _Float = 1.0,
        total_execution_time_ms: _Float = 0.0,
        last_compile_time: _Float = 0.0,
        last_compiled: _Float = -1.0,
    ) -> Self: ...

@disjoint_base
class JitGovernor:
    """Decides when a function is compiled, from a per-function call-count
    threshold that adapts to the speed-ups compilations achieve."""

    __kestrun_ops__: ClassVar[Any]
    # None: a default PolicyConfig; any other object is read by attribute.
    def __new__(cls, config: PolicyConfig | object | None = None) -> Self: ...
    @property
    def config(self) -> PolicyConfig: ...
    def get_threshold(self, func_id: str | None) -> int: ...
    def should_compile(self, func_id: str | None, metric_ledger: _MetricLedger) -> bool: ...
    def update(self, func_id: str | None, metric_ledger: _MetricLedger) -> None: ...
    def get_statistics(self) -> dict[str, Any]: ...

def create_policy_config(
    initial_threshold: _Int = 100,
    min_threshold: _Int = 10,
    max_threshold: _Int = 10000,
    learning_rate: _Float = 0.1,
    target_speedup: _Float = 2.0,
) -> PolicyConfig: ...
def create_function_metrics(
    call_count: _Int = 0,
    compile_count: _Int = 0,
    avg_speedup: _Float = 1.0,
    total_execution_time_ms: _Float = 0.0,
    last_compile_time: _Float = 0.0,
) -> FunctionMetrics: ...
def get_jit_governor() -> JitGovernor: ...
def reset_jit_governor() -> None: ...
