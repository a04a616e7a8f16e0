"""The Python wrapper of the native ``AtomicCounter``, kept for backward compatibility.

The class is presented as ``kestrun.memory.syncore.AtomicCounterWrapper``:
setting up ``kestrun.memory.syncore`` gives this module the counter type and
the native check of ``int``-annotated arguments, and binds the class there.
Import it from ``kestrun.memory.syncore``, not from here.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from kestrun.memory.syncore import AtomicCounter
else:
    AtomicCounter: Any = None  # bound when kestrun.memory.syncore is set up


def _as_int(value: object, name: str) -> int:
    """An exact int as it is, another number through int() (2.9 -> 2, True -> 1),
    anything else a TypeError naming the argument.  Replaced by the native check
    when kestrun.memory.syncore is set up."""
    raise RuntimeError("kestrun.memory.syncore is not set up")


class AtomicCounterWrapper:
    """Python wrapper of the native AtomicCounter, kept for backward compatibility.

    Every method forwards to the wrapped counter's py_ method.
    """

    def __init__(self, initial_value: int = 0) -> None:
        self._counter = AtomicCounter(_as_int(initial_value, "initial_value"))

    def load(self) -> int:
        return int(self._counter.py_load())

    def store(self, value: int) -> None:
        self._counter.py_store(_as_int(value, "value"))

    def increment(self, delta: int = 1) -> int:
        return int(self._counter.py_increment(_as_int(delta, "delta")))

    def decrement(self, delta: int = 1) -> int:
        return int(self._counter.py_decrement(_as_int(delta, "delta")))

    def compare_and_swap(self, expected: int, new_value: int) -> bool:
        return self._counter.py_compare_and_swap(
            _as_int(expected, "expected"), _as_int(new_value, "new_value")
        )

    def fetch_and_add(self, delta: int) -> int:
        return int(self._counter.py_fetch_and_add(_as_int(delta, "delta")))
