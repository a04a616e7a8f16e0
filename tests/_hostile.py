"""Hostile-input engine for the native modules.

Imported by the tests (parent side: ``run_child`` starts a child process and
explains how it ended) and run as a script (child side: the modes below).
A child writes a description of each call it is about to make, line-buffered,
to its log file, so that when it dies the parent can show the last calls.

    python _hostile.py fuzz MODULE           hostile calls, then a threaded phase
    python _hostile.py leaks MODULE          reference-count neutrality of every callable
    python _hostile.py chain MODULE ROUTE    a million nested instances, then freed
    python _hostile.py before-setup MODULE CALLS
                                             functions of a module object not yet set up
    python _hostile.py retry MODULE K        the K-th import of the set-up fails, then retry
    python _hostile.py code SOURCE           run SOURCE under the child's limits

Environment: KESTRUN_HOSTILE_SEED (default "kestrun"), KESTRUN_HOSTILE_CALLS
(hostile calls per module), KESTRUN_HOSTILE_ONLY (only callables whose label
contains this text), KESTRUN_HOSTILE_SKIP (comma-separated labels to leave out).
"""

from __future__ import annotations

import base64
import builtins
import dataclasses
import faulthandler
import gc
import importlib
import importlib.util
import inspect
import json
import math
import os
import pickle
import random
import signal
import subprocess
import sys
import threading
import time
from collections.abc import Callable
from typing import Any

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import _surface  # noqa: E402
from _surface import Entry, Surface, describe, fresh  # noqa: E402

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


class NotBool:
    """A comparison result whose truth value cannot be taken."""

    def __bool__(self) -> bool:
        raise Boom("truth value of a comparison result")


class Trap:
    """Answers every conversion protocol at once.  While armed (only during
    the call under test), each use first runs its action: raise, mutate the
    container it is bound to, release the interpreter lock, collect garbage.
    ``wrong`` makes it answer with values of the wrong type or range (one of
    two kinds, fixed per trap)."""

    # protocol -> (plausible answer, wrong answers)
    ANSWERS: dict[str, tuple[Any, tuple[Any, ...]]] = {
        "index": (1, ("x", 2**100)),
        "int": (1, (1.5, "x")),
        "float": (0.5, ("x", 1)),
        "bool": (True, (2, None)),
        "len": (2, (-1, 2**100)),
        "str": ("numpy", (5, None)),
        "add": (1, ("x", None)),
    }

    def __init__(
        self,
        action: str,
        target: Any = None,
        wrong: bool = False,
        hash_as: int | None = None,
        once: bool = False,
    ) -> None:
        self.action, self.target, self.wrong, self.once = action, target, wrong, once
        self.hash_as = hash_as if hash_as is not None else id(self) >> 4
        self.kind = (id(self) >> 4) & 1
        self.fired = 0

    def __repr__(self) -> str:  # never runs the action
        return f"<Trap {self.action}{' wrong' if self.wrong else ''}>"

    def _answer(self, protocol: str) -> Any:
        if armed() and not (self.once and self.fired):
            self.fired += 1
            act(self.action, self.target)
        plausible, wrong = self.ANSWERS[protocol]
        return wrong[self.kind] if self.wrong else plausible

    def __index__(self):
        return self._answer("index")

    def __int__(self):
        return self._answer("int")

    def __float__(self):
        return self._answer("float")

    def __bool__(self):
        return self._answer("bool")

    def __len__(self):
        return self._answer("len")

    def __str__(self):
        return self._answer("str")

    def __add__(self, other):
        return self._answer("add")

    __radd__ = __sub__ = __rsub__ = __mul__ = __rmul__ = __truediv__ = __rtruediv__ = __add__

    def __iter__(self):
        self._answer("len")
        return 5 if self.wrong else iter([1.0, 2.0])

    def __getitem__(self, index):
        self._answer("len")
        if self.wrong:
            raise Boom("getitem")
        return [1.0, 2.0][index]

    def __hash__(self):
        self._answer("len")
        return self.hash_as

    def __eq__(self, other):
        self._answer("bool")
        return NotBool() if self.wrong else False

    def __ne__(self, other):
        self._answer("bool")
        return NotBool() if self.wrong else True

    __lt__ = __le__ = __gt__ = __ge__ = __contains__ = __eq__

    def __call__(self, *args, **kwargs):
        return self._answer("int")


class Chameleon:
    """Any attribute is a method returning something hostile (or raising):
    for native code that calls methods of the objects it is given."""

    def __init__(self, make: Callable[[], Any], rng: random.Random) -> None:
        self._make, self._rng = make, rng

    def __getattr__(self, name: str):
        if name.startswith("__"):
            raise AttributeError(name)
        if armed() and self._rng.random() < 0.2:
            raise Boom(f"attribute {name}")
        return lambda *args, **kwargs: self._make()


def act(action: str, target: Any) -> None:
    if action == "raise":
        raise Boom("hostile conversion")
    if action == "sleep":
        time.sleep(0)
        return
    if action == "gc":
        time.sleep(0)
        gc.collect()
        return
    if target is None:
        return
    if isinstance(target, list):
        if action == "clear":
            target.clear()
        elif action == "shorten":
            del target[1:]
        elif action == "extend":
            target.extend([1.0, (1.0, 2.0), "numpy"] * 8)
        elif action == "replace":
            target[:] = [None, 2**64, "x"]
        elif action == "pop" and target:
            target.pop(0)
    elif isinstance(target, dict):
        if action in ("clear", "replace"):
            target.clear()
        elif action == "shorten" and target:
            target.pop(next(iter(target)))
        elif action == "extend":
            for i in range(32):
                target[f"grown_{i}"] = i
        elif action == "pop" and target:
            target.popitem()


CONTAINER_ACTIONS = ("clear", "shorten", "extend", "replace", "pop")
ACTIONS = CONTAINER_ACTIONS + ("raise", "sleep", "gc")
# Emptying the container is the change most likely to leave a native reader
# with a dangling pointer (the interpreter's free lists keep other stale
# memory looking valid), so it is drawn most often.
MUTATIONS = ("clear",) * 4 + ("shorten", "shorten", "replace", "pop", "extend", "raise", "sleep")

EDGE_INTS = (
    0,
    -1,
    1,
    2**31 - 1,
    2**31,
    -(2**31),
    -(2**31) - 1,
    2**32 - 1,
    2**32,
    2**63 - 1,
    2**63,
    -(2**63),
    -(2**63) - 1,
    2**64 - 1,
    2**64,
    2**100,
    -(2**100),
    255,
    256,
    65535,
    4096,
)
EDGE_FLOATS = (
    math.nan,
    math.inf,
    -math.inf,
    -0.0,
    0.5,
    1e308,
    5e-324,
    2.0**63,
    2.0**64,
    -(2.0**63),
    -1.5,
    1e-300,
    2.0**31,
    0.9999999999999999,
)


class IntSub(int):
    pass


class FloatSub(float):
    pass


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


class TupleSub(tuple):
    pass


class ListSub(list):
    pass


class DictSub(dict):
    pass


def _raise_when_armed(what: str, normal: Callable[..., Any]) -> Callable[..., Any]:
    def method(self, *args):
        if armed():
            raise Boom(what)
        return normal(self, *args)

    return method


def _hostile_subclass(base: type, name: str) -> type:
    """A subclass of ``base`` whose Python-visible protocols misbehave while
    armed (iteration, length, hashing, comparison, item access, conversions)."""
    ns: dict[str, Any] = {
        "__iter__": _raise_when_armed(f"{name}.__iter__", base.__iter__)
        if hasattr(base, "__iter__")
        else None,
        "__len__": (lambda self: -1 if armed() else base.__len__(self))
        if hasattr(base, "__len__")
        else None,
        "__hash__": _raise_when_armed(f"{name}.__hash__", base.__hash__),
        "__eq__": lambda self, other: NotBool() if armed() else base.__eq__(self, other),
        "__index__": lambda self: "x",
        "__int__": lambda self: 1.5,
        "__float__": lambda self: "x",
    }
    ns = {k: v for k, v in ns.items() if v is not None}
    if hasattr(base, "__getitem__"):
        ns["__getitem__"] = _raise_when_armed(f"{name}.__getitem__", base.__getitem__)
    if base is dict:
        for method in ("keys", "items", "values", "get"):
            ns[method] = _raise_when_armed(f"{name}.{method}", getattr(dict, method))
    return type(f"Hostile{name}", (base,), ns)


HOSTILE_INT = _hostile_subclass(int, "Int")
HOSTILE_FLOAT = _hostile_subclass(float, "Float")
HOSTILE_STR = _hostile_subclass(str, "Str")
HOSTILE_TUPLE = _hostile_subclass(tuple, "Tuple")
HOSTILE_LIST = _hostile_subclass(list, "List")
HOSTILE_DICT = _hostile_subclass(dict, "Dict")


class Huge:
    """A sequence claiming 2**63 items (its length does not fit a C size) whose
    iteration stops with an error after four; never an endless loop."""

    def __len__(self) -> int:
        return 2**63

    def __getitem__(self, index):
        if isinstance(index, int) and 0 <= index < 4:
            return float(index)
        raise Boom(f"item {index!r}")

    def __iter__(self):
        return iter(self[i] for i in range(5))


def _deep_tuple(depth: int) -> tuple:
    nest: Any = (1.0, 2.0)
    for _ in range(depth):
        nest = (nest,)
    return nest


DEEP_TUPLE = _deep_tuple(3000)  # immutable, so one serves every call


def _raising_generator(n: int):
    for i in range(n):
        yield (float(i), float(i))
    raise Boom("generator")


class Values:
    """Fresh hostile values with short labels for the call log."""

    def __init__(self, rng: random.Random, surface: Surface | None) -> None:
        self.rng = rng
        self.surface = surface
        strings = _surface.module_strings(surface.module) if surface else []
        self.strings = strings or ["numpy"]
        # Keys a native function looks up: the snake_case names of its binary.
        self.keys = [s for s in self.strings if s.replace("_", "").isalpha() and "_" in s] or [
            "numpy"
        ]
        self.focus: list[str] = []  # keys the callable under test is known to read
        self.instance_makers: list[tuple[type, Callable[[], Any]]] = []
        if surface:
            for cls in surface.classes:
                try:
                    self.instance_makers.append((cls, surface.factory(cls)))
                except _surface.SurfaceError:
                    pass

    def pick(self, seq):
        return seq[self.rng.randrange(len(seq))]

    # ---- leaves

    def number(self) -> tuple[str, Any]:
        rng = self.rng
        r = rng.random()
        if r < 0.45:
            v = self.pick(EDGE_INTS)
            return repr(v), v
        if r < 0.8:
            v = self.pick(EDGE_FLOATS)
            return repr(v), v
        if r < 0.9:
            v = self.pick((True, False))
            return repr(v), v
        v = self.pick((0, 1, 16, 64, 0.5, 1.0, 2.0))
        return repr(v), v

    def text(self) -> tuple[str, Any]:
        r = self.rng.random()
        if r < 0.5:
            v = self.pick(self.strings)
        else:
            v = self.pick(
                (
                    "",
                    "numpy",
                    "x" * 5000,
                    "\ud800",
                    "\x00",
                    "İ😀ß",
                    "NUMPY",
                    "a\x00b",
                    "out of memory",
                    " ",
                    "%s%n%p",
                    "é" * 300,
                )
            )
        return f"str {describe(v)}", v

    def subclass_instance(self) -> tuple[str, Any]:
        kind = self.rng.randrange(11)
        if kind == 0:
            v = self.pick(EDGE_INTS)
            return f"IntSub({v!r})", IntSub(v)
        if kind == 1:
            v = self.pick(EDGE_FLOATS)
            return f"FloatSub({v!r})", FloatSub(v)
        if kind == 2:
            v = self.pick(self.strings)
            return f"StrSub({v!r})", StrSub(v)
        if kind == 3:
            return "BytesSub(16)", BytesSub(16)
        if kind == 4:
            return "TupleSub(pair)", TupleSub((1.0, 2.0))
        if kind == 5:
            return "ListSub(pairs)", ListSub([(0.0, 1.0), (1.0, 2.0)] * 3)
        if kind == 6:
            return "DictSub(keys)", DictSub({k: 0.5 for k in self.keys[:6]})
        if kind == 7:
            v = self.pick(EDGE_INTS)
            return f"HostileInt({v!r})", HOSTILE_INT(v)
        if kind == 8:
            return "HostileFloat(0.5)", HOSTILE_FLOAT(0.5)
        if kind == 9:
            return "HostileStr", HOSTILE_STR(self.pick(self.strings))
        return self._hostile_container()

    def _hostile_container(self) -> tuple[str, Any]:
        k = self.rng.randrange(3)
        if k == 0:
            return "HostileTuple(pair)", HOSTILE_TUPLE((1.0, 2.0))
        if k == 1:
            return "HostileList(pairs)", HOSTILE_LIST([(0.0, 1.0), (1.0, 2.0)] * 3)
        return "HostileDict(keys)", HOSTILE_DICT({k: 0.5 for k in self.keys[:6]})

    def trap(self, target: Any = None) -> tuple[str, Trap]:
        rng = self.rng
        action = (
            self.pick(MUTATIONS + ("gc",))
            if target is not None
            else self.pick(("raise", "sleep", "gc", "none"))
        )
        if action == "gc" and rng.random() < 0.7:
            action = "sleep"  # collections are slow; keep them rare
        wrong = rng.random() < 0.25
        t = Trap(action, target, wrong, once=rng.random() < 0.5)
        return f"Trap({action}{',wrong' if wrong else ''})", t

    def odd_object(self) -> tuple[str, Any]:
        k = self.rng.randrange(12)
        if k == 0:
            return "object()", object()
        if k == 1:
            return "Chameleon", Chameleon(lambda: self.leaf()[1], self.rng)
        if k == 2:
            return "Huge", Huge()
        if k == 3:
            return "generator raising", _raising_generator(self.rng.randrange(6))
        if k == 4:
            lst: list = [1.0]
            lst.append(lst)
            return "self-referencing list", lst
        if k == 5:
            return "3000-deep tuple", DEEP_TUPLE
        if k == 6:
            return "type int", int
        if k == 7:
            return "Boom()", Boom("value")
        if k == 8:
            return "memoryview", memoryview(bytearray(16))
        if k == 9:
            return "bytearray(16)", bytearray(16)
        if k == 10:
            return "set", {1.0, 2.0, "numpy"}
        return "Ellipsis", ...

    def instance(self) -> tuple[str, Any]:
        """An instance of one of the module's own types, or of a subclass of
        it whose methods misbehave."""
        if not self.instance_makers:
            return self.odd_object()
        cls, make = self.pick(self.instance_makers)
        if self.surface is not None and self.rng.random() < 0.5:
            obj = hostile_instance(self.surface, cls)
            return f"{type(obj).__name__} instance", obj
        return f"{cls.__name__} instance", make()

    def leaf(self) -> tuple[str, Any]:
        r = self.rng.random()
        if r < 0.30:
            return self.number()
        if r < 0.45:
            return self.text()
        if r < 0.52:
            return "None", None
        if r < 0.65:
            return self.subclass_instance()
        if r < 0.80:
            return self.trap()
        if r < 0.90:
            return self.odd_object()
        return self.instance()

    # ---- containers whose elements act on the container itself

    def element(self, outer: Any, depth: int, kind: str = "mixed") -> tuple[str, Any]:
        rng = self.rng
        if kind == "mixed":
            kind = self.pick(("trap", "pair", "record", "text", "nested", "numbers", "leaf"))
        if kind == "trap":
            return self.trap(outer)
        if kind == "pair":  # a pair, sometimes with a trap inside
            if rng.random() < 0.5:
                return "(num,num)", (rng.random() * 10, rng.random() * 10)
            lab, t = self.trap(outer) if rng.random() < 0.7 else self.leaf()
            lab2, v = self.number()
            pair = (t, v) if rng.random() < 0.5 else (v, t)
            return f"({lab},{lab2})", pair if rng.random() < 0.7 else list(pair)
        if kind == "record":
            return self.record(outer)
        if kind == "text":
            if rng.random() < 0.2:
                return self.trap(outer)
            return self.text()
        if kind == "nested" and depth < 2:
            return self.container(depth + 1)
        if kind == "numbers":
            return self.trap(outer) if rng.random() < 0.2 else self.number()
        return self.leaf()

    def record(self, outer: Any) -> tuple[str, dict]:
        """A dict with the keys the module looks up; one key may be a trap
        hashing like a real key, whose comparison runs its action."""
        rng = self.rng
        if self.focus and rng.random() < 0.8:
            keys = (
                list(self.focus)
                if rng.random() < 0.7
                else [k for k in self.focus if rng.random() < 0.7]
            )
            keys += [self.pick(self.keys) for _ in range(rng.randrange(0, 2))]
        else:
            keys = [self.pick(self.keys) for _ in range(rng.randrange(1, 6))]
        keys = keys or [self.pick(self.keys)]
        record: dict = {}
        label = "dict{"
        if rng.random() < 0.5:
            victim = self.pick(keys)
            target = outer if rng.random() < 0.6 else record
            action = self.pick(MUTATIONS)
            trap = Trap(action, target, hash_as=hash(victim))
            record[trap] = 0
            label += f"Trap~{victim!r}->{action} {'outer' if target is outer else 'self'}, "
        for k in keys:
            lab, v = self.number() if rng.random() < 0.7 else self.leaf()
            record[k] = v
        label += f"{len(keys)} keys}}"
        return label, record

    def container(self, depth: int = 0) -> tuple[str, Any]:
        """A list, tuple or dict of hostile elements; mostly all of one kind
        (records, pairs, names, numbers) so that a function reading them gets
        far enough for the elements' actions to matter."""
        rng = self.rng
        kind = self.pick(("list", "list", "list", "tuple", "dict"))
        n = self.pick((0, 1, 2, 3, 6, 6, 7, 8, 8, 12, 12, 40))
        if self.focus and rng.random() < 0.4:  # the callable reads keys: give it records
            elements = "record"
        else:
            elements = (
                "mixed"
                if rng.random() < 0.3
                else self.pick(("trap", "pair", "pair", "record", "record", "text", "numbers"))
            )
        if kind == "dict":
            d: dict = {}
            labels = []
            for _ in range(n):
                k = (
                    self.pick(self.focus)
                    if self.focus and rng.random() < 0.5
                    else self.pick(self.keys)
                )
                lab, v = self.element(d, depth, elements)
                d[k] = v
                labels.append(f"{k}:{lab}")
            return "dict{" + ", ".join(labels[:4]) + ("..." if n > 4 else "") + "}", d
        outer: list = []
        labels = []
        for _ in range(n):
            lab, v = self.element(outer, depth, elements)
            outer.append(v)
            labels.append(lab)
        text = f"{kind}[{n}: " + ", ".join(labels[:4]) + ("..." if n > 4 else "") + "]"
        if kind == "tuple":
            return text, tuple(outer)  # the traps still act on the (now unused) list
        return text, outer

    def value(self) -> tuple[str, Any]:
        return self.container() if self.rng.random() < 0.35 else self.leaf()


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


# ================================================================ calling


def _chain(exc: BaseException):
    seen = set()
    while exc is not None and id(exc) not in seen:
        seen.add(id(exc))
        yield exc
        exc = exc.__cause__ or exc.__context__


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
    _state.armed = True
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
    touch(result)
    return None


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


# ================================================================ child modes


_SUBCLASSES: dict[type, type | None] = {}


def hostile_subclass_of(cls: type) -> type | None:
    """A Python subclass of a native type whose own methods misbehave while
    armed (raise, or return something of the wrong type), for native code that
    calls methods of ``self`` or of objects it was given.  None when the type
    cannot be subclassed."""
    if cls in _SUBCLASSES:
        return _SUBCLASSES[cls]
    sub = None
    if cls.__flags__ & (1 << 10):  # Py_TPFLAGS_BASETYPE

        def make(name: str):
            def method(self, *args, **kwargs):
                if armed():
                    r = random.random()
                    if r < 0.3:
                        raise Boom(f"{name} of a subclass")
                    if r < 0.6:
                        return random.choice(("x", None, 2**100, math.nan, NotBool(), [], self))
                return getattr(super(sub, self), name)(*args, **kwargs)

            return method

        ns = {
            name: make(name)
            for name, v in vars(cls).items()
            if not name.startswith("__") and callable(v)
        }
        try:
            sub = type(f"Hostile{cls.__name__}", (cls,), ns)
        except TypeError:
            sub = None
    _SUBCLASSES[cls] = sub
    return sub


def hostile_instance(surface: Surface, cls: type) -> Any:
    """An instance of the misbehaving subclass of ``cls``, or of ``cls``."""
    sub = hostile_subclass_of(cls)
    recipe = surface.recipe(cls)
    if sub is not None and recipe is not None and recipe[0] is cls:
        try:
            return sub(*fresh(recipe[1]), **fresh(recipe[2]))
        except Exception:
            pass
    return surface.factory(cls)()


class Instances:
    """Receivers for methods: fresh ones, shared ones that keep their state
    between calls, and instances of a misbehaving subclass."""

    def __init__(self, surface: Surface, rng: random.Random) -> None:
        self.surface, self.rng = surface, rng
        self.shared: dict[type, Any] = {}

    def get(self, cls: type) -> Any:
        make = self.surface.factory(cls)
        r = self.rng.random()
        if r < 0.4:
            return make()
        if r < 0.85 or _surface.is_python_class(cls):
            if cls not in self.shared or self.rng.random() < 0.02:
                self.shared[cls] = make()
            return self.shared[cls]
        return hostile_instance(self.surface, cls)


def _entries(surface: Surface) -> list[Entry]:
    only = os.environ.get("KESTRUN_HOSTILE_ONLY")
    skip = set(filter(None, os.environ.get("KESTRUN_HOSTILE_SKIP", "").split(",")))
    return [e for e in surface.entries if (not only or only in e.label) and e.label not in skip]


def mode_fuzz(module_name: str, log: Log) -> dict:
    rng = random.Random(f"{seed()}:{module_name}")
    random.seed(f"{seed()}:{module_name}:objects")  # what hostile objects decide while called
    module = importlib.import_module(module_name)
    surface = Surface(module)
    values = Values(rng, surface)
    instances = Instances(surface, rng)
    failures = Failures()
    entries = [e for e in _entries(surface) if not e.needs_instance or _reachable(surface, e.owner)]
    valid = {id(e): surface.probe(e).valid for e in entries}
    focus: dict[int, list[str]] = {}
    for entry in entries:
        focus[id(entry)] = learn_keys(
            entry,
            lambda entry=entry: instances.get(entry.owner) if entry.needs_instance else None,
            valid[id(entry)],
            values.keys,
        )
        if focus[id(entry)]:
            log(f"{entry.label} reads keys {focus[id(entry)]}")
    # Callables that take arguments get six shares of the budget, the others
    # (getters, slots, methods without parameters) one: only the receiver varies.
    # The calls are shuffled, so that shared instances meet every kind of call
    # in every state earlier calls left them in.
    weights = {id(e): 6 if e.parameters() else 1 for e in entries}
    share = call_budget() / max(1, sum(weights.values()))
    schedule = [e for e in entries for _ in range(max(5, round(share * weights[id(e)])))]
    rng.shuffle(schedule)
    outcomes: dict[str, dict[str, int]] = {e.label: {} for e in entries}
    started = time.monotonic()
    for calls, entry in enumerate(schedule):
        values.focus = focus[id(entry)]
        args, kwargs, text = hostile_arguments(entry, valid[id(entry)], values)
        instance = instances.get(entry.owner) if entry.needs_instance else None
        if (
            instance is not None and args and rng.random() < 0.05
        ):  # the receiver as its own argument
            i = rng.randrange(len(args))
            args = args[:i] + (instance,) + args[i + 1 :]
            text += f" [argument {i} is the receiver]"
        log(f"{calls} {entry.label} {text}")
        problem = invoke(entry, instance, args, kwargs)
        if problem:
            failures.add(entry.label, text, problem, f"seed {seed()!r}, call {calls}")
        outcome = outcomes[entry.label]
        outcome[_state.outcome] = outcome.get(_state.outcome, 0) + 1
        if calls % 400 == 399:
            log(f"{calls} gc.collect ()")
            gc.collect()
        del args, kwargs, instance
    single = time.monotonic() - started
    threaded = hammer(surface, values, log, failures, rng)
    return {
        "calls": len(schedule),
        "threaded_calls": threaded,
        "entries": len(entries),
        "seconds": round(time.monotonic() - started, 2),
        "single_seconds": round(single, 2),
        "outcomes": outcomes,
        "failures": failures.items,
    }


def hammer(
    surface: Surface, values: Values, log: Log, failures: Failures, rng: random.Random
) -> int:
    """Four threads calling everything on shared instances, mostly with valid
    arguments, some hostile, for a bounded time and number of calls."""
    entries = [e for e in _entries(surface) if not e.needs_instance or _reachable(surface, e.owner)]
    if not entries:
        return 0
    shared = {cls: surface.factory(cls)() for cls in {e.owner for e in entries if e.needs_instance}}
    probes = {id(e): surface.probe(e).valid for e in entries}
    deadline = time.monotonic() + 1.5 * slowdown()
    per_thread = max(200, call_budget() // 2 // THREADS)
    counts = [0] * THREADS
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)

    def work(k: int) -> None:
        trng = random.Random(f"{seed()}:thread{k}")
        tvalues = Values(trng, None)
        tvalues.strings, tvalues.keys = values.strings, values.keys
        tvalues.instance_makers = values.instance_makers
        n = 0
        while n < per_thread and time.monotonic() < deadline:
            entry = entries[trng.randrange(len(entries))]
            valid = probes[id(entry)]
            if valid and trng.random() < 0.7:
                args, kwargs = fresh(valid[trng.randrange(len(valid))])
                text = _surface.describe_call(args, kwargs)
            else:
                args, kwargs, text = hostile_arguments(entry, valid, tvalues)
            instance = shared.get(entry.owner)
            log(f"thread{k} {entry.label} {text}")
            problem = invoke(entry, instance, args, kwargs)
            if problem:
                failures.add(entry.label, text, problem, f"thread {k}, seed {seed()!r}")
            n += 1
        counts[k] = n

    threads = [threading.Thread(target=work, args=(k,)) for k in range(THREADS)]
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    shared.clear()
    gc.collect()
    return sum(counts)


def _reachable(surface: Surface, cls: type) -> bool:
    try:
        surface.factory(cls)
        return True
    except _surface.SurfaceError:
        return False


# ---------------------------------------------------------------- reference counts


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


def _stores(action: Callable[[Any], Any], probe_obj: Any) -> bool:
    before = sys.getrefcount(probe_obj)
    try:
        keep = action(probe_obj)
    except Exception:
        return False
    stored = sys.getrefcount(probe_obj) > before
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


# ---------------------------------------------------------------- module set-up


def mode_before_setup(module_name: str, calls: list[dict], log: Log) -> dict:
    """Functions of a module object whose set-up has not run yet must raise
    an ordinary exception (or work); after the set-up they must work."""
    assert module_name not in sys.modules, "the module must not be imported yet"
    module_spec = importlib.util.find_spec(module_name)
    module = importlib.util.module_from_spec(module_spec)
    failures = []
    for call in calls:
        name = call["name"]
        for args in call["arglists"]:
            log(f"before set-up: {name}{_surface.describe_call(tuple(args), {})}")
            _state.armed = True
            try:
                getattr(module, name)(*args)
            except SystemError as exc:
                failures.append(f"{name}: SystemError: {exc}")
            except Exception:
                pass
            except BaseException as exc:
                failures.append(f"{name}: {type(exc).__name__}")
            finally:
                _state.armed = False
    log("exec_module")
    module_spec.loader.exec_module(module)
    worked = []
    for call in calls:
        if call.get("valid") is not None:
            log(f"after set-up: {call['name']}{_surface.describe_call(tuple(call['valid']), {})}")
            getattr(module, call["name"])(*call["valid"])
            worked.append(call["name"])
    return {"failures": failures, "worked": worked}


def function_calls(surface: Surface) -> list[dict]:
    """Each module function with the plain argument lists found for it: what
    the set-up tests call, in a process where the module is not imported."""

    def portable(args: tuple) -> bool:  # plain values travel to the child; fakes of the stub do not
        try:
            pickle.dumps(args)
        except Exception:
            return False
        return True

    calls = []
    for entry in surface.functions:
        probe = surface.probe(entry)
        valids = [list(a) for a, k in probe.valid if not k and portable(a)]
        arglists = valids + [list(a) for a, k, _ in probe.invalid if not k and portable(a)]
        valid = valids[0] if valids else None
        calls.append({"name": entry.name, "arglists": arglists or [[]], "valid": valid})
    return calls


class InjectedImportError(ImportError):
    pass


def mode_retry(module_name: str, k: int, log: Log) -> dict:
    """Fails the k-th import that the module's first import performs (k = 0:
    none, only count them), then imports again with the import machinery
    restored and calls every function and constructor of the module."""
    parent = module_name.rpartition(".")[0]
    if parent:
        importlib.import_module(parent)
    assert module_name not in sys.modules
    real_import = builtins.__import__
    count = [0]
    depth = [0]

    def failing_import(name, *args, **kwargs):
        # Only the set-up's own imports count, not those that the code of a
        # module being imported makes in turn.
        if depth[0] == 0:
            count[0] += 1
            if count[0] == k:
                raise InjectedImportError(f"injected failure of import {k} ({name})")
        depth[0] += 1
        try:
            return real_import(name, *args, **kwargs)
        finally:
            depth[0] -= 1

    log(f"import {module_name} with import {k} failing")
    builtins.__import__ = failing_import
    try:
        importlib.import_module(module_name)
    except Exception as exc:
        chain = list(_chain(exc))
        first = {
            "failed": True,
            "error": f"{type(exc).__name__}: {exc}",
            "injected": any(isinstance(e, InjectedImportError) for e in chain),
            "system_error": any(isinstance(e, SystemError) for e in chain),
            "left_in_sys_modules": module_name in sys.modules,
        }
    else:
        first = {"failed": False}
    finally:
        builtins.__import__ = real_import
    first["imports"] = count[0]
    log(f"first import: {first}")
    if first["failed"]:
        log("second import, machinery restored")
        try:
            module = importlib.import_module(module_name)
        except Exception as exc:
            return {"first": first, "retry": f"{type(exc).__name__}: {exc}"}
    else:
        module = sys.modules[module_name]
    worked, failed = [], []
    surface = Surface(module)
    for entry in surface.entries:
        if entry.kind not in ("function", "constructor"):
            continue
        valid = surface.probe(entry).valid
        if valid:
            args, kwargs = fresh(valid[0])
            log(f"after import: {entry.label} {_surface.describe_call(args, kwargs)}")
            try:
                entry.call(None, args, kwargs)
                worked.append(entry.label)
            except Exception as exc:
                failed.append(f"{entry.label}: {type(exc).__name__}: {exc}")
    return {
        "first": first,
        "retry": "ok" if first["failed"] else "not needed",
        "worked": worked,
        "failed": failed,
    }


# ================================================================ child process


def pack(value: Any) -> str:
    """Plain values (tuples, bytes and all) for a child's command line."""
    return base64.b64encode(pickle.dumps(value)).decode("ascii")


def unpack(text: str) -> Any:
    return pickle.loads(base64.b64decode(text))


def _limit_memory() -> None:
    if under_asan():
        return  # the sanitizer reserves terabytes of shadow memory; it has its own limit
    import resource

    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    limit = MEMORY_LIMIT if hard == resource.RLIM_INFINITY else min(MEMORY_LIMIT, hard)
    resource.setrlimit(resource.RLIMIT_AS, (limit, hard))


def child_main(argv: list[str]) -> int:
    log_path = os.environ.get("KESTRUN_CHILD_LOG")
    result_path = os.environ.get("KESTRUN_CHILD_RESULT")
    log = Log(log_path)
    if not under_asan():  # the sanitizer's own report names the faulting native frame
        faulthandler.enable(file=log.fh, all_threads=True)
    timeout = float(os.environ.get("KESTRUN_CHILD_TIMEOUT", "0"))
    if timeout > 5:  # a hang shows where every thread waits, before the parent kills us
        faulthandler.dump_traceback_later(timeout - 3, exit=True, file=log.fh)
    _limit_memory()
    mode, rest = argv[0], argv[1:]
    if mode == "fuzz":
        result = mode_fuzz(rest[0], log)
    elif mode == "leaks":
        result = mode_leaks(rest[0], log)
    elif mode == "chain":
        result = mode_chain(rest[0], unpack(rest[1]), log)
    elif mode == "before-setup":
        result = mode_before_setup(rest[0], unpack(rest[1]), log)
    elif mode == "retry":
        result = mode_retry(rest[0], int(rest[1]), log)
    elif mode == "code":
        namespace: dict = {"__name__": "__kestrun_child__", "log": log}
        log("running code")
        exec(compile(rest[0], "<reproducer>", "exec"), namespace)
        result = {"done": True}
    else:
        raise SystemExit(f"unknown mode {mode!r}")
    log("finished")
    if result_path:
        with open(result_path, "w", encoding="utf-8") as fh:
            json.dump(result, fh)
    return 0


# ================================================================ parent side


@dataclasses.dataclass
class ChildResult:
    argv: list[str]
    returncode: int | None
    stdout: str
    stderr: str
    log_tail: list[str]
    result: dict | None
    seconds: float
    timed_out: bool

    @property
    def ok(self) -> bool:
        return self.returncode == 0 and not self.timed_out and self.result is not None

    def how_it_ended(self) -> str:
        if self.timed_out:
            return "timed out (killed)"
        rc = self.returncode
        if rc is not None and rc < 0:
            try:
                return f"killed by signal {signal.Signals(-rc).name}"
            except ValueError:
                return f"killed by signal {-rc}"
        return f"exit status {rc}"

    def explain(self, what: str = "") -> str:
        mode = self.argv[0] if self.argv[0] == "code" else " ".join(self.argv[:2])
        lines = [
            f"child {mode}{f' ({what})' if what else ''}: "
            f"{self.how_it_ended()} after {self.seconds:.1f} s"
        ]
        lines.append("---- last lines of the call log ----")
        lines += self.log_tail
        err = self.stderr.strip().splitlines()
        report = next(
            (
                i
                for i, line in enumerate(err)
                if "ERROR: AddressSanitizer" in line or "runtime error:" in line
            ),
            None,
        )
        if report is not None:  # the sanitizer's report: what, where, and its summary
            lines.append("---- sanitizer report ----")
            lines += err[report : report + 16]
            lines += [line for line in err[report + 16 :] if line.startswith("SUMMARY:")]
        elif err:
            lines.append("---- stderr (tail) ----")
            lines += err[-25:]
        return "\n".join(lines)


def child_env(mode: str) -> dict[str, str]:
    env = dict(os.environ)
    env.pop("PYTHONSTARTUP", None)
    if under_asan():
        opts = [o for o in env.get("ASAN_OPTIONS", "").split(":") if o]
        keys = {o.split("=")[0] for o in opts}
        for key, value in (
            ("allocator_may_return_null", "1"),
            ("max_allocation_size_mb", str(ASAN_ALLOCATION_LIMIT_MB)),
            ("detect_leaks", "0"),
        ):
            if key not in keys:
                opts.append(f"{key}={value}")
        env["ASAN_OPTIONS"] = ":".join(opts)
        if mode in ("fuzz", "code", "before-setup") and "PYTHONMALLOC" not in env:
            env["PYTHONMALLOC"] = "malloc"  # lets the sanitizer see every object's memory
    elif mode in ("fuzz", "code") and "PYTHONMALLOC" not in env:
        env["PYTHONMALLOC"] = "pymalloc_debug"  # freed memory is overwritten: stale reads fail fast
    return env


def run_child(
    argv: list[str], workdir: str, timeout: float, env_extra: dict[str, str] | None = None
) -> ChildResult:
    timeout *= slowdown()
    log_path = os.path.join(workdir, f"{argv[0]}.log")
    result_path = os.path.join(workdir, f"{argv[0]}.json")
    for path in (log_path, result_path):
        if os.path.exists(path):
            os.unlink(path)
    env = child_env(argv[0])
    env.update(
        KESTRUN_CHILD_LOG=log_path,
        KESTRUN_CHILD_RESULT=result_path,
        KESTRUN_CHILD_TIMEOUT=str(timeout),
    )
    env.update(env_extra or {})
    started = time.monotonic()
    proc = subprocess.Popen(
        [sys.executable, os.path.join(HERE, "_hostile.py"), *argv],
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        errors="backslashreplace",
        cwd=workdir,
    )
    timed_out = False
    try:
        out, err = proc.communicate(timeout=timeout + 10)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate()
        timed_out = True
    seconds = time.monotonic() - started
    tail: list[str] = []
    if os.path.exists(log_path):
        with open(log_path, encoding="utf-8", errors="backslashreplace") as fh:
            tail = [line.rstrip("\n")[:400] for line in fh.readlines()[-30:]]
    result = None
    if os.path.exists(result_path):
        with open(result_path, encoding="utf-8") as fh:
            result = json.load(fh)
    return ChildResult(argv, proc.returncode, out, err, tail, result, seconds, timed_out)


def expect_ok(child: ChildResult, what: str = "") -> None:
    """Fails the calling test with the child's story unless it ended well."""
    if not child.ok:
        import pytest

        pytest.fail(child.explain(what), pytrace=False)


@dataclasses.dataclass
class Finding:
    callable: str
    problem: str
    detail: str


def fuzz_module(
    module: str, workdir: str, timeout: float = 120, restarts: int = 3
) -> tuple[list[Finding], dict]:
    """Runs the hostile harness on ``module`` in a child process.  When the
    child dies, the callable it was calling is left out and the harness runs
    again, so that one run reports every callable that crashes."""
    findings: list[Finding] = []
    skip: list[str] = []
    stats: dict = {}
    for _ in range(restarts + 1):
        os.environ["KESTRUN_HOSTILE_SKIP"] = ",".join(skip)
        try:
            child = run_child(["fuzz", module], workdir, timeout)
        finally:
            del os.environ["KESTRUN_HOSTILE_SKIP"]
        if child.result is not None:
            stats = {k: v for k, v in child.result.items() if k not in ("failures", "outcomes")}
            for f in child.result["failures"]:
                findings.append(
                    Finding(
                        f["callable"],
                        f["problem"],
                        f"call: {f['callable']} {f['call']}\n    ({f['where']})",
                    )
                )
        if child.ok:
            break
        label = _last_label(child.log_tail)
        findings.append(Finding(label or "?", child.how_it_ended(), child.explain()))
        if not label or label in skip or label.startswith("thread"):
            break
        skip.append(label)
    return findings, stats


def _last_label(tail: list[str]) -> str | None:
    for line in reversed(tail):
        parts = line.split(" ", 2)
        if (
            len(parts) >= 2
            and (parts[0].isdigit() or parts[0].startswith("thread"))
            and "." in parts[1]
        ):
            return parts[1] if parts[1] != "gc.collect" else None
    return None


if __name__ == "__main__":
    sys.exit(child_main(sys.argv[1:]))
