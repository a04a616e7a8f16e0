"""The metric ledger: what the package's JIT layer knows about each watched function.

The JIT layer records every call of a watched function (with its execution
time) and every compilation (with the speed-up it achieved) here, and hands
the ledger to ``JitGovernor.should_compile`` and ``JitGovernor.update``,
which read one function's figures through :meth:`MetricLedger.get_metrics`.

Every method may be called from any thread: the figures of all functions sit
behind one ``threading.Lock``, and ``get_metrics`` returns a consistent
snapshot (a new ``FunctionMetrics``), never the live record, so a reader sees
the call count and the compilation figures of one moment.  Arguments are
converted and checked before the lock is taken, so a conversion that runs
Python code cannot deadlock the ledger.
"""

from __future__ import annotations

import math
import threading
import time
from typing import SupportsFloat, SupportsIndex

from kestrun.jit.jit_governor import FunctionMetrics

__all__ = ["MetricLedger"]

_Float = SupportsFloat | SupportsIndex


def _check_func_id(func_id: object) -> None:
    # The governor's rule: exactly a str (no subclass), or None.
    if func_id is not None and type(func_id) is not str:
        raise TypeError(
            f"Argument 'func_id' has incorrect type (expected str, got {type(func_id).__name__})"
        )


def _finite(value: _Float, name: str) -> float:
    # Numbers only: float() would also parse a str.
    kind = type(value)
    if not (hasattr(kind, "__float__") or hasattr(kind, "__index__")):
        raise TypeError(f"{name} must be a real number, not {kind.__name__}")
    number = float(value)
    if not math.isfinite(number):
        raise ValueError(f"{name} must be a finite number, got {number!r}")
    return number


class _Record:
    """One function's running figures; changed only under the ledger's lock."""

    __slots__ = (
        "call_count",
        "compile_count",
        "avg_speedup",
        "total_execution_time_ms",
        "last_compiled",
    )

    def __init__(self) -> None:
        self.call_count = 0
        self.compile_count = 0
        self.avg_speedup = 1.0
        self.total_execution_time_ms = 0.0
        self.last_compiled = 0.0


class MetricLedger:
    """Thread-safe per-function counts of calls, execution time and compilations."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._records: dict[str | None, _Record] = {}

    def record_call(self, func_id: str | None, execution_time_ms: _Float = 0.0) -> None:
        """Counts one call of the function that ran for ``execution_time_ms`` milliseconds."""
        _check_func_id(func_id)
        elapsed = _finite(execution_time_ms, "execution_time_ms")
        if elapsed < 0.0:
            raise ValueError(f"execution_time_ms must not be negative, got {elapsed!r}")
        with self._lock:
            record = self._records.get(func_id)
            if record is None:
                record = self._records[func_id] = _Record()
            record.call_count += 1
            record.total_execution_time_ms += elapsed

    def record_compilation(
        self, func_id: str | None, speedup: _Float, timestamp: _Float | None = None
    ) -> None:
        """Counts one compilation of the function that made it ``speedup`` times faster.

        ``avg_speedup`` becomes the mean over all of the function's compilations;
        ``last_compiled`` becomes ``timestamp`` (wall-clock seconds, as ``time.time()``
        gives them; the current time when it is None).
        """
        _check_func_id(func_id)
        gain = _finite(speedup, "speedup")
        if gain <= 0.0:
            raise ValueError(f"speedup must be positive, got {gain!r}")
        when = time.time() if timestamp is None else _finite(timestamp, "timestamp")
        if when < 0.0:
            raise ValueError(f"timestamp must not be negative, got {when!r}")
        with self._lock:
            record = self._records.get(func_id)
            if record is None:
                record = self._records[func_id] = _Record()
            record.compile_count += 1
            record.avg_speedup += (gain - record.avg_speedup) / record.compile_count
            record.last_compiled = when

    def get_metrics(self, func_id: str | None) -> FunctionMetrics:
        """A snapshot of the function's figures; all zero for a function never recorded."""
        _check_func_id(func_id)
        with self._lock:
            record = self._records.get(func_id)
            if record is None:
                return FunctionMetrics()
            return FunctionMetrics(
                record.call_count,
                record.compile_count,
                record.avg_speedup,
                record.total_execution_time_ms,
                last_compiled=record.last_compiled,
            )

    def tracked_functions(self) -> list[str | None]:
        """The functions recorded so far, in the order they first appeared."""
        with self._lock:
            return list(self._records)

    def clear(self) -> None:
        """Forgets every function."""
        with self._lock:
            self._records.clear()
