"""Child modes about references: ``leaks`` (reference counts and allocated
blocks stay as they were over repeated calls) and ``chain`` (a million
nested instances free without deep recursion), and the search for the ways
an instance can hold an object."""

from __future__ import annotations

import gc
import importlib
import importlib.util
import sys
from collections.abc import Callable
from typing import Any

import _surface
from _hostile_base import Log, under_asan
from _hostile_calls import _entries, _reachable
from _surface import Entry, Surface, fresh


def _measure(
    fn: Callable[[], None], watched: list, loops: int, rounds: int, settle: bool = False
) -> tuple[list, list]:
    """Growth of allocated blocks and of the watched objects' reference counts
    over ``rounds`` rounds of ``loops`` calls, after warming up.  ``settle``
    runs a full collection before each reading, which also empties the
    interpreter's free lists (cached tuples, floats, dicts...): growth that
    stays then is not a cache filling up."""
    getrc, blocks = sys.getrefcount, sys.getallocatedblocks
    for _ in range(loops * 2):
        fn()
    block_growth, ref_growth = [], []
    for _ in range(rounds):
        if settle:
            gc.collect()
        refs0 = [getrc(o) for o in watched]
        b0 = blocks()
        for _ in range(loops):
            fn()
        if settle:
            gc.collect()
        b1 = blocks()
        refs1 = [getrc(o) for o in watched]
        block_growth.append(b1 - b0)
        ref_growth.append(max((r1 - r0 for r0, r1 in zip(refs0, refs1)), default=0))
    return block_growth, ref_growth


def _grows(growth: list[int], loops: int) -> bool:
    """Growth in every round, and at least one block per call on average
    over the rounds, as a leak of something on each call gives."""
    return min(growth) > 0 and sum(growth) >= loops


def _watched(args: tuple, kwargs: dict) -> list:
    out = []
    for v in list(args) + list(kwargs.values()):
        out.append(v)
        if type(v) in (list, tuple):
            out.extend(v[:8])
        elif type(v) is dict:
            out.extend(list(v.values())[:8])
    return out


def _unshared(value: Any) -> Any:
    """The same plain value as a new object (not a cached or immortal one), so
    that its reference count means something."""
    if type(value) is str:
        return "".join(list(value)) if len(value) > 1 else value
    if type(value) is int and not -5 <= value <= 256:
        return int(str(value))
    if type(value) is float:
        return float(repr(value))
    if type(value) in (list, tuple):
        return type(value)(_unshared(v) for v in value)
    if type(value) is dict:
        return {k: _unshared(v) for k, v in value.items()}
    if type(value) is bytearray:
        return bytearray(value)
    return value


def _immortal(value: Any) -> bool:
    return sys.getrefcount(value) > 1 << 28


def _substitutes() -> list:
    """Plain values that are new objects each time (not cached, not immortal)."""
    return [
        float("0.5"),
        int("1000"),
        int(str(2**40)),
        "".join(["num", "py"]),
        [],
        {},
        (int("1000"), 4.0),
        [(0.0, 1.0), (1.0, 2.0)],
        bytearray(16),
        float("16.0"),
    ]


def _measurable(
    entry: Entry, make: Callable[[], Any] | None, args: tuple, kwargs: dict
) -> tuple[tuple, dict]:
    """The call with each immortal argument (small int, True, None, interned
    str) replaced by a new object where the outcome, down to the error's
    message, stays the same, so that a reference kept by the callee shows in
    the argument's count."""

    def outcome(a, k) -> str:
        instance = make() if make else None
        try:
            entry.call(instance, fresh(a), fresh(k))
        except Exception as exc:
            return f"{type(exc).__name__}: {str(exc)[:60]}"
        return "returned"

    expected = outcome(args, kwargs)
    args = list(args)
    for i, v in enumerate(args):
        if _immortal(v):
            for sub in _substitutes():
                if outcome(tuple(args[:i] + [sub] + args[i + 1 :]), kwargs) == expected:
                    args[i] = _unshared(sub)
                    break
    for name, v in list(kwargs.items()):
        if _immortal(v):
            for sub in _substitutes():
                if outcome(tuple(args), {**kwargs, name: sub}) == expected:
                    kwargs = {**kwargs, name: _unshared(sub)}
                    break
    return tuple(args), kwargs


BAD_VALUES = (None, "x", 2**64, -1, float("nan"), [])


def _bad_variants(value: Any) -> list[Any]:
    """Wrong versions of a valid argument: wrong values in its place and, for
    a container, the same container with its last element made wrong (so a
    conversion fails half-way, after converting the elements before it)."""
    out = list(BAD_VALUES)
    if type(value) in (list, tuple) and value:
        for bad in ("x", None) + (
            (bad_inner,) if (bad_inner := _bad_variants(value[-1])[1:2]) else ()
        ):
            out.append(type(value)(list(value[:-1]) + [bad]))
    return out


def _failing_halfway(
    entry: Entry, make: Callable[[], Any] | None, valid: list, known: set[str], limit: int
) -> list[tuple[str, tuple, dict]]:
    """Invalid calls made from the valid one by spoiling one argument, each
    failing with a different error."""
    out: list[tuple[str, tuple, dict]] = []
    if not valid:
        return out
    args, kwargs = valid[0]
    for i, value in enumerate(args):
        for bad in _bad_variants(value):
            trial = args[:i] + (bad,) + args[i + 1 :]
            instance = make() if make else None
            try:
                entry.call(instance, fresh(trial), fresh(kwargs))
            except _surface.INVALID_TYPES as exc:
                what = f"{type(exc).__name__}: {str(exc)[:60]}"
                if what not in known:
                    known.add(what)
                    out.append((f"invalid {what}", trial, kwargs))
            except Exception:
                pass
            if len(out) >= limit:
                return out
    return out


def mode_leaks(module_name: str, log: Log) -> dict:
    module = importlib.import_module(module_name)
    surface = Surface(module)
    loops = 60 if under_asan() else 100
    rounds = 4
    counting_blocks = sys.getallocatedblocks() > 0
    results = []
    for entry in _entries(surface):
        if entry.needs_instance and not _reachable(surface, entry.owner):
            continue
        probe = surface.probe(entry)
        make = surface.factory(entry.owner) if entry.needs_instance else None
        cases = [("valid", a, k) for a, k in probe.valid[:1]] + [
            (f"invalid {what}", a, k) for a, k, what in probe.invalid[:4]
        ]
        known = {name[len("invalid ") :] for name, _, _ in cases}
        cases += _failing_halfway(entry, make, probe.valid, known, limit=6)
        for name, args, kwargs in cases:
            args, kwargs = _unshared(args), _unshared(kwargs)
            args, kwargs = _measurable(entry, make, args, kwargs)
            watched = _watched(args, kwargs)
            log(f"{entry.label}{_surface.describe_call(args, kwargs)} [{name}]")

            def one(entry=entry, args=args, kwargs=kwargs, make=make) -> None:
                instance = make() if make else None
                try:
                    entry.call(instance, args, kwargs)
                except Exception:
                    pass

            gc.collect()
            blocks, refs = _measure(one, watched, loops, rounds)
            leaked_blocks = counting_blocks and _grows(blocks, loops)
            if leaked_blocks:  # confirm, with the free lists emptied at every reading
                blocks = _measure(one, [], loops * 5, rounds, settle=True)[0]
                leaked_blocks = _grows(blocks, loops * 5)
            leaked_refs = min(refs) > 0
            if leaked_blocks or leaked_refs:
                results.append(
                    {
                        "callable": entry.label,
                        "case": name,
                        "call": _surface.describe_call(args, kwargs),
                        "blocks": blocks,
                        "block_loops": loops * 5 if leaked_blocks else loops,
                        "refs": refs,
                        "ref_loops": loops,
                    }
                )
    return {"leaks": results, "counting_blocks": counting_blocks}


# ---------------------------------------------------------------- nested chains


def mode_chain(module_name: str, route: dict, log: Log) -> dict:
    """Builds a chain of ``depth`` instances, each holding the previous one,
    then frees it: deallocation must not recurse once per level."""
    module = importlib.import_module(module_name)
    surface = Surface(module)
    cls = getattr(module, route["type"])
    depth = route.get("depth", 10**6)
    link = link_function(route, cls, surface.factory(cls))
    log(f"building a chain of {depth} {cls.__name__} via {route['via']} {route.get('name', '')}")
    p = None
    for _ in range(depth):
        p = link(p)
    log("freeing it")
    del p
    log("freed; collecting")
    gc.collect()
    log("done")
    return {"depth": depth}


def link_function(route: dict, cls: type, make: Callable[[], Any]) -> Callable[[Any], Any]:
    """A function making a new instance that holds the object it is given."""
    via, name = route["via"], route.get("name")
    position, base = route.get("position", 0), route.get("args", [])

    def with_object(prev: Any) -> list:
        args = list(fresh(base))
        args[position] = prev
        return args

    if via == "constructor":
        return lambda prev: cls(*with_object(prev))
    if via == "method":

        def link(prev):
            obj = make()
            getattr(obj, name)(*with_object(prev))
            return obj

        return link

    def link(prev):  # attribute
        obj = make()
        setattr(obj, name, prev)
        return obj

    return link


def holder_routes(surface: Surface) -> list[dict]:
    """For each native type of the module, one way an instance can hold an
    arbitrary object (here another instance of its own type): an argument of
    its constructor or of one of its methods (the other arguments as in a
    valid call), or a settable attribute.  Found by watching the reference
    count of the object handed over go up."""
    routes = []
    for cls in surface.native_classes:
        try:
            make = surface.factory(cls)
        except _surface.SurfaceError:
            continue
        found = _route_for(surface, cls, make)
        if found:
            routes.append(found)
    return routes


def _refcount(box: list) -> int:
    """The reference count of the object in ``box``.  Both readings of
    ``_stores`` go through this one function: a local variable passed straight
    to ``getrefcount`` may be loaded as a borrowed or as a new reference, as
    the compiler decides per instruction (3.14 does), so two such reads in one
    function can differ by one for the same count.  An item read from a list
    is always a new reference."""
    return sys.getrefcount(box[0])


def _stores(action: Callable[[Any], Any], probe_obj: Any) -> bool:
    box = [probe_obj]
    before = _refcount(box)
    try:
        keep = action(probe_obj)
    except Exception:
        return False
    stored = _refcount(box) > before
    del keep
    return stored


def _positional_bases(surface: Surface, entry: Entry) -> list[list]:
    """Positional argument lists for ``entry``, one per position an object
    could go to: a valid call's arguments, completed with defaults."""
    params = [
        p for p in entry.parameters() if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)
    ]
    valid = [a for a, k in surface.probe(entry).valid if not k] or [()]
    out = []
    for args in valid[:1]:
        filled = list(args) + [
            p.default if p.default is not p.empty else None for p in params[len(args) :]
        ]
        for i in range(len(params)):
            out.append(filled[: max(len(args), i + 1)])
    return out


def _route_for(surface: Surface, cls: type, make: Callable[[], Any]) -> dict | None:
    route = {"module": surface.name, "type": cls.__name__}
    for entry in surface.entries:
        if entry.owner is not cls or entry.kind not in ("constructor", "method"):
            continue
        for i, args in enumerate(_positional_bases(surface, entry)):

            def hand_over(obj, args=args, i=i, entry=entry):
                trial = list(fresh(args))
                trial[i] = obj
                if entry.kind == "constructor":
                    return cls(*trial)
                holder = make()
                getattr(holder, entry.name)(*trial)
                return holder

            if _stores(hand_over, make()):
                return {**route, "via": entry.kind, "name": entry.name, "position": i, "args": args}
    for entry in surface.entries:
        if entry.owner is cls and entry.kind == "set":
            holder = make()

            def store(o, entry=entry, holder=holder):
                setattr(holder, entry.name, o)

            if _stores(store, make()):
                return {**route, "via": "attribute", "name": entry.name}
    return None
