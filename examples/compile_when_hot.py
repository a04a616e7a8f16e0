"""Compile a function once it is hot, with JitGovernor deciding when.

`should_compile` is a query: it answers True to every caller while the
function's call count is at its threshold or above, so several threads can
all hear True for the same function.  The decorator claims the compilation
itself, with one lock and one flag per function: one thread compiles, the
others keep calling the plain function until the compiled one is in place.
"""

from __future__ import annotations

import functools
import threading
import time
from collections.abc import Callable
from typing import Any

from kestrun.jit.jit_governor import JitGovernor
from kestrun.jit.metric_ledger import MetricLedger


def compile_when_hot(
    governor: JitGovernor, ledger: MetricLedger, compile: Callable[[Callable], Callable]
) -> Callable[[Callable], Callable]:
    def decorate(fn: Callable) -> Callable:
        name = fn.__qualname__
        claim = threading.Lock()  # held by the one thread that compiles
        compiled: list[Callable] = []  # the flag: empty until compiled

        @functools.wraps(fn)
        def call(*args: Any, **kwargs: Any) -> Any:
            if compiled:
                return compiled[0](*args, **kwargs)
            start = time.perf_counter()
            result = fn(*args, **kwargs)
            took = time.perf_counter() - start
            ledger.record_call(name, took * 1e3)
            if governor.should_compile(name, ledger) and claim.acquire(blocking=False):
                try:
                    if not compiled:  # another thread may have finished first
                        fast = compile(fn)
                        start = time.perf_counter()
                        fast(*args, **kwargs)
                        speedup = took / max(time.perf_counter() - start, 1e-9)
                        compiled.append(fast)
                        ledger.record_compilation(name, speedup)
                        governor.update(name, ledger)  # tunes the next threshold
                finally:
                    claim.release()
            return result

        return call

    return decorate
