"""One declaration of each native callable, checked three ways.

The text signature (what ``inspect.signature`` reads from the docstring), the
argument binder (what the callable accepts) and the type stub beside the
module must name the same parameters, in the same order, of the same kinds,
with defaults in the same places.  A name changed in one place only fails
here.
"""

from __future__ import annotations

import ast
import inspect
import re

import _surface
import pytest
from _surface import Entry, Surface

DISCOVERY = _surface.discover()
P = inspect.Parameter

# The binder's own TypeErrors: a keyword or a count it does not accept.
BINDING_ERROR = re.compile(
    r"unexpected keyword argument|invalid keyword argument|missing \d+ required|required argument|"
    r"takes (no|\d+|from \d+ to \d+|at (most|least) \d+) (positional |keyword )?argument|"
    r"takes no arguments|takes no keyword arguments|multiple values for"
)


def native_callables() -> list[tuple[Surface, Entry]]:
    return [
        (s, e)
        for s in DISCOVERY.surfaces
        for e in s.entries
        if e.native and e.kind in ("function", "method", "constructor")
    ]


CALLABLES = native_callables()
IDS = [e.label for _, e in CALLABLES]


def shape(params) -> list[tuple[str, str, bool]]:
    return [(p.name, p.kind.name, p.default is not P.empty) for p in params]


def stub_shape(
    node: ast.FunctionDef | ast.AsyncFunctionDef, drop_first: bool
) -> list[tuple[str, str, bool]]:
    """The parameters of a stub definition as (name, kind, has default)."""
    a = node.args
    positional = [(arg, "POSITIONAL_ONLY") for arg in a.posonlyargs] + [
        (arg, "POSITIONAL_OR_KEYWORD") for arg in a.args
    ]
    defaults = [False] * (len(positional) - len(a.defaults)) + [True] * len(a.defaults)
    out = []
    for (arg, kind), has_default in zip(positional, defaults):
        name = arg.arg
        if name.startswith("__") and not name.endswith("__"):  # the old positional-only spelling
            name, kind = name[2:], "POSITIONAL_ONLY"
        out.append((name, kind, has_default))
    if drop_first and out:
        out = out[1:]
    if a.vararg:
        out.append((a.vararg.arg, "VAR_POSITIONAL", False))
    out += [(arg.arg, "KEYWORD_ONLY", d is not None) for arg, d in zip(a.kwonlyargs, a.kw_defaults)]
    if a.kwarg:
        out.append((a.kwarg.arg, "VAR_KEYWORD", False))
    return out


@pytest.mark.parametrize("surface, entry", CALLABLES, ids=IDS)
def test_text_signature_exists(surface: Surface, entry: Entry) -> None:
    assert entry.signature is not None, f"{entry.label} has no text signature"


@pytest.mark.parametrize("surface, entry", CALLABLES, ids=IDS)
def test_binder_accepts_every_name_of_the_text_signature(surface: Surface, entry: Entry) -> None:
    if entry.signature is None:
        pytest.skip("no text signature")
    params = [
        p
        for p in entry.signature.parameters.values()
        if p.kind not in (P.VAR_POSITIONAL, P.VAR_KEYWORD)
    ]
    valid = surface.probe(entry).valid
    known = {}
    if valid:
        args, kwargs = valid[0]
        known = {p.name: v for p, v in zip([p for p in params if p.kind != P.KEYWORD_ONLY], args)}
        known.update(kwargs)
    hints = surface.hints(entry)
    value = {
        p.name: known.get(
            p.name, hints.get(p.name, p.default if p.default is not P.empty else None)
        )
        for p in params
    }
    args = tuple(value[p.name] for p in params if p.kind == P.POSITIONAL_ONLY)
    kwargs = {p.name: value[p.name] for p in params if p.kind != P.POSITIONAL_ONLY}
    instance = surface.factory(entry.owner)() if entry.needs_instance else None
    try:
        entry.call(instance, _surface.fresh(args), _surface.fresh(kwargs))
    except TypeError as exc:
        assert not BINDING_ERROR.search(str(exc)), (
            f"{entry.label}{_surface.describe_call(args, kwargs)}: {exc}"
        )
    except Exception:
        pass  # a value the callable refuses is fine: only the binding is checked


@pytest.mark.parametrize("surface, entry", CALLABLES, ids=IDS)
def test_stub_declares_the_text_signature(surface: Surface, entry: Entry) -> None:
    if entry.signature is None:
        pytest.skip("no text signature")
    if surface.stub is None:
        pytest.fail(f"{surface.name} has no type stub at {_surface.stub_path(surface.module)}")
    defs = surface.stub_defs(entry)
    assert defs, f"{entry.label} is missing from {surface.stub.path}"
    expected = shape(entry.signature.parameters.values())
    declared = [
        stub_shape(
            d,
            drop_first=entry.kind in ("method", "constructor")
            and not any(
                isinstance(x, ast.Name) and x.id == "staticmethod" for x in d.decorator_list
            ),
        )
        for d in defs
    ]
    assert expected in declared, (
        f"{entry.label}\n  text signature: {expected}\n"
        f"  stub:           {declared[0] if len(declared) == 1 else declared}"
    )


def test_every_native_module_has_callables_to_check() -> None:
    """A module whose callables are all missing here would pass vacuously."""
    checked = {s.name for s, _ in CALLABLES}
    assert checked == set(DISCOVERY.built)
