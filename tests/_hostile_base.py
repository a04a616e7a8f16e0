"""What every part of the hostile harness shares: its settings, the state
that arms hostile objects during the call under test, the call log, and how
values travel to a child on its command line."""

from __future__ import annotations

import base64
import faulthandler
import os
import pickle
import sys
import sysconfig
import threading
from typing import Any

DEFAULT_SEED = "kestrun"
DEFAULT_CALLS = 15000
THREADS = 4
MEMORY_LIMIT = 4 << 30  # address space of a child, so huge requests end in MemoryError
ASAN_ALLOCATION_LIMIT_MB = 2048
HANG_SECONDS = 15  # no progress for this long in a child is a hang


# The interpreter's own allocator, plain and debugging: a free-threaded
# build has mimalloc in place of pymalloc and refuses the pymalloc names.
_FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
ALLOCATORS = {
    "plain": "mimalloc" if _FREE_THREADED else "pymalloc",
    "debug": "mimalloc_debug" if _FREE_THREADED else "pymalloc_debug",
}


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


# ================================================================ calling back


class Callbacks:
    """Calls back into the module from inside hostile code: from a hostile
    object's dunder, finaliser or method, while the call under test runs, into
    the object under test (``_state.receiver``) and the module's other live
    objects and functions, always with valid arguments.  A call that comes
    back may work or raise (``RuntimeError`` is the expected refusal of a
    re-entry); a ``SystemError`` or anything that is not an ``Exception`` is
    a problem, and a hang or a crash ends the child with this call last in
    its log.

    ``targets`` are (entry, valid argument lists) of every callable of the
    module; ``live`` gives the other objects to call into, by class.  Drawn at
    random (``rng``), or in turn (``cycle``), so that a caller can make every
    callable come back from one place."""

    def __init__(self) -> None:
        self.targets: list[tuple[Any, list]] = []
        self.live: Any = None  # () -> {class: instance}
        self.log: Any = None
        self.rng: Any = None
        self.cycle = False
        self.cursor = 0
        self.fired = 0
        # Re-entrant: a hostile object's __del__ can run (the collector) while
        # this thread draws a target, and calls back from there.
        self.lock = threading.RLock()

    def arm(self, targets: list, live: Any, log: Any, rng: Any, cycle: bool = False) -> None:
        self.targets, self.live, self.log, self.rng, self.cycle = targets, live, log, rng, cycle
        self.cursor = self.fired = 0

    def disarm(self) -> None:
        self.targets = []
        self.live = None

    def _next(self) -> tuple[Any, list] | None:
        if not self.targets:
            return None
        with self.lock:
            if self.cycle:
                self.cursor += 1
                return self.targets[(self.cursor - 1) % len(self.targets)]
            receiver = getattr(_state, "receiver", None)
            if receiver is not None and self.rng.random() < 0.6:
                own = [t for t in self.targets if t[0].owner and isinstance(receiver, t[0].owner)]
                if own:
                    return own[self.rng.randrange(len(own))]
            return self.targets[self.rng.randrange(len(self.targets))]

    def __call__(self, where: str) -> None:
        if not self.targets or getattr(_state, "calling_back", False) or not armed():
            return
        if _inside_import_system():
            return
        target = self._next()
        if target is None:
            return
        entry, valid = target
        receiver = getattr(_state, "receiver", None)
        instance = None
        if entry.needs_instance:
            if receiver is not None and isinstance(receiver, entry.owner):
                instance = receiver
            else:
                instance = (self.live() if self.live else {}).get(entry.owner)
                if instance is None:
                    return
        from _surface import describe_call, fresh

        args, kwargs = fresh(valid[self.rng.randrange(len(valid))]) if valid else ((), {})
        whose = " (the object under test)" if instance is receiver and instance is not None else ""
        self.fired += 1
        if self.log:
            call = describe_call(args, kwargs)
            self.log(f"    callback from {where}: {entry.label}{call}{whose}")
        _state.calling_back = True
        try:
            entry.call(instance, args, kwargs)
        except SystemError as exc:
            _problems().append(f"callback {entry.label} from {where}: SystemError: {exc}")
        except Exception:
            pass  # worked or refused: both fine
        except BaseException as exc:
            _problems().append(
                f"callback {entry.label} from {where}: {type(exc).__name__} "
                f"(not an Exception subclass): {exc!r}"
            )
        finally:
            _state.calling_back = False


def _inside_import_system() -> bool:
    """Whether this thread runs inside the import system's own frames: a
    finaliser that the collector runs there (while a module lock's internal
    lock is held and its owner waits for it) and that imports the same module
    deadlocks the interpreter's import machinery by itself, whoever imports.
    Hostile code calls nothing back from there."""
    frame: Any = sys._getframe(1)
    while frame is not None:
        if frame.f_code.co_filename.startswith("<frozen importlib"):
            return True
        frame = frame.f_back
    return False


def _problems() -> list[str]:
    if not hasattr(_state, "callback_problems"):
        _state.callback_problems = []
    return _state.callback_problems


def take_callback_problems() -> list[str]:
    out = list(_problems())
    _problems().clear()
    return out


CALLBACKS = Callbacks()


def call_back(where: str) -> None:
    """Hostile code calls this: a call back into the module, when armed."""
    CALLBACKS(where)


class HangGuard:
    """Ends the child with every thread's traceback in its log when the work
    stops progressing: re-armed every ``every`` steps, it fires when ``seconds``
    pass without a re-arm.  (A watchdog thread of the interpreter's own fault
    handler, which needs no interpreter lock, so it fires even when a thread
    waits for ever holding it.)"""

    def __init__(self, log: Any, seconds: float, every: int = 50) -> None:
        self.log, self.seconds, self.every, self.steps = log, seconds * slowdown(), every, 0

    def step(self) -> None:
        if self.steps % self.every == 0:
            faulthandler.dump_traceback_later(self.seconds, exit=True, file=self.log.fh)
        self.steps += 1

    def stop(self) -> None:
        faulthandler.cancel_dump_traceback_later()
