"""kestrun.jit.jit_governor as its callers see it."""

from __future__ import annotations

import ctypes
import gc
import logging
import math
import subprocess
import sys
import threading
import time
import types
import weakref

import pytest
from _models import compile_decision, threshold_update
from hypothesis import given, settings
from hypothesis import strategies as st

from kestrun.jit import jit_governor as jg
from kestrun.jit.jit_governor import FunctionMetrics as FM
from kestrun.jit.jit_governor import (
    JitGovernor,
    PolicyConfig,
    create_function_metrics,
    create_policy_config,
    get_jit_governor,
    reset_jit_governor,
)

I32_MIN, I32_MAX, U64_MAX = -(2**31), 2**31 - 1, 2**64 - 1
NOW = 1_000_000.0
NS = types.SimpleNamespace
POLICY = ("initial_threshold", "min_threshold", "max_threshold", "learning_rate", "target_speedup")
METRICS = ("call_count", "compile_count", "avg_speedup", "total_execution_time_ms")
METRICS += ("last_compiled", "last_compile_time")


class Ledger:
    """One metrics object per function; counts its queries."""

    def __init__(self, metrics: object = None, func_id: str | None = "f") -> None:
        self.records = {func_id: metrics}
        self.calls = 0

    def get_metrics(self, func_id):
        self.calls += 1
        return self.records[func_id]


def fields(obj, names):
    return [getattr(obj, n) for n in names]


def run_threads(n: int, target) -> None:
    threads = [threading.Thread(target=target, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


@pytest.fixture
def frozen_clock(monkeypatch):
    monkeypatch.setattr(jg, "time", NS(time=lambda: NOW))


@pytest.fixture
def fresh_singleton():
    reset_jit_governor()
    yield
    reset_jit_governor()


# ---------------------------------------------------------------- module frame


def test_policy_lock_is_a_module_lock() -> None:
    # The module's names, load line, set-up and pickling are checked with
    # every other module's in test_module_frame.py.
    assert type(jg._policy_lock) is type(threading.Lock())


def test_native_tables() -> None:
    api = ctypes.pythonapi
    api.PyCapsule_GetPointer.restype = ctypes.c_void_p
    api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]

    def table(cls, *result_types, args=1):
        name = f"kestrun.jit.jit_governor.{cls.__name__}.__kestrun_ops__".encode()
        address = api.PyCapsule_GetPointer(cls.__dict__["__kestrun_ops__"], name)
        slots = (ctypes.c_void_p * len(result_types)).from_address(address)
        make = [ctypes.PYFUNCTYPE(t, *[ctypes.py_object] * args) for t in result_types]
        return address, [f(slot) for f, slot in zip(make, slots, strict=True)]

    i32, f64 = ctypes.c_int32, ctypes.c_double
    address, ops = table(PolicyConfig, i32, i32, i32, f64, f64)
    cfg = PolicyConfig(50, 5, 500, 0.25, 1.5)
    assert [op(cfg) for op in ops] == [50, 5, 500, 0.25, 1.5]
    # Every instance points to its type's table right after the object header.
    assert ctypes.c_void_p.from_address(id(cfg) + object.__basicsize__).value == address
    _, ops = table(FM, ctypes.c_uint64, ctypes.c_uint32, f64, f64)
    m = FM(U64_MAX, 2**32 - 1, 2.5, 9.0, last_compiled=7.0)
    assert [op(m) for op in ops] == [U64_MAX, 2**32 - 1, 2.5, 7.0]
    _, (threshold_fast,) = table(JitGovernor, i32, args=2)
    gov = JitGovernor(cfg)
    gov.update("f", Ledger(FM(compile_count=1, avg_speedup=3.0)))
    assert threshold_fast(gov, "f") == gov.get_threshold("f") == 38  # 50 - 0.225 * 50
    assert threshold_fast(gov, None) == 50
    with pytest.raises(TypeError, match="unhashable"):
        threshold_fast(gov, [])


# ---------------------------------------------------------------- records and factories


def test_policy_defaults_conversions_and_unchecked_setters() -> None:
    assert fields(PolicyConfig(), POLICY) == [100, 10, 10000, 0.1, 2.0]
    cfg = PolicyConfig(99.9, True, 2**31 - 1.5, 1, 3)
    assert fields(cfg, POLICY) == [99, 1, I32_MAX - 1, 1.0, 3.0]
    assert [type(v) for v in fields(cfg, POLICY)] == [int, int, int, float, float]
    cfg.min_threshold, cfg.max_threshold, cfg.learning_rate = -5, 3.99, 7
    assert fields(cfg, POLICY[1:4]) == [-5, 3, 7.0]


MIN, MAX = "min_threshold must be positive", "max_threshold must be greater than min_threshold"
RATE, TARGET = r"learning_rate must be in \(0, 1\]", "target_speedup must be positive"
BOUNDS = "initial_threshold must be within bounds"


# fmt: off
@pytest.mark.parametrize("kwargs, message", [
    ({"min_threshold": 0}, MIN),
    ({"min_threshold": -3, "max_threshold": -5, "learning_rate": 7}, MIN),  # the first failure
    ({"min_threshold": 10, "max_threshold": 10}, MAX),
    ({"max_threshold": 5, "learning_rate": 0}, MAX),
    ({"learning_rate": 0.0}, RATE), ({"learning_rate": 1.0000001}, RATE),
    ({"learning_rate": math.nan, "target_speedup": 0}, RATE),
    ({"target_speedup": math.nan}, TARGET),
    ({"target_speedup": -1, "initial_threshold": 0}, TARGET),
    ({"initial_threshold": 9}, BOUNDS), ({"initial_threshold": 10001}, BOUNDS),
])
# fmt: on
def test_policy_validation_order(kwargs, message) -> None:
    with pytest.raises(ValueError, match=f"^{message}$"):
        PolicyConfig(**kwargs)
    with pytest.raises(ValueError, match=f"^{message}$"):
        create_policy_config(**kwargs)
    for ok in ({"initial_threshold": 10}, {"initial_threshold": 10000}, {"learning_rate": 1.0}):
        PolicyConfig(**ok)


# fmt: off
@pytest.mark.parametrize("cls, name, bad, exc, message", [
    (PolicyConfig, "initial_threshold", 2**31, OverflowError, "value too large to convert to int"),
    (PolicyConfig, "min_threshold", -(2**31) - 1, OverflowError, "too large to convert to int"),
    (PolicyConfig, "max_threshold", "100", TypeError, "an integer is required"),
    (PolicyConfig, "learning_rate", "0.5", TypeError, "must be real number, not str"),
    (FM, "call_count", -1, OverflowError, "can't convert negative value to uint64_t"),
    (FM, "call_count", 2**64, OverflowError, "value too large to convert to uint64_t"),
    (FM, "compile_count", -1, OverflowError, "can't convert negative value to uint32_t"),
    (FM, "compile_count", 2**32, OverflowError, "value too large to convert to uint32_t"),
    (FM, "compile_count", None, TypeError, "an integer is required"),
    (FM, "last_compile_time", [], TypeError, "must be real number, not list"),
])
# fmt: on
def test_record_conversion_errors_leave_fields_unchanged(cls, name, bad, exc, message) -> None:
    with pytest.raises(exc, match=message):
        cls(**{name: bad})
    record, names = cls(), POLICY if cls is PolicyConfig else METRICS
    before = fields(record, names)
    with pytest.raises(exc, match=message):
        setattr(record, name, bad)
    with pytest.raises(NotImplementedError, match="^__del__$"):
        delattr(record, name)
    assert fields(record, names) == before


# fmt: off
@pytest.mark.parametrize("kwargs, stamp", [
    ({}, 0.0), ({"last_compile_time": 5.0}, 5.0),
    ({"last_compile_time": 5.0, "last_compiled": 7.0}, 7.0),
    ({"last_compiled": 0.0, "last_compile_time": 5.0}, 0.0),
    ({"last_compiled": -0.5, "last_compile_time": 5.0}, 5.0),
    ({"last_compiled": math.nan, "last_compile_time": 5.0}, 5.0),
])
# fmt: on
def test_metrics_time_stamp_has_two_names(kwargs, stamp) -> None:
    m = FM(**kwargs)
    assert m.last_compiled == m.last_compile_time == stamp
    m.last_compile_time = 11.0
    assert m.last_compiled == 11.0
    m.last_compiled = 12.0
    assert m.last_compile_time == 12.0


def test_factories() -> None:
    cfg = create_policy_config(50.7, True, 300, 1, 1)
    assert type(cfg) is PolicyConfig and fields(cfg, POLICY) == [50, 1, 300, 1.0, 1.0]
    m = create_function_metrics(3.7, 2, 1.5, 4, last_compile_time=9)
    assert type(m) is FM and fields(m, METRICS) == [3, 2, 1.5, 4.0, 9.0, 9.0]
    incorrect = r"^Argument '{}' has incorrect type \(expected int, got {}\)$"
    with pytest.raises(TypeError, match=incorrect.format("call_count", "str")):
        create_function_metrics(call_count="3")
    with pytest.raises(TypeError, match=incorrect.format("max_threshold", "bytes")):
        create_policy_config(max_threshold=b"1")
    with pytest.raises(TypeError, match="must be real number, not str"):
        create_policy_config(learning_rate="0.1")
    with pytest.raises(OverflowError, match="^value too large to convert to int$"):
        create_policy_config(initial_threshold=2**40)


# ---------------------------------------------------------------- construction and arguments


def test_configuration_sources() -> None:
    gov = JitGovernor()
    assert gov.get_threshold("x") == gov.get_threshold(None) == 100
    stats = gov.get_statistics()
    expected = [("tracked_functions", 0), ("avg_threshold", 100), ("min_threshold", 10)]
    assert list(stats.items()) == [*expected, ("max_threshold", 10000)]
    assert all(type(v) is int for v in stats.values())
    sub = type("Tuned", (PolicyConfig,), {})(initial_threshold=40)
    for cfg in (PolicyConfig(initial_threshold=40), sub):  # shared, not copied
        gov = JitGovernor(config=cfg)
        cfg.initial_threshold = 41
        assert gov.config is cfg and gov.get_threshold("f") == 41
    with pytest.raises(AttributeError):
        gov.config = PolicyConfig()  # type: ignore[misc]
    # Any other object: a new PolicyConfig from whichever attributes it has.
    assert fields(JitGovernor(object()).config, POLICY) == [100, 10, 10000, 0.1, 2.0]
    cfg = JitGovernor(NS(initial_threshold=20.9, learning_rate=0.5)).config
    assert fields(cfg, POLICY) == [20, 10, 10000, 0.5, 2.0]
    with pytest.raises(ValueError, match="^min_threshold must be positive$"):
        JitGovernor(config=NS(min_threshold=0))
    with pytest.raises(IndexError):  # only AttributeError means "missing"
        JitGovernor(type("Broken", (), {"min_threshold": property(lambda self: [][0])})())


STR_SUBCLASS = type("S", (str,), {})("f")


@pytest.mark.parametrize("func_id, typename", [(1, "int"), (b"f", "bytes"), (STR_SUBCLASS, "S")])
def test_func_id_must_be_exactly_str_or_none(func_id, typename) -> None:
    gov, ledger = JitGovernor(), Ledger()
    message = rf"^Argument 'func_id' has incorrect type \(expected str, got {typename}\)$"
    with pytest.raises(TypeError, match=message):
        gov.get_threshold(func_id)
    for method in (gov.should_compile, gov.update):
        with pytest.raises(TypeError, match=message):
            method(func_id, ledger)
    assert ledger.calls == 0


# ---------------------------------------------------------------- should_compile


# fmt: off
@pytest.mark.parametrize("metrics, expected", [
    (NS(call_count=100, compile_count=1, avg_speedup=1.0), True),  # no last_compiled: time 0.0
    (NS(call_count=100, compile_count=1, avg_speedup=1, last_compiled=math.nan), False),
    (FM(call_count=100, compile_count=1, last_compiled=math.nan), True),  # NaN: "not given"
    (NS(call_count=100.5, compile_count=True, avg_speedup=1, last_compiled=NOW - 600), True),
    (NS(call_count=10**6, compile_count=0, avg_speedup="1.5"), TypeError),  # read, unused
    (NS(call_count=-1, compile_count=0, avg_speedup=1.0), OverflowError),
    (NS(call_count="1", compile_count=0, avg_speedup=1.0), TypeError),
    (NS(call_count=1, avg_speedup=1.0), AttributeError),
    (NS(call_count=1, compile_count=1, avg_speedup=1, last_compiled="x"), TypeError),
])
# fmt: on
def test_should_compile_edges(frozen_clock, metrics, expected) -> None:
    gov, ledger = JitGovernor(), Ledger(metrics)
    if isinstance(expected, bool):
        assert gov.should_compile("f", metric_ledger=ledger) is expected
    else:
        with pytest.raises(expected):
            gov.should_compile("f", ledger)
        assert gov.get_threshold("f") == 100  # the lock was released
    assert ledger.calls == 1


@settings(max_examples=300, deadline=None)
@given(
    threshold=st.integers(I32_MIN, I32_MAX),
    calls=st.one_of(st.integers(0, 2**31 + 5), st.integers(0, U64_MAX)),
    compiles=st.integers(0, 2**32 - 1),
    stamp=st.floats(),
    record=st.booleans(),
)
def test_should_compile_matches_the_model(threshold, calls, compiles, stamp, record) -> None:
    cfg = PolicyConfig()
    gov = JitGovernor(cfg)
    cfg.initial_threshold = threshold
    metrics = (FM if record else NS)(call_count=calls, compile_count=compiles, avg_speedup=1.0)
    metrics.last_compiled = stamp
    saved, jg.time = jg.time, NS(time=lambda: NOW)
    try:
        got = gov.should_compile("f", Ledger(metrics))
    finally:
        jg.time = saved
    assert got is compile_decision(threshold, calls, compiles, stamp, NOW)


def test_clock_is_the_module_time_read_before_the_lock(monkeypatch) -> None:
    gov = JitGovernor()
    ledger = Ledger(FM(call_count=100, compile_count=1, last_compiled=5000.0))
    monkeypatch.setattr(time, "time", lambda: 5599.0)  # the standard module, patched
    assert not gov.should_compile("f", ledger)
    monkeypatch.setattr(time, "time", lambda: 5600.0)
    assert gov.should_compile("f", ledger)
    # Read before the lock is taken, so the clock may use the governor.
    monkeypatch.setattr(jg, "time", NS(time=lambda: gov.get_threshold("f") + 5500))
    assert gov.should_compile("f", ledger)
    monkeypatch.delattr(jg, "time")
    with pytest.raises(NameError, match="name 'time' is not defined"):
        gov.should_compile("f", ledger)


# ---------------------------------------------------------------- update


# fmt: off
@pytest.mark.parametrize("func_id, speedup, text", [
    ("f", 3.0, "Updated threshold for f: 100 -> 91 (speedup: 3.00x)"),
    (None, 2.0, "Updated threshold for None: 100 -> 109 (speedup: 2.00x)"),  # ratio 1.0 rises
    ("ƒünc·λ", 1.999, "Updated threshold for ƒünc·λ: 100 -> 109 (speedup: 2.00x)"),
    ("\udc80", math.nan, "Updated threshold for \udc80: 100 -> 109 (speedup: nanx)"),
    ("", -math.inf, "Updated threshold for : 100 -> 109 (speedup: -infx)"),
    ("f", 1e300, f"Updated threshold for f: 100 -> 91 (speedup: {1e300:.2f}x)"),
])
# fmt: on
def test_update_and_its_debug_line(caplog, func_id, speedup, text) -> None:
    caplog.set_level(logging.DEBUG, logger="kestrun.jit.jit_governor")
    gov = JitGovernor()
    gov.update(func_id, Ledger(FM(compile_count=1, avg_speedup=speedup), func_id))
    assert [(r.levelno, r.getMessage()) for r in caplog.records] == [(logging.DEBUG, text)]
    assert gov.get_threshold(func_id) == int(text.split(" -> ")[1].split()[0])
    gov.update("g", Ledger(FM(compile_count=12, avg_speedup=9.0), "g"))  # step 0, but tracked
    assert gov.get_statistics()["tracked_functions"] == 2 and gov.get_threshold("g") == 100


ALWAYS_EQUAL = type("Z", (int,), {"__eq__": lambda s, o: True})(5)


@pytest.mark.parametrize("count", [0, 0.0, False, ALWAYS_EQUAL])
def test_update_without_compilation_uses_python_equality(caplog, count) -> None:
    caplog.set_level(logging.DEBUG, logger="kestrun.jit.jit_governor")
    gov = JitGovernor()
    gov.update("f", Ledger(NS(compile_count=count)))  # nothing else is read
    with pytest.raises(TypeError, match="an integer is required"):  # not 0, not convertible
        gov.update("f", Ledger(NS(compile_count=NS(), avg_speedup=1.0)))
    assert gov.get_statistics()["tracked_functions"] == 0 and caplog.records == []


def test_update_line_follows_the_logger_level_as_it_changes(caplog) -> None:
    name, gov = "kestrun.jit.jit_governor", JitGovernor()
    for level in (logging.INFO, logging.DEBUG, logging.INFO, logging.DEBUG):
        caplog.set_level(level, logger=name)
        gov.update("f", Ledger(FM(compile_count=1, avg_speedup=3.0)))
    assert [(r.getMessage(), r.filename, r.funcName) for r in caplog.records] == [
        ("Updated threshold for f: 91 -> 82 (speedup: 3.00x)", "test_jit_governor.py", TEST),
        ("Updated threshold for f: 74 -> 67 (speedup: 3.00x)", "test_jit_governor.py", TEST),
    ]


TEST = "test_update_line_follows_the_logger_level_as_it_changes"


def make_config(lo: int, span: int, pick: int, rate: float, target: float) -> PolicyConfig:
    return PolicyConfig(lo + pick % (span + 1), lo, lo + span, rate, target)


POSITIVE = st.integers(1, 10**6)
RATES = (st.floats(1e-6, 1), st.floats(1e-3, 1e2))
CONFIGS = st.builds(make_config, POSITIVE, POSITIVE, POSITIVE, *RATES)
UPDATES = st.lists(st.tuples(st.sampled_from(["a", "b", None]), st.integers(0, 12), st.floats()))
RETUNE = st.one_of(st.none(), st.floats(), st.sampled_from([1e308, -1e308, math.nan]))


@settings(max_examples=200, deadline=None)
@given(cfg=CONFIGS, updates=UPDATES, retune=RETUNE)
def test_updates_and_statistics_match_the_model(cfg, updates, retune) -> None:
    if retune is not None:  # assignment is not validated: the governor copes with anything
        cfg.min_threshold, cfg.max_threshold = cfg.max_threshold, cfg.min_threshold
        cfg.target_speedup, cfg.learning_rate = -cfg.target_speedup, retune
    gov, model, ids = JitGovernor(cfg), {}, ("a", "b", None)
    for func_id, count, speedup in updates:
        gov.update(func_id, Ledger(FM(compile_count=count, avg_speedup=speedup), func_id))
        if count:
            start = model.get(func_id, cfg.initial_threshold)
            model[func_id] = threshold_update(start, count, speedup, cfg)
    assert [gov.get_threshold(f) for f in ids] == [model.get(f, cfg.initial_threshold) for f in ids]
    v = list(model.values())
    empty = (0, cfg.initial_threshold, cfg.min_threshold, cfg.max_threshold)
    expected = (len(v), sum(v) / len(v), min(v), max(v)) if v else empty
    assert tuple(gov.get_statistics().values()) == expected


def test_update_logs_after_the_lock_on_the_module_logger(monkeypatch) -> None:
    gov, seen = JitGovernor(), []
    spy = NS(debug=lambda message: seen.append((message, gov.get_threshold("f"))))
    monkeypatch.setattr(jg, "logger", spy)
    gov.update("f", Ledger(FM(compile_count=1, avg_speedup=3.0)))
    assert seen == [("Updated threshold for f: 100 -> 91 (speedup: 3.00x)", 91)]
    monkeypatch.delattr(jg, "logger")
    with pytest.raises(NameError, match="name 'logger' is not defined"):
        gov.update("f", Ledger(FM(compile_count=1, avg_speedup=3.0)))
    assert gov.get_threshold("f") == 82  # stored before the line failed
    monkeypatch.undo()
    gov.update("g", Ledger(FM(compile_count=1, avg_speedup=2.0), "g"))  # ratio 1.0: rises
    stats = gov.get_statistics()
    assert list(stats.values()) == [2, 95.5, 82, 109] and type(stats["avg_threshold"]) is float


# ---------------------------------------------------------------- re-entry and hostile objects


def ledger_calling(fn):
    return type("L", (), {"get_metrics": lambda self, func_id: fn()})()


# fmt: off
@pytest.mark.parametrize("callback", [
    lambda gov: gov.get_threshold("f"), lambda gov: gov.get_statistics(),
    lambda gov: gov.should_compile("f", Ledger(FM())),
    lambda gov: gov.update("f", Ledger(FM(compile_count=1))),
])
# fmt: on
def test_calling_back_into_the_governor_is_refused_not_deadlocked(callback) -> None:
    gov = JitGovernor()
    in_ledger = ledger_calling(lambda: callback(gov))
    in_metrics = Ledger(type("M", (), {"call_count": property(lambda s: callback(gov))})())
    refused = "called again by the thread that holds its lock"
    for method, ledger in ((gov.should_compile, in_ledger), (gov.update, in_ledger),
                           (gov.should_compile, in_metrics)):  # fmt: skip
        with pytest.raises(RuntimeError, match=refused):
            method("f", ledger)
    # Another governor may be used from inside a ledger.
    other = ledger_calling(lambda: JitGovernor().update("f", Ledger(FM())) or FM(call_count=100))
    assert gov.should_compile("f", other) and gov.get_threshold("f") == 100


def test_ledger_errors_release_the_lock() -> None:
    gov = JitGovernor()
    interrupting = ledger_calling(lambda: (_ for _ in ()).throw(KeyboardInterrupt))
    for method in (gov.should_compile, gov.update):
        with pytest.raises(KeyboardInterrupt):
            method("f", interrupting)
        with pytest.raises(AttributeError, match="get_metrics"):
            method("f", object())
        with pytest.raises(AttributeError, match="'dict' object has no attribute"):
            method("f", Ledger({"compile_count": 1}))
    assert gov.should_compile("f", Ledger(FM(call_count=100)))
    assert gov.get_statistics()["tracked_functions"] == 0


def test_conversions_that_collect_garbage_inside_a_section() -> None:
    gov = JitGovernor()

    class Collecting:
        def __index__(self):
            gc.collect()
            return 150

        def __float__(self):
            return self.__index__() / 50

    c = Collecting()
    metrics = NS(call_count=c, compile_count=c, avg_speedup=c, last_compiled=c)
    assert gov.should_compile("f", Ledger(metrics))  # 150 calls, compiled at 3.0 s
    gov.update("f", Ledger(metrics))
    assert gov.get_statistics()["tracked_functions"] == 1


def test_no_reference_leaks() -> None:
    gov, func_id = JitGovernor(), "".join(["leak", "check"])
    metrics, plain = FM(100, 1, 3.0), NS(call_count=100, compile_count=1, avg_speedup=3.0)
    ledgers = (Ledger(metrics, func_id), Ledger(plain, func_id))
    bad = Ledger(NS(call_count=-1, compile_count=1, avg_speedup=1.0), func_id)
    watched = (gov, func_id, metrics, plain, *ledgers, gov.config)

    def exercise() -> None:
        for _ in range(100):
            gov.get_threshold(func_id)
            gov.get_statistics()
            for ledger in ledgers:
                gov.should_compile(func_id, ledger)
                gov.update(func_id, ledger)
            with pytest.raises(OverflowError):
                gov.should_compile(func_id, bad)

    exercise()
    before = [sys.getrefcount(o) for o in watched]
    exercise()
    assert [sys.getrefcount(o) for o in watched] == before


def test_cycles_and_deep_chains_are_freed() -> None:
    cfg = type("Holder", (PolicyConfig,), {})()
    cfg.governor = JitGovernor(cfg)
    ref = weakref.ref(cfg)
    del cfg
    gc.collect()
    assert ref() is None
    code = """if True:
        from kestrun.jit.jit_governor import JitGovernor, PolicyConfig
        Link = type("Link", (PolicyConfig,), {"__slots__": ("next",)})
        head = None
        for _ in range(200_000):
            cfg = Link()
            cfg.next = head
            head = JitGovernor(cfg)
        del head, cfg
        print("freed")"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout.strip()) == (0, "freed"), done.stderr


# ---------------------------------------------------------------- threads


@pytest.mark.threaded
def test_threads_updating_many_functions_lose_no_update() -> None:
    # Each update reads a function's threshold and stores a new one: a lost
    # update would leave a threshold behind the sequential model.
    cfg = PolicyConfig(1000, 1, I32_MAX, learning_rate=0.01)
    slow = FM(call_count=10**6, compile_count=9, avg_speedup=0.5)
    yielding = ledger_calling(lambda: time.sleep(0) or slow)
    names, gov, n_threads, rounds = [f"f{i}" for i in range(24)], JitGovernor(cfg), 8, 40
    decisions = [0] * n_threads

    def work(index: int) -> None:
        for _ in range(rounds):
            for name in names[index:] + names[:index]:
                gov.update(name, yielding)
                decisions[index] += gov.should_compile(name, yielding)
                gov.get_threshold(name)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        run_threads(n_threads, work)
    finally:
        sys.setswitchinterval(old)
    expected = 1000
    for _ in range(n_threads * rounds):
        expected = threshold_update(expected, 9, 0.5, cfg)
    assert expected >= 1000 + n_threads * rounds  # every update adds at least 1
    assert {gov.get_threshold(name) for name in names} == {expected}
    assert list(gov.get_statistics().values()) == [len(names), expected, expected, expected]
    assert sum(decisions) == n_threads * rounds * len(names)


@pytest.mark.parametrize("reader", ["get_threshold", "get_statistics"])
def test_readers_wait_for_an_update_in_progress(reader) -> None:
    gov, entered, go, seen = JitGovernor(), threading.Event(), threading.Event(), []
    result = FM(compile_count=1, avg_speedup=3.0)
    held = ledger_calling(lambda: [entered.set(), go.wait(10), result][2])
    writer = threading.Thread(target=gov.update, args=("f", held))
    writer.start()
    assert entered.wait(10)
    read = (lambda: gov.get_threshold("f")) if reader == "get_threshold" else (
        lambda: gov.get_statistics()["min_threshold"])  # fmt: skip
    other = threading.Thread(target=lambda: seen.append(read()))
    other.start()
    other.join(0.2)
    assert seen == [] and other.is_alive()  # waiting for the governor's lock
    go.set()
    writer.join()
    other.join()
    assert seen == [91]


# ---------------------------------------------------------------- process-wide governor


def test_singleton_lifecycle_and_threads(fresh_singleton) -> None:
    first = get_jit_governor()
    assert get_jit_governor() is first and type(first.config) is PolicyConfig
    first.update("f", Ledger(FM(compile_count=1, avg_speedup=3.0)))
    assert reset_jit_governor() is None and reset_jit_governor() is None
    second = get_jit_governor()
    assert second is not first and second.get_statistics()["tracked_functions"] == 0
    assert first.get_threshold("f") == 91  # still usable and independent
    reset_jit_governor()
    seen, barrier = [], threading.Barrier(8)
    run_threads(8, lambda i: barrier.wait() and None or seen.append(get_jit_governor()))
    assert len({id(g) for g in seen}) == 1 and seen[0] is get_jit_governor()


def test_singleton_and_the_module_lock(fresh_singleton, monkeypatch) -> None:
    # `_policy_lock` is the module global at the time of the call; one that does
    # not lock still leaves one governor when two threads ask at once.
    calls, both, seen = [], threading.Barrier(2), []

    def acquire() -> None:
        calls.append("a")
        if len(calls) <= 2:
            both.wait(10)

    no_lock = NS(acquire=acquire, release=lambda: calls.append("r"))
    monkeypatch.setattr(jg, "_policy_lock", no_lock)
    run_threads(2, lambda i: seen.append(get_jit_governor()))
    assert seen[0] is seen[1] is get_jit_governor() and calls == ["a", "a", "r", "r", "a", "r"]
    monkeypatch.delattr(jg, "_policy_lock")
    with pytest.raises(NameError, match="name '_policy_lock' is not defined"):
        reset_jit_governor()


FORK_DURING_SECTION = """
import os, threading, time
from kestrun.jit import jit_governor as jg
from kestrun.jit.metric_ledger import MetricLedger
g = jg.JitGovernor()
entered = threading.Event()

class SlowLedger:
    def get_metrics(self, func_id):
        entered.set()
        time.sleep(0.3)
        jg.get_jit_governor()  # wants _policy_lock while holding the governor's lock
        return None

asker = threading.Thread(target=g.should_compile, args=("f", SlowLedger()))
asker.start()
entered.wait()
pid = os.fork()  # waits for the section to end, whatever order the locks are taken in
if pid == 0:
    ok = g.get_threshold("f") > 0 and g.should_compile("f", MetricLedger()) in (True, False)
    ok = ok and jg.get_jit_governor() is jg.get_jit_governor()
    os._exit(0 if ok else 1)
asker.join()
print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs fork()")
def test_fork_during_a_section_gives_the_child_a_usable_governor() -> None:
    proc = subprocess.run(
        [sys.executable, "-c", FORK_DURING_SECTION], capture_output=True, text=True, timeout=60
    )
    assert (proc.returncode, proc.stdout) == (0, "0\n"), proc.stderr
