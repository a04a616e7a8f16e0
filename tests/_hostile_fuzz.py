"""Child mode ``fuzz``: hostile calls of every callable of a module, then a
threaded phase on shared instances."""

from __future__ import annotations

import gc
import importlib
import importlib.util
import random
import sys
import threading
import time

import _surface
from _hostile_base import (
    CALLBACKS,
    HANG_SECONDS,
    THREADS,
    Failures,
    HangGuard,
    Log,
    _state,
    call_budget,
    seed,
    slowdown,
)
from _hostile_calls import _entries, _reachable, hostile_arguments, invoke, learn_keys
from _hostile_values import Instances, Values
from _surface import Surface, fresh


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
    # Hostile code calls back into the object under test and the shared ones.
    CALLBACKS.arm(
        [(e, valid[id(e)]) for e in entries if valid[id(e)]],
        lambda: instances.shared,
        log,
        random.Random(f"{seed()}:{module_name}:callbacks"),
    )
    guard = HangGuard(log, HANG_SECONDS)
    started = time.monotonic()
    for calls, entry in enumerate(schedule):
        guard.step()
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
    guard.stop()
    CALLBACKS.disarm()
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
    CALLBACKS.live = lambda: shared
    HangGuard(log, HANG_SECONDS + 1.5).step()
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
