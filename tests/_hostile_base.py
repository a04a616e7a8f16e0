"""What every part of the hostile harness shares: its settings, the state
that arms hostile objects during the call under test, the call log, and how
values travel to a child on its command line."""

from __future__ import annotations

import base64
import os
import pickle
import sys
import threading
from typing import Any

DEFAULT_SEED = "kestrun"
DEFAULT_CALLS = 15000
THREADS = 4
MEMORY_LIMIT = 4 << 30  # address space of a child, so huge requests end in MemoryError
ASAN_ALLOCATION_LIMIT_MB = 2048


def under_asan() -> bool:
    return "libasan" in os.environ.get("LD_PRELOAD", "")


def seed() -> str:
    return os.environ.get("KESTRUN_HOSTILE_SEED", DEFAULT_SEED)


def call_budget() -> int:
    calls = int(os.environ.get("KESTRUN_HOSTILE_CALLS", DEFAULT_CALLS))
    return (
        max(1, calls // 2) if under_asan() and "KESTRUN_HOSTILE_CALLS" not in os.environ else calls
    )


def slowdown() -> int:
    """How much longer time limits are in this process's kind of build."""
    return 5 if under_asan() else 1


# ================================================================ hostile values


class Boom(Exception):
    """Raised by hostile objects."""


_state = threading.local()


def armed() -> bool:
    return getattr(_state, "armed", False)


class Log:
    """The child's call log: one line per call, written before the call."""

    def __init__(self, path: str | None) -> None:
        self.fh = (
            open(path, "a", buffering=1, encoding="utf-8", errors="backslashreplace")
            if path
            else sys.stderr
        )
        self.lock = threading.Lock()

    def __call__(self, line: str) -> None:
        self.fh.write(line + "\n")


class Failures:
    def __init__(self) -> None:
        self.items: list[dict] = []
        self.seen: dict[tuple, int] = {}

    def add(self, label: str, call: str, problem: str, where: str) -> None:
        key = (label, problem.split(":")[0], problem[:60])
        self.seen[key] = self.seen.get(key, 0) + 1
        if self.seen[key] <= 2:
            self.items.append({"callable": label, "call": call, "problem": problem, "where": where})


def _chain(exc: BaseException):
    seen = set()
    while exc is not None and id(exc) not in seen:
        seen.add(id(exc))
        yield exc
        exc = exc.__cause__ or exc.__context__


def pack(value: Any) -> str:
    """Plain values (tuples, bytes and all) for a child's command line."""
    return base64.b64encode(pickle.dumps(value)).decode("ascii")


def unpack(text: str) -> Any:
    return pickle.loads(base64.b64decode(text))
