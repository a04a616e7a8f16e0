"""Child mode ``exit``: the interpreter exits while daemon threads are inside
the modules' calls.

Daemon threads loop on valid calls of the modules' callables (shared
instances), and the main thread returns after a short sleep.  At exit the
interpreter stops each daemon thread where it next needs the interpreter
lock: in the middle of a native call that released the lock, or that called
Python code.  Those callables are found first (``_profile``) and drawn most
often, in turn over the runs (``run`` numbers them), so that every one of
them is inside a call at exit in some run.  The exit status must be 0.
"""

from __future__ import annotations

import importlib
import importlib.util
import logging
import random
import sys
import sysconfig
import threading
import time
import types
from collections.abc import Callable
from typing import Any

import _surface
from _hostile_base import Log, seed
from _hostile_calls import _entries, _reachable
from _surface import Surface, describe_call, fresh

EXIT_THREADS = 6
# Optional modules a call imports, where present, on every call.
PROBED_MODULES = ("_xxsubinterpreters",)
EXIT_SLEEP = 0.1  # seconds the daemon threads loop before the main thread returns


def _valid_loops(module_name: str) -> list[tuple[str, Callable[[], Any]]]:
    """(label, call) for each callable of the module with a valid argument
    list; methods on one shared instance of their type."""
    surface = Surface(importlib.import_module(module_name))
    entries = [e for e in _entries(surface) if not e.needs_instance or _reachable(surface, e.owner)]
    shared = {cls: surface.factory(cls)() for cls in {e.owner for e in entries if e.needs_instance}}
    loops = []
    for entry in entries:
        if entry.kind == "delete":
            continue
        valid = surface.probe(entry).valid
        if not valid:
            continue
        args, kwargs = valid[0]
        instance = shared.get(entry.owner)

        def call(entry=entry, instance=instance, args=args, kwargs=kwargs) -> Any:
            return entry.call(instance, fresh(args), fresh(kwargs))

        loops.append((f"{entry.label}{describe_call(args, kwargs)}", call))
    return loops


def _profile(loops: list[tuple[str, Callable[[], Any]]]) -> dict[str, str]:
    """Which calls release the interpreter lock and which run Python code.

    A spinning thread counts while the main thread calls each callable in a
    tight loop; with a long switch interval it only runs when a call releases
    the lock.  A profile function sees the Python functions a call runs
    (other than the harness's own)."""
    found: dict[str, str] = {}
    count = [0]
    stop = [False]

    def spin() -> None:
        while not stop[0]:
            count[0] += 1
            time.sleep(0)

    # The harness's own functions do not count; the fakes of the stubs'
    # Protocols (lambdas in _surface) are what the modules call.
    harness = {_surface.__file__, __file__}
    python_calls = [0]

    def profiler(frame, event, arg) -> None:
        code = frame.f_code
        if event == "call" and (code.co_filename not in harness or code.co_name == "<lambda>"):
            python_calls[0] += 1

    old = sys.getswitchinterval()
    sys.setswitchinterval(0.5)
    spinner = threading.Thread(target=spin, daemon=True)
    spinner.start()
    time.sleep(0.005)
    try:
        for label, call in loops:
            before = count[0]
            # A short release is seldom won by the waiting thread: many calls.
            deadline = time.monotonic() + 0.005
            while count[0] == before and time.monotonic() < deadline:
                for _ in range(20):
                    try:
                        call()
                    except Exception:
                        pass
            if count[0] != before:
                found[label] = "releases the interpreter lock"
                continue
            python_calls[0] = 0
            sys.setprofile(profiler)
            try:
                call()
            except Exception:
                pass
            finally:
                sys.setprofile(None)
            if python_calls[0]:
                found[label] = "calls Python code"
    finally:
        stop[0] = True
        spinner.join()
        sys.setswitchinterval(old)
    return found


def mode_exit(module_names: list[str], run: int, favoured: dict[str, str] | None, log: Log) -> dict:
    """``favoured``: what an earlier run's ``_profile`` found (None: look)."""
    # Records the modules log go to a handler that writes nothing.  The
    # interpreter aborts at exit when a daemon thread holds a buffered
    # stream's lock ("could not acquire lock for <stderr> at interpreter
    # shutdown"), whoever writes to it; logging's last-resort handler would
    # make every call that logs such a writer.  The logging calls themselves
    # still run, in Python code, at exit.
    logging.getLogger().addHandler(logging.NullHandler())
    # On the free-threaded build, a failing import in a daemon thread at exit
    # can hang the interpreter by itself: the import system looks the name up
    # in `sys.modules` under that dict's lock, the daemon thread may be handed
    # the lock while it waits and is then parked for good, and the main thread
    # waits for it as it clears the modules.  A plain Python loop on
    # `import <missing module>` hangs 3.13t that way (a marker of None in
    # `sys.modules` does not help: the import system still looks).  A missing
    # module that a call probes for gets an empty stand-in here, so that its
    # import is the quick lookup every present module's is; the call's own
    # code runs as before, and what it returns is not what this mode checks.
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        for name in PROBED_MODULES:
            if name not in sys.modules and importlib.util.find_spec(name) is None:
                sys.modules[name] = types.ModuleType(name)
    loops: list[tuple[str, Callable[[], Any]]] = []
    for name in module_names:
        loops += _valid_loops(name)
    if not loops:
        return {"threads": [], "favoured": {}}
    if favoured is None:
        favoured = _profile(loops)
    rng = random.Random(f"{seed()}:{','.join(module_names)}:exit{run}")
    ordered = [lc for lc in loops if lc[0] in favoured]
    picks = []
    for k in range(EXIT_THREADS):
        if ordered and k < EXIT_THREADS - 1:  # in turn over the runs; the last one at random
            picks.append(ordered[(run * (EXIT_THREADS - 1) + k) % len(ordered)])
        else:
            picks.append(loops[rng.randrange(len(loops))])

    def loop(call: Callable[[], Any]) -> None:
        while True:
            try:
                call()
            except Exception:
                pass

    # Frequent switches: the threads start at once, and at exit more of them
    # are between releasing the interpreter lock and taking it back.
    sys.setswitchinterval(1e-4)
    for k, (label, call) in enumerate(picks):
        log(f"daemon thread {k} loops on {label} ({favoured.get(label, 'plain')})")
        threading.Thread(target=loop, args=(call,), daemon=True).start()
    time.sleep(EXIT_SLEEP)
    log("main thread returns")
    return {"threads": [label for label, _ in picks], "favoured": favoured}
