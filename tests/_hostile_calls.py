"""Building hostile argument lists and making one call under test."""

from __future__ import annotations

import inspect
import os
from collections.abc import Callable
from typing import Any

import _surface
from _hostile_base import _chain, _state, armed, take_callback_problems
from _hostile_values import MUTATIONS, Chameleon, Trap, Values
from _surface import Entry, Surface, describe, fresh

# ================================================================ argument lists


def _bind_valid(
    params: list[inspect.Parameter], args: tuple, kwargs: dict
) -> list[tuple[str, Any]]:
    """(label, value) per parameter of a valid call, None for missing ones."""
    out: list[Any] = []
    it = iter(args)
    for p in params:
        if p.kind in (p.VAR_POSITIONAL, p.VAR_KEYWORD):
            continue
        if p.kind != p.KEYWORD_ONLY:
            try:
                v = next(it)
                out.append((describe(v), v))
                continue
            except StopIteration:
                pass
        if p.name in kwargs:
            out.append((describe(kwargs[p.name]), kwargs[p.name]))
        elif p.default is not p.empty:
            out.append((describe(p.default), p.default))
        else:
            out.append(None)
    return out


def hostile_arguments(entry: Entry, valid: list, values: Values) -> tuple[tuple, dict, str]:
    rng = values.rng
    kind = entry.kind
    if kind in ("get", "delete") or kind == "slot" and entry.name != "eq":
        return (), {}, "()"
    if kind == "set" or kind == "slot":
        r = rng.random()
        if (
            r < 0.3
        ):  # attributes often hold the module's own objects, whose methods native code calls
            lab, v = values.instance()
        elif r < 0.4:
            lab, v = "Chameleon", Chameleon(lambda: values.leaf()[1], rng)
        else:
            lab, v = values.value()
        return (v,), {}, f"({lab})"
    if entry.signature is None:
        items = [values.value() for _ in range(rng.randrange(5))]
        return tuple(v for _, v in items), {}, "(" + ", ".join(lab for lab, _ in items) + ")"
    params = [p for p in entry.parameters() if p.kind not in (p.VAR_POSITIONAL, p.VAR_KEYWORD)]
    base = _bind_valid(params, *fresh(values.pick(valid))) if valid else [None] * len(params)
    required = sum(1 for p in params if p.default is p.empty)
    slots = [b if b is not None else values.value() for b in base]
    mode = rng.random()
    if mode < 0.55 and slots:  # one or two hostile arguments among valid ones
        for i in rng.sample(range(len(slots)), min(len(slots), rng.randint(1, 2))):
            slots[i] = values.value()
        count = rng.randint(required, len(slots))
    elif mode < 0.75:  # all hostile
        slots = [values.value() for _ in params]
        count = rng.randint(required, len(slots)) if slots else 0
    elif mode < 0.85:  # wrong number of arguments
        count = (
            max(0, required - 1)
            if rng.random() < 0.4 and required
            else len(slots) + rng.randint(1, 2)
        )
        while len(slots) < count:
            slots.append(values.value())
    else:
        count = len(slots)
    args: list = []
    kwargs: dict = {}
    labels: list[str] = []
    use_keywords = mode >= 0.85 or rng.random() < 0.2
    for i, (lab, v) in enumerate(slots[:count]):
        p = params[i] if i < len(params) else None
        by_keyword = p is not None and (
            p.kind == p.KEYWORD_ONLY
            or (
                use_keywords
                and rng.random() < 0.5
                and (p.kind != p.POSITIONAL_ONLY or rng.random() < 0.2)
            )
        )
        if by_keyword and p is not None:
            kwargs[p.name] = v
            labels.append(f"{p.name}={lab}")
        elif kwargs:  # positional after keywords: keep it legal, pass by name
            if p is not None:
                kwargs[p.name] = v
                labels.append(f"{p.name}={lab}")
        else:
            args.append(v)
            labels.append(lab)
    if mode >= 0.85:
        r = rng.random()
        if r < 0.35:
            lab, v = values.value()
            kwargs["bogus_keyword"] = v
            labels.append(f"bogus_keyword={lab}")
        elif r < 0.7 and args and params:  # one argument twice: positionally and by name
            p = params[rng.randrange(min(len(args), len(params)))]
            lab, v = values.value()
            kwargs[p.name] = v
            labels.append(f"{p.name}={lab} (again)")
    # Traps with no container of their own act on another argument.
    containers = [v for v in list(args) + list(kwargs.values()) if type(v) in (list, dict)]
    if containers:
        for v in list(args) + list(kwargs.values()):
            if isinstance(v, Trap) and v.target is None and rng.random() < 0.7:
                v.target = values.pick(containers)
                v.action = values.pick(MUTATIONS[:-2])
    return tuple(args), kwargs, "(" + ", ".join(labels) + ")"


class Spy:
    """A dict key hashing like ``key``: a lookup of ``key`` compares against
    it, which tells which keys a native function reads."""

    def __init__(self, key: str, seen: set) -> None:
        self.key, self.seen, self.hash = key, seen, hash(key)

    def __hash__(self) -> int:
        return self.hash

    def __eq__(self, other) -> bool:
        if armed():
            self.seen.add(self.key)
        return False


def learn_keys(
    entry: Entry, instance_for: Callable[[], Any], valid: list, candidates: list[str]
) -> list[str]:
    """The dictionary keys ``entry`` looks up, learnt by handing it dicts (and
    lists of dicts) of spies in each argument position, round after round."""
    params = [p for p in entry.parameters() if p.kind not in (p.VAR_POSITIONAL, p.VAR_KEYWORD)]
    if entry.kind not in ("function", "method", "constructor") or not params or not candidates:
        return []
    base = _bind_valid(params, *valid[0]) if valid else [None] * len(params)
    learnt: list[str] = []
    for _ in range(6):
        seen: set = set()
        for i in range(len(params)):
            for shape in ("dict", "list", "tuple"):

                def record(learnt=learnt, seen=seen):
                    d = {k: 0.5 for k in learnt}
                    for k in candidates:
                        if k not in d:
                            d[Spy(k, seen)] = 0.5
                    return d

                value = record() if shape == "dict" else [record() for _ in range(8)]
                if shape == "tuple":
                    value = tuple(value)
                slots = [b[1] if b is not None else None for b in base]
                slots[i] = value
                args, kwargs = _surface._bind(params, slots)
                invoke(entry, instance_for(), args, kwargs)
        new = [k for k in candidates if k in seen and k not in learnt]
        if not new:
            break
        learnt += new
    return learnt


def touch(obj: Any, depth: int = 0) -> None:
    """Looks at every element of a result: a corrupt container shows here."""
    if depth > 3:
        return
    t = type(obj)
    if t is list or t is tuple:
        for x in obj[:2000]:
            touch(x, depth + 1)
    elif t is dict:
        for k, v in list(obj.items())[:2000]:
            touch(k, depth + 1)
            touch(v, depth + 1)


def invoke(entry: Entry, instance: Any, args: tuple, kwargs: dict) -> str | None:
    """Calls ``entry``; returns a description of what went wrong, or None."""
    problem = _invoke(entry, instance, args, kwargs)
    came_back = take_callback_problems()
    return problem or (came_back[0] if came_back else None)


def _invoke(entry: Entry, instance: Any, args: tuple, kwargs: dict) -> str | None:
    _state.armed = True
    _state.receiver = instance  # what hostile code calls back into
    _state.outcome = "returned"
    try:
        result = entry.call(instance, args, kwargs)
    except Exception as exc:
        _state.armed = False
        _state.outcome = type(exc).__name__
        for e in _chain(exc):
            if isinstance(e, SystemError):
                return f"SystemError: {e}"
        try:
            str(exc)
        except Exception as inner:
            return f"{type(exc).__name__} whose str() raises {type(inner).__name__}"
        return None
    except BaseException as exc:
        _state.armed = False
        return f"{type(exc).__name__} (not an Exception subclass): {exc!r}"
    finally:
        _state.armed = False
        _state.receiver = None
    touch(result)
    return None


def _entries(surface: Surface) -> list[Entry]:
    only = os.environ.get("KESTRUN_HOSTILE_ONLY")
    skip = set(filter(None, os.environ.get("KESTRUN_HOSTILE_SKIP", "").split(",")))
    return [e for e in surface.entries if (not only or only in e.label) and e.label not in skip]


def _reachable(surface: Surface, cls: type) -> bool:
    try:
        surface.factory(cls)
        return True
    except _surface.SurfaceError:
        return False
