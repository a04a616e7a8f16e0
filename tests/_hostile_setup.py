"""Child modes about a module's set-up: ``before-setup`` (functions of a
module object whose set-up has not run) and ``retry`` (an import of the
set-up fails, then the module is imported again)."""

from __future__ import annotations

import builtins
import importlib
import importlib.util
import pickle
import sys

import _surface
from _hostile_base import Log, _chain, _state
from _surface import Surface, fresh


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
