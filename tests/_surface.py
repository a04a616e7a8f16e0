"""The public surface of the native modules, found by looking, not by listing.

Every dotted name in ``kestrun.NATIVE_MODULES`` that imports is inspected: its
own module-level functions, the classes it defines, their constructors,
methods, attributes and generic slots.  The generic tests (hostile arguments,
reference counts, signatures, the module frame) run over what is found here,
so a module that lands later is covered without editing this file.

Arguments are found generically too: argument lists are built from plain
values, guided by parameter names, and sorted by outcome.  A list that
returns normally is *valid*; one that raises ``TypeError``, ``ValueError`` or
``OverflowError`` is *invalid*.
"""

from __future__ import annotations

import ast
import dataclasses
import functools
import importlib
import inspect
import itertools
import os
import random
import re
import reprlib
import types
from collections.abc import Callable, Iterator
from typing import Any

import kestrun

#: The plain values argument lists are built from.
PLAIN_VALUES: tuple[Any, ...] = (0, 1, 16, 64, 0.5, "numpy", None, True, [], {}, ())
#: A few more plain shapes that typical parameters take (a shape, a history of
#: pairs, a list of names, a 16-byte header).
EXTRA_VALUES: tuple[Any, ...] = (
    (4, 4),
    [(0.0, 1.0), (1.0, 2.0)],
    ["numpy", "numpy"],
    bytes(16),
    bytearray(16),
    -1,
    2.0,
)
INVALID_TYPES = (TypeError, ValueError, OverflowError)

# Parameter-name fragments and the plain value such a parameter most likely
# takes; the first fragment found in a name wins ("available_bytes" is a size,
# "gpu_available" a truth value).
_NAME_HINTS: tuple[tuple[str, Any], ...] = (
    ("size", 16),
    ("bytes", 16),
    ("count", 16),
    ("chunks", 16),
    ("align", 16),
    ("offset", 0),
    ("index", 0),
    ("bit", 1),
    ("delta", 1),
    ("value", 16),
    ("is_", True),
    ("has_", True),
    ("available", True),
    ("enabled", True),
    ("changed", False),
    ("shape", (4, 4)),
    ("history", [(0.0, 1.0), (1.0, 2.0)]),
    ("patterns", ["numpy", "numpy"]),
    ("header", bytes(16)),
    ("data", bytes(16)),
    ("buffer", bytearray(16)),
    ("name", "numpy"),
    ("type", "numpy"),
    ("operation", "numpy"),
    ("message", "numpy"),
    ("pool", "numpy"),
    ("framework", "numpy"),
    ("code", "numpy"),
    ("capability", "numpy"),
    ("_id", "numpy"),
    ("key", "numpy"),
    ("ratio", 0.5),
    ("rate", 0.5),
    ("threshold", 0.5),
    ("score", 0.5),
    ("fit", 0.5),
    ("factor", 0.5),
    ("intensity", 0.5),
    ("pressure", 0.5),
    ("confidence", 0.5),
    ("potential", 0.5),
    ("time", 1.0),
    ("interval", 1.0),
    ("seconds", 1.0),
    ("config", {}),
    ("metrics", {}),
    ("ledger", {}),
)
_PLAIN_TYPES = (int, float, str, bytes, bytearray, type(None), bool, list, tuple, dict)

_short_repr = reprlib.Repr()
_short_repr.maxstring = 40
_short_repr.maxother = 40
_short_repr.maxlist = _short_repr.maxtuple = _short_repr.maxdict = 6


def describe(value: Any) -> str:
    """A short description of a plain value; other objects (subclasses of the
    built-in types included) are named by their type, never asked to describe
    themselves."""
    if type(value) in _PLAIN_TYPES:
        try:
            return _short_repr.repr(value)
        except Exception:  # a container holding something odd
            return f"<{type(value).__name__}>"
    return f"<{type(value).__qualname__} instance>"


def describe_call(args: tuple, kwargs: dict) -> str:
    parts = [describe(a) for a in args] + [f"{k}={describe(v)}" for k, v in kwargs.items()]
    return "(" + ", ".join(parts) + ")"


def fresh(value: Any) -> Any:
    """A copy of the plain containers in ``value`` (callees may change them);
    other objects, instances of the native types included, are shared."""
    if type(value) is list:
        return [fresh(v) for v in value]
    if type(value) is tuple:
        return tuple(fresh(v) for v in value)
    if type(value) is dict:
        return {k: fresh(v) for k, v in value.items()}
    if type(value) is bytearray:
        return bytearray(value)
    return value


class SurfaceError(Exception):
    """Something of a module's surface could not be reached generically."""


# ---------------------------------------------------------------- entries


@dataclasses.dataclass(eq=False)
class Entry:
    """One public callable: a module function, a constructor, a method, one
    access of an attribute (get, set, delete) or one generic slot."""

    module: str
    kind: str  # function | constructor | method | get | set | delete | slot
    name: str
    owner: type | None = None
    obj: Any = None
    signature: inspect.Signature | None = None
    native: bool = True

    @property
    def short(self) -> str:
        return self.module.rsplit(".", 1)[-1]

    @property
    def label(self) -> str:
        if self.kind == "function":
            return f"{self.short}.{self.name}"
        owner = f"{self.short}.{self.owner.__name__}"
        if self.kind == "constructor":
            return f"{owner}()"
        if self.kind == "method":
            return f"{owner}.{self.name}"
        if self.kind == "slot":
            return f"{owner}<{self.name}>"
        return f"{owner}.{self.name}[{self.kind}]"

    @property
    def needs_instance(self) -> bool:
        return self.kind in ("method", "get", "set", "delete", "slot")

    def call(self, instance: Any, args: tuple = (), kwargs: dict | None = None) -> Any:
        kwargs = kwargs or {}
        kind = self.kind
        if kind == "function":
            return self.obj(*args, **kwargs)
        if kind == "constructor":
            return self.owner(*args, **kwargs)
        if kind == "method":
            return getattr(instance, self.name)(*args, **kwargs)
        if kind == "get":
            return getattr(instance, self.name)
        if kind == "set":
            return setattr(instance, self.name, args[0] if args else None)
        if kind == "delete":
            return delattr(instance, self.name)
        if self.name == "repr":
            return repr(instance)
        if self.name == "len":
            return len(instance)
        if self.name == "bool":
            return bool(instance)
        if self.name == "hash":
            return hash(instance)
        if self.name == "eq":
            return instance == (args[0] if args else None)
        if self.name == "iter":
            return list(itertools.islice(iter(instance), 64))
        raise AssertionError(self.name)

    def parameters(self) -> list[inspect.Parameter]:
        """The parameters a caller fills in (``self`` already dropped)."""
        only = inspect.Parameter.POSITIONAL_ONLY
        if self.kind == "set":
            return [inspect.Parameter("value", only)]
        if self.kind == "slot":
            return [inspect.Parameter("other", only)] if self.name == "eq" else []
        if self.kind in ("get", "delete") or self.signature is None:
            return []
        return list(self.signature.parameters.values())


def _signature(obj: Any, drop_first: bool) -> inspect.Signature | None:
    try:
        sig = inspect.signature(obj)
    except (TypeError, ValueError):
        return None
    params = list(sig.parameters.values())
    if (
        drop_first
        and params
        and params[0].kind
        in (inspect.Parameter.POSITIONAL_ONLY, inspect.Parameter.POSITIONAL_OR_KEYWORD)
    ):
        params = params[1:]
    return sig.replace(parameters=params)


def _is_dunder(name: str) -> bool:
    return name.startswith("__") and name.endswith("__")


def is_python_class(cls: type) -> bool:
    """A class written in Python (a class statement run by the module), as
    opposed to an extension type."""
    return any(
        isinstance(v, (types.FunctionType, classmethod, staticmethod, property))
        and isinstance(getattr(v, "__func__", getattr(v, "fget", v)), types.FunctionType)
        for v in vars(cls).values()
    ) or "__firstlineno__" in vars(cls)


def _class_entries(module: str, cls: type) -> list[Entry]:
    native = not is_python_class(cls)
    ctor_sig = _signature(cls, drop_first=False)
    entries = [Entry(module, "constructor", cls.__name__, cls, cls, ctor_sig, native)]
    for name, value in vars(cls).items():
        if _is_dunder(name):
            continue
        if isinstance(value, (types.MethodDescriptorType, types.FunctionType)):
            entries.append(
                Entry(module, "method", name, cls, value, _signature(value, True), native)
            )
        elif isinstance(value, types.ClassMethodDescriptorType):
            entries.append(
                Entry(module, "method", name, cls, value, _signature(value, True), native)
            )
        elif isinstance(value, classmethod):
            entries.append(
                Entry(module, "method", name, cls, value, _signature(value.__func__, True), native)
            )
        elif isinstance(value, staticmethod):
            entries.append(
                Entry(module, "method", name, cls, value, _signature(value.__func__, False), native)
            )
        elif isinstance(value, types.BuiltinFunctionType):  # a native static method
            entries.append(
                Entry(module, "method", name, cls, value, _signature(value, False), native)
            )
        elif isinstance(value, (property, types.GetSetDescriptorType, types.MemberDescriptorType)):
            for access in ("get", "set", "delete"):
                entries.append(Entry(module, access, name, cls, value, None, native))
    slots = ["repr", "bool", "hash", "eq"]
    if hasattr(cls, "__len__"):
        slots.insert(1, "len")
    if hasattr(cls, "__iter__"):
        slots.append("iter")
    entries += [Entry(module, "slot", s, cls, None, None, native) for s in slots]
    return entries


def _own_callables(module: types.ModuleType) -> tuple[list[Entry], list[type]]:
    """The module's own functions and classes.  What it binds from elsewhere
    (standard-library modules, ``typing`` names, a logger) is not its surface:
    modules and loggers are not functions, and the rest name another module
    in ``__module__``."""
    name = module.__name__
    functions, classes = [], []
    for attr, value in vars(module).items():
        if _is_dunder(attr):
            continue
        if isinstance(value, type):
            if value.__module__ == name:
                classes.append(value)
        elif isinstance(value, types.BuiltinFunctionType):
            if value.__self__ is module:
                functions.append(
                    Entry(name, "function", attr, None, value, _signature(value, False))
                )
        elif isinstance(value, types.FunctionType):
            if value.__module__ == name:
                functions.append(
                    Entry(
                        name, "function", attr, None, value, _signature(value, False), native=False
                    )
                )
    return functions, classes


# ---------------------------------------------------------------- argument search


def _hint(name: str) -> Any:
    lowered = name.lower()
    for fragment, value in _NAME_HINTS:
        if fragment in lowered:
            return value
    return 1


def _bind(params: list[inspect.Parameter], values: list[Any]) -> tuple[tuple, dict]:
    args, kwargs = [], {}
    for p, v in zip(params, values):
        if p.kind == p.KEYWORD_ONLY:
            kwargs[p.name] = v
        elif p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD):
            args.append(v)
    return tuple(args), kwargs


def candidate_calls(
    params: list[inspect.Parameter] | None,
    rng: random.Random,
    tries: int,
    hints: dict[str, Any] | None = None,
) -> Iterator[tuple[tuple, dict]]:
    """Argument lists of plain values for parameters ``params`` (``None``: no
    signature known), most promising first.  ``hints`` maps parameter names to
    likely values (from the module's type stub); names guide the rest."""
    pool = PLAIN_VALUES + EXTRA_VALUES
    if params is None:
        yield (), {}
        for n in (1, 2, 3, 4):
            for v in PLAIN_VALUES:
                yield (v,) * n, {}
        for _ in range(tries):
            yield tuple(rng.choice(pool) for _ in range(rng.randint(0, 5))), {}
        return
    hints = hints or {}

    def guess(p: inspect.Parameter) -> Any:
        return hints[p.name] if p.name in hints else _hint(p.name)

    fixed = [p for p in params if p.kind not in (p.VAR_POSITIONAL, p.VAR_KEYWORD)]
    required = [p for p in fixed if p.default is p.empty]
    shapes = [required] if len(required) == len(fixed) else [required, fixed]
    for ps in shapes:
        base = [guess(p) for p in ps]
        yield _bind(ps, base)
        yield _bind(ps, [p.default if p.default is not p.empty else guess(p) for p in ps])
        for v in PLAIN_VALUES:
            yield _bind(ps, [v] * len(ps))
        # One position at a time: finds the value a single parameter needs and
        # the errors each parameter raises.
        for i in range(len(ps)):
            for v in pool:
                yield _bind(ps, base[:i] + [v] + base[i + 1 :])
    for _ in range(tries):
        ps = rng.choice(shapes)
        yield _bind(ps, [rng.choice(pool) if rng.random() < 0.5 else guess(p) for p in ps])


@dataclasses.dataclass
class Probe:
    """Argument lists found for one entry, by outcome."""

    valid: list[tuple[tuple, dict]] = dataclasses.field(default_factory=list)
    invalid: list[tuple[tuple, dict, str]] = dataclasses.field(default_factory=list)


def _outcome(call: Callable[[], Any]) -> tuple[str, str]:
    try:
        call()
    except INVALID_TYPES as exc:
        return "invalid", f"{type(exc).__name__}: {str(exc)[:60]}"
    except Exception as exc:  # AttributeError, KeyError, SystemError...: neither
        return "other", type(exc).__name__
    return "valid", ""


# ---------------------------------------------------------------- type stubs


@dataclasses.dataclass
class Stub:
    """A module's ``.pyi``: its function definitions by qualified name
    ("func", "Class.method") and its module-level aliases."""

    path: str
    defs: dict[str, list[ast.FunctionDef | ast.AsyncFunctionDef]]
    aliases: dict[str, str]
    protocols: dict[str, ast.ClassDef] = dataclasses.field(default_factory=dict)

    def annotation_text(self, node: ast.expr | None) -> str:
        if node is None:
            return ""
        text = ast.unparse(node)
        for _ in range(3):  # aliases of aliases
            for name, value in self.aliases.items():
                text = re.sub(rf"\b{re.escape(name)}\b", value, text)
        return text


def stub_path(module: types.ModuleType) -> str:
    """Where the type stub of an extension module lies: beside it."""
    folder = os.path.dirname(module.__file__ or "")
    return os.path.join(folder, module.__name__.rsplit(".", 1)[-1] + ".pyi")


@functools.cache
def read_stub(path: str) -> Stub | None:
    if not os.path.exists(path):
        return None
    with open(path, encoding="utf-8") as fh:
        tree = ast.parse(fh.read(), path)
    defs: dict[str, list] = {}
    aliases: dict[str, str] = {}
    protocols: dict[str, ast.ClassDef] = {}
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            defs.setdefault(node.name, []).append(node)
        elif isinstance(node, ast.ClassDef):
            if any(ast.unparse(base).split(".")[-1].startswith("Protocol") for base in node.bases):
                protocols[node.name] = node
            for sub in node.body:
                if isinstance(sub, (ast.FunctionDef, ast.AsyncFunctionDef)):
                    defs.setdefault(f"{node.name}.{sub.name}", []).append(sub)
        elif (
            isinstance(node, ast.Assign)
            and len(node.targets) == 1
            and isinstance(node.targets[0], ast.Name)
        ):
            aliases[node.targets[0].id] = ast.unparse(node.value)
        elif (
            isinstance(node, ast.AnnAssign)
            and isinstance(node.target, ast.Name)
            and node.value is not None
        ):
            aliases[node.target.id] = ast.unparse(node.value)
    return Stub(path, defs, aliases, protocols)


_ANNOTATION_VALUES: tuple[tuple[str, Any], ...] = (
    ("tuple", (4, 4)),
    ("list[dict", [{}]),
    ("list[str", ["numpy", "numpy"]),
    ("list", [(0.0, 1.0), (1.0, 2.0)]),
    ("dict", {}),
    ("bytearray", bytearray(16)),
    ("bytes", bytes(16)),
    ("str", "numpy"),
    ("bool", True),
    ("float", 0.5),
    ("supportsfloat", 0.5),
    ("int", 16),
    ("supportsint", 16),
    ("supportsindex", 16),
)


def protocol_fake(stub: Stub, name: str, depth: int = 0) -> Any:
    """An object following a Protocol the stub declares (the objects a module
    is handed and calls, such as a ledger): each method and property answers
    a value of its annotated result type, Protocols within included."""
    namespace: dict[str, Any] = {"__repr__": lambda self: f"<{name} fake>"}
    for item in stub.protocols[name].body:
        if isinstance(item, (ast.FunctionDef, ast.AsyncFunctionDef)):
            value = stub_value(stub, stub.annotation_text(item.returns), depth + 1)
            value = None if value is ... else value
            if any(ast.unparse(d) == "property" for d in item.decorator_list):
                namespace[item.name] = property(lambda self, v=value: v)
            else:
                namespace[item.name] = lambda self, *args, v=value, **kwargs: v
        elif isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
            value = stub_value(stub, stub.annotation_text(item.annotation), depth + 1)
            namespace[item.target.id] = None if value is ... else value
    return type(f"{name.lstrip('_')}Fake", (), namespace)()


def stub_value(stub: Stub, text: str, depth: int = 0) -> Any:
    """A value of the type an annotation of the stub names: a plain value, or
    a fake of one of the stub's Protocols; ``...`` for none."""
    head = text.replace(" ", "").split("|")[0]
    if head in stub.protocols and depth < 4:
        return protocol_fake(stub, head, depth)
    return value_for_annotation(text)


def value_for_annotation(text: str) -> Any:
    """A plain value of the type an annotation names, or ``...`` for none."""
    head = text.replace(" ", "").split("|")[0].lower()
    for prefix, value in _ANNOTATION_VALUES:
        if head.startswith(prefix):
            return value
    return ...


# ---------------------------------------------------------------- the surface


class Surface:
    """What one loaded native module offers, with ways to reach all of it."""

    def __init__(self, module: types.ModuleType) -> None:
        self.module = module
        self.name = module.__name__
        self.short = self.name.rsplit(".", 1)[-1]
        self.functions, self.classes = _own_callables(module)
        self.entries: list[Entry] = list(self.functions)
        for cls in self.classes:
            self.entries += _class_entries(self.name, cls)
        self._factories: dict[type, Callable[[], Any]] = {}
        self._unreachable: dict[type, str] = {}
        self._recipes: dict[type, tuple[Callable[..., Any], tuple, dict]] = {}
        self._probes: dict[int, Probe] = {}
        self._rng = random.Random(f"surface:{self.name}")
        self.stub = read_stub(stub_path(module)) if getattr(module, "__file__", None) else None

    def stub_defs(self, entry: Entry) -> list[ast.FunctionDef | ast.AsyncFunctionDef]:
        """The stub's definitions of ``entry`` (several for overloads)."""
        if self.stub is None:
            return []
        if entry.kind == "function":
            return self.stub.defs.get(entry.name, [])
        if entry.kind == "constructor":
            return self.stub.defs.get(f"{entry.name}.__new__") or self.stub.defs.get(
                f"{entry.name}.__init__", []
            )
        if entry.kind == "method":
            return self.stub.defs.get(f"{entry.owner.__name__}.{entry.name}", [])
        return []

    def hints(self, entry: Entry) -> dict[str, Any]:
        """Likely values per parameter name, from the stub's annotations."""
        out: dict[str, Any] = {}
        for node in self.stub_defs(entry)[:1]:
            a = node.args
            for arg in a.posonlyargs + a.args + a.kwonlyargs:
                value = stub_value(self.stub, self.stub.annotation_text(arg.annotation))
                if value is not ...:
                    out[arg.arg] = value
        return out

    def __repr__(self) -> str:
        return f"<Surface {self.name}: {len(self.entries)} entries>"

    @property
    def native_classes(self) -> list[type]:
        return [c for c in self.classes if not is_python_class(c)]

    # ---- instances

    def factory(self, cls: type) -> Callable[[], Any]:
        """A zero-argument callable making a fresh instance of ``cls``;
        raises SurfaceError naming the type when nothing generic works."""
        if cls in self._factories:
            return self._factories[cls]
        if cls in self._unreachable:
            raise SurfaceError(self._unreachable[cls])
        found = self._find_factory(cls)
        if found is None:
            self._unreachable[cls] = (
                f"{self.name}.{cls.__name__}: no constructor call with plain arguments and no "
                f"module function returned an instance"
            )
            raise SurfaceError(self._unreachable[cls])
        self._factories[cls] = found
        return found

    def _find_factory(self, cls: type) -> Callable[[], Any] | None:
        sig = _signature(cls, drop_first=False)
        params = list(sig.parameters.values()) if sig else None
        hints = self.hints(Entry(self.name, "constructor", cls.__name__, cls))
        for args, kwargs in candidate_calls(params, self._rng, 120, hints):
            try:
                obj = cls(*fresh(args), **fresh(kwargs))
            except Exception:
                continue
            if isinstance(obj, cls):
                self._recipes[cls] = (cls, args, kwargs)
                return functools.partial(_construct, cls, args, kwargs)
        for entry in self.functions:  # a factory function or a singleton getter
            for args, kwargs in self.probe(entry).valid:
                try:
                    obj = entry.obj(*fresh(args), **fresh(kwargs))
                except Exception:
                    continue
                if isinstance(obj, cls):
                    self._recipes[cls] = (entry.obj, args, kwargs)
                    return functools.partial(_construct, entry.obj, args, kwargs)
        return None

    def recipe(self, cls: type) -> tuple[Callable[..., Any], tuple, dict] | None:
        """How instances of ``cls`` are made: (callable, args, kwargs)."""
        try:
            self.factory(cls)
        except SurfaceError:
            return None
        return self._recipes.get(cls)

    def instances(self) -> dict[type, Any]:
        """One fresh instance of every class that can be made."""
        made = {}
        for cls in self.classes:
            try:
                made[cls] = self.factory(cls)()
            except SurfaceError:
                pass
        return made

    def unreachable(self) -> list[str]:
        """Classes of this module for which no instance could be made."""
        out = []
        for cls in self.classes:
            try:
                self.factory(cls)
            except SurfaceError as exc:
                out.append(str(exc))
        return out

    # ---- arguments

    def probe(self, entry: Entry, tries: int = 60) -> Probe:
        """Valid and invalid argument lists for ``entry`` (cached).  Methods
        and attributes are tried on a fresh instance each time."""
        key = id(entry)
        if key in self._probes:
            return self._probes[key]
        probe = Probe()
        self._probes[key] = probe
        make = None
        if entry.needs_instance:
            try:
                make = self.factory(entry.owner)
            except SurfaceError:
                return probe
        if entry.kind in ("get", "delete") or entry.kind == "slot" and entry.name != "eq":
            probe.valid.append(((), {}))
            return probe
        if entry.kind == "set" or entry.name == "eq":
            values = list(PLAIN_VALUES) + [f() for f in self._factories.values()]
            calls = [((v,), {}) for v in values]
        else:
            params = entry.parameters() if entry.signature is not None else None
            calls = candidate_calls(params, self._rng, tries, self.hints(entry))
        seen_invalid: set[str] = set()
        for n, (args, kwargs) in enumerate(calls):
            if n >= tries + 300 or (probe.valid and len(probe.invalid) >= 3):
                break
            instance = make() if make else None
            outcome, what = _outcome(
                lambda instance=instance, args=args, kwargs=kwargs: entry.call(
                    instance, fresh(args), fresh(kwargs)
                )
            )
            if outcome == "valid" and len(probe.valid) < 3 and (args, kwargs) not in probe.valid:
                probe.valid.append((args, kwargs))
            elif outcome == "invalid" and what.split(":")[0] not in seen_invalid:
                seen_invalid.add(what.split(":")[0])
                probe.invalid.append((args, kwargs, what))
        if probe.valid and entry.kind not in ("set", "slot"):
            # One positional argument too many is always a binding error.
            args, kwargs = probe.valid[0]
            extra = (args + (0,) * (len(entry.parameters()) + 1 - len(args)), {})
            instance = make() if make else None
            outcome, what = _outcome(lambda: entry.call(instance, *fresh(extra)))
            if outcome == "invalid":
                probe.invalid.append((*extra, what))
        return probe


def _construct(make: Callable[..., Any], args: tuple, kwargs: dict) -> Any:
    return make(*fresh(args), **fresh(kwargs))


# ---------------------------------------------------------------- modules


@dataclasses.dataclass
class Discovery:
    surfaces: list[Surface]
    not_built: list[str]
    failed: dict[str, str]  # dotted name -> "ExcType: message"

    def surface(self, name: str) -> Surface:
        for s in self.surfaces:
            if s.name == name:
                return s
        raise KeyError(name)

    @property
    def built(self) -> list[str]:
        return [s.name for s in self.surfaces]


@functools.cache
def discover() -> Discovery:
    """Imports every native module: built ones are inspected, missing ones
    (``ModuleNotFoundError`` naming the module itself) are skipped, anything
    else is recorded as a failure."""
    surfaces, not_built, failed = [], [], {}
    for name in kestrun.NATIVE_MODULES:
        try:
            module = importlib.import_module(name)
        except ModuleNotFoundError as exc:
            if exc.name == name:
                not_built.append(name)
                continue
            failed[name] = f"{type(exc).__name__}: {exc}"
            continue
        except Exception as exc:
            failed[name] = f"{type(exc).__name__}: {exc}"
            continue
        surfaces.append(Surface(module))
    return Discovery(surfaces, not_built, failed)


def built_modules() -> list[str]:
    return discover().built


def module_strings(module: types.ModuleType, limit: int = 300) -> list[str]:
    """String literals of an extension module's binary (keys, names, message
    texts it compares against), for building inputs that reach deep paths."""
    path = getattr(module, "__file__", None)
    if not path:
        return []
    with open(path, "rb") as fh:
        blob = fh.read()
    found = []
    seen = set()
    for m in re.finditer(rb"(?<=\x00)[a-z][a-z0-9_ .%:'-]{2,60}(?=\x00)", blob):
        text = m.group().decode("ascii")
        if text in seen or text.startswith(("gcc", "glibc", "cxa", "lib")) or ".so" in text:
            continue
        seen.add(text)
        found.append(text)
        if len(found) >= limit:
            break
    return found
