"""Child mode ``reenter``: every callable of a module is made to run hostile
code that calls back into the module, and every callable of the module comes
back from there in turn.

Hostile code is reached three ways: a ``Reenterer`` in each argument position
(its protocols and methods call back), a receiver whose settable attributes
hold ``Reenterer`` objects (a replaced counter whose methods the object calls;
its finaliser calls back when a call replaces it), and a receiver of a
Python subclass whose methods call back before doing their work.  The call
coming back goes to the object under test, or to one of the module's other
live objects or functions, with valid arguments.  It may work or raise (a
refused re-entry raises ``RuntimeError``); a hang or a crash ends the child
with the call in its log.
"""

from __future__ import annotations

import importlib
import random
from collections.abc import Callable, Iterator
from typing import Any

import _surface
from _hostile_base import CALLBACKS, HANG_SECONDS, Failures, HangGuard, Log, call_back, seed
from _hostile_calls import _bind_valid, _entries, _reachable, invoke
from _hostile_values import Reenterer
from _surface import Entry, Surface, fresh

_SUBCLASSES: dict[type, type | None] = {}


def reentering_subclass_of(cls: type) -> type | None:
    """A Python subclass of ``cls`` whose methods call back into the module,
    then do their work; None when the type cannot be subclassed."""
    if cls in _SUBCLASSES:
        return _SUBCLASSES[cls]
    sub = None
    if cls.__flags__ & (1 << 10):  # Py_TPFLAGS_BASETYPE

        def make(name: str):
            def method(self, *args, **kwargs):
                call_back(f"{cls.__name__}.{name} of a subclass")
                return getattr(super(sub, self), name)(*args, **kwargs)

            return method

        ns = {
            name: make(name)
            for name, v in vars(cls).items()
            if not name.startswith("__") and callable(v) and not isinstance(v, staticmethod)
        }
        try:
            sub = type(f"Reentering{cls.__name__}", (cls,), ns)
        except TypeError:
            sub = None
    _SUBCLASSES[cls] = sub
    return sub


def _with_reenterers(obj: Any, setters: list[Entry]) -> Any:
    """``obj`` with every attribute that takes any object holding a
    ``Reenterer``."""
    for entry in setters:
        try:
            setattr(obj, entry.name, Reenterer())
        except Exception:
            pass
    return obj


def _hooks(
    surface: Surface, entry: Entry, valid: list
) -> Iterator[tuple[str, Callable[[], tuple[Any, tuple, dict]]]]:
    """(name, prepare) for each way ``entry`` can be made to run hostile
    code; ``prepare`` gives a fresh (receiver, args, kwargs)."""
    make = surface.factory(entry.owner) if entry.needs_instance else None
    args, kwargs = valid[0]

    def receiver() -> Any:
        return make() if make else None

    if entry.kind == "set" or entry.kind == "slot" and entry.name == "eq":
        yield "argument 0", lambda: (receiver(), (Reenterer(),), {})
    elif entry.kind in ("function", "constructor", "method"):
        params = [p for p in entry.parameters() if p.kind not in (p.VAR_POSITIONAL, p.VAR_KEYWORD)]
        slots = _bind_valid(params, args, kwargs)
        if None in slots:  # a call not bound to the signature: keep its own shape
            for i in range(len(args)):
                yield (
                    f"argument {i}",
                    lambda i=i: (
                        receiver(),
                        fresh(args[:i]) + (Reenterer(),) + fresh(args[i + 1 :]),
                        fresh(kwargs),
                    ),
                )
        else:
            for i, p in enumerate(params):

                def prepare(i: int = i) -> tuple[Any, tuple, dict]:
                    values = [fresh(v) for _, v in slots]
                    values[i] = Reenterer()
                    a, k = _surface._bind(params, values)
                    return receiver(), a, k

                yield f"argument {p.name}", prepare
    if make is None:
        return
    setters = [e for e in surface.entries if e.owner is entry.owner and e.kind == "set"]
    if setters:
        yield (
            "attributes hold Reenterers",
            lambda: (_with_reenterers(make(), setters), fresh(args), fresh(kwargs)),
        )
    sub = reentering_subclass_of(entry.owner)
    recipe = surface.recipe(entry.owner)
    if sub is not None and recipe is not None and recipe[0] is entry.owner:
        _, rargs, rkwargs = recipe
        yield (
            "receiver of a subclass",
            lambda: (sub(*fresh(rargs), **fresh(rkwargs)), fresh(args), fresh(kwargs)),
        )


def mode_reenter(module_name: str, log: Log) -> dict:
    module = importlib.import_module(module_name)
    surface = Surface(module)
    failures = Failures()
    reachable = [e for e in surface.entries if not e.needs_instance or _reachable(surface, e.owner)]
    valid = {id(e): surface.probe(e).valid for e in reachable}
    targets = [(e, valid[id(e)]) for e in reachable if valid[id(e)]]
    live = {cls: surface.factory(cls)() for cls in {e.owner for e in reachable if e.needs_instance}}
    CALLBACKS.arm(
        targets, lambda: live, log, random.Random(f"{seed()}:{module_name}:reenter"), cycle=True
    )
    guard = HangGuard(log, HANG_SECONDS, every=20)
    skip = {e.label for e in surface.entries} - {e.label for e in _entries(surface)}
    calls = 0
    reached: list[str] = []
    for entry in reachable:
        if entry.label in skip or not valid[id(entry)]:
            continue
        for hook, prepare in _hooks(surface, entry, valid[id(entry)]):
            start = CALLBACKS.cursor
            # Until every callable has come back once from here, or no call
            # back came at all (this way does not reach hostile code).
            for _ in range(len(targets)):
                try:
                    instance, args, kwargs = prepare()
                except Exception:
                    break
                fired = CALLBACKS.fired
                guard.step()
                text = _surface.describe_call(args, kwargs)
                log(f"{calls} {entry.label} {text} [{hook}]")
                problem = invoke(entry, instance, args, kwargs)
                calls += 1
                if problem:
                    failures.add(entry.label, f"{text} [{hook}]", problem, f"call {calls}")
                del instance, args, kwargs
                if CALLBACKS.fired == fired:
                    break
                if CALLBACKS.cursor - start >= len(targets):
                    break
            if CALLBACKS.cursor != start:
                reached.append(f"{entry.label} [{hook}]")
    guard.stop()
    CALLBACKS.disarm()
    return {
        "calls": calls,
        "callbacks": CALLBACKS.fired,
        "reached": reached,
        "failures": failures.items,
    }
