"""Hostile values: objects whose protocols misbehave while the call under
test runs (raise, answer the wrong type, change the container they sit in,
release the interpreter lock), edge numbers, odd objects, misbehaving
subclasses of the module's own types, and ``Values``, which draws them."""

from __future__ import annotations

import gc
import math
import random
import time
from collections.abc import Callable
from typing import Any

import _surface
from _hostile_base import Boom, armed, call_back
from _surface import Surface, describe, fresh


class NotBool:
    """A comparison result whose truth value cannot be taken."""

    def __bool__(self) -> bool:
        call_back("NotBool.__bool__")
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
            act(self.action, self.target, f"Trap {protocol}")
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

        def method(*args, **kwargs):
            if armed() and self._rng.random() < 0.3:
                call_back(f"Chameleon.{name}()")
            return self._make()

        return method


class Reenterer(Trap):
    """Calls back into the module (``call_back``) from every protocol, from
    every method (any attribute not a dunder is one: a replaced counter, a
    ledger), and from its finaliser, then answers plausibly: for native code
    that calls out to Python while it holds a lock or state of its own."""

    def __init__(self, wrong: bool = False) -> None:
        super().__init__("callback", wrong=wrong)

    def __repr__(self) -> str:
        return "<Reenterer>"

    def __getattr__(self, name: str):
        if name.startswith("__"):
            raise AttributeError(name)

        def method(*args, **kwargs):
            call_back(f"Reenterer.{name}()")
            return 1

        return method

    def __del__(self) -> None:
        call_back("Reenterer.__del__")


def act(action: str, target: Any, where: str = "hostile code") -> None:
    if action == "callback":
        call_back(where)
        return
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
            call_back(what)
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
            self.pick(MUTATIONS + ("gc", "callback"))
            if target is not None
            else self.pick(("raise", "sleep", "gc", "none", "callback"))
        )
        if action == "gc" and rng.random() < 0.7:
            action = "sleep"  # collections are slow; keep them rare
        wrong = rng.random() < 0.25
        t = Trap(action, target, wrong, once=rng.random() < 0.5)
        return f"Trap({action}{',wrong' if wrong else ''})", t

    def odd_object(self) -> tuple[str, Any]:
        k = self.rng.randrange(13)
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
        if k == 11:
            return "Reenterer", Reenterer(wrong=self.rng.random() < 0.25)
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
            action = self.pick(MUTATIONS + ("callback",))
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
                    if random.random() < 0.3:
                        call_back(f"{name} of a subclass")
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
