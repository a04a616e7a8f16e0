"""kestrun.jit.jit_governor as its callers see it."""

from __future__ import annotations

import copy
import ctypes
import gc
import importlib.util
import logging
import math
import pickle
import subprocess
import sys
import threading
import time
import types
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kestrun.jit import jit_governor as jg
from kestrun.jit.jit_governor import (
    FunctionMetrics,
    JitGovernor,
    PolicyConfig,
    create_function_metrics,
    create_policy_config,
    get_jit_governor,
    reset_jit_governor,
)

I32_MIN, I32_MAX = -(2**31), 2**31 - 1
U64_MAX = 2**64 - 1
NOW = 1_000_000.0


class Ledger:
    """The smallest ledger: one metrics object per function."""

    def __init__(self, **records: object) -> None:
        self.records = dict(records)
        self.calls = 0

    def get_metrics(self, func_id: str | None) -> object:
        self.calls += 1
        return self.records[func_id]


def ledger_of(metrics: object, func_id: str | None = "f") -> Ledger:
    led = Ledger()
    led.records[func_id] = metrics
    return led


@pytest.fixture
def frozen_clock(monkeypatch):
    """time.time() as the governor sees it returns NOW."""
    monkeypatch.setattr(jg, "time", types.SimpleNamespace(time=lambda: NOW))


@pytest.fixture
def fresh_singleton():
    reset_jit_governor()
    yield
    reset_jit_governor()


# ---------------------------------------------------------------- models


def model_threshold_after(current: int, compile_count: int, avg_speedup: float, cfg) -> int:
    """The update's arithmetic, written as plainly as possible."""
    divisor = cfg.target_speedup if cfg.target_speedup > 0 else 1.0
    ratio = avg_speedup / divisor
    damping = min(compile_count * 0.1, 1.0)
    step = cfg.learning_rate - damping * cfg.learning_rate
    value = current - step * current if ratio > 1.0 else current + step * current
    if not value >= cfg.min_threshold:
        return cfg.min_threshold
    if value > cfg.max_threshold:
        return cfg.max_threshold
    return int(value)


def model_decision(
    threshold: int, call_count: int, compile_count: int, last_compiled: float, now: float
) -> bool:
    if call_count < threshold % 2**64:  # the threshold sign-extended to 64 bits
        return False
    return compile_count == 0 or now - last_compiled >= 600.0


# ---------------------------------------------------------------- module frame


def test_module_binds_exactly_its_names() -> None:
    import typing

    public = {n for n in vars(jg) if not n.startswith("__")}
    assert public == {
        "PolicyConfig",
        "FunctionMetrics",
        "JitGovernor",
        "create_policy_config",
        "create_function_metrics",
        "get_jit_governor",
        "reset_jit_governor",
        "logger",
        "logging",
        "threading",
        "time",
        "Dict",
        "Optional",
        "_policy_lock",
    }
    assert (jg.time, jg.logging, jg.threading) == (time, logging, threading)
    assert (jg.Dict, jg.Optional) == (typing.Dict, typing.Optional)  # noqa: UP006
    assert jg.logger is logging.getLogger("kestrun.jit.jit_governor")
    assert type(jg._policy_lock) is type(threading.Lock())


def test_one_info_load_line_and_listed_as_loaded() -> None:
    code = (
        "import logging; logging.basicConfig(level=logging.DEBUG, format='%(name)s|%(levelname)s');"
        "import kestrun.jit.jit_governor; from kestrun.__main__ import module_status;"
        "print(module_status('kestrun.jit.jit_governor')['status'])"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert done.stderr.splitlines() == ["kestrun.jit.jit_governor|INFO"]
    assert done.stdout.strip() == "loaded"


def test_second_initialisation_is_refused() -> None:
    module_spec = importlib.util.find_spec("kestrun.jit.jit_governor")
    module = importlib.util.module_from_spec(module_spec)
    with pytest.raises(
        RuntimeError,
        match=r"^Module 'jit_governor' has already been imported\. "
        r"Re-initialisation is not supported\.$",
    ):
        module_spec.loader.exec_module(module)


@pytest.mark.parametrize("make", [PolicyConfig, FunctionMetrics, JitGovernor])
def test_pickling_and_copying_are_refused(make) -> None:
    for action in (pickle.dumps, copy.copy, copy.deepcopy):
        with pytest.raises(
            TypeError, match=r"^no default __reduce__ due to non-trivial __cinit__$"
        ):
            action(make())


def test_native_tables_read_the_fields() -> None:
    api = ctypes.pythonapi
    api.PyCapsule_GetPointer.restype = ctypes.c_void_p
    api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]

    def table(cls, n):
        name = f"kestrun.jit.jit_governor.{cls.__name__}.__kestrun_ops__".encode()
        address = api.PyCapsule_GetPointer(cls.__dict__["__kestrun_ops__"], name)
        return address, (ctypes.c_void_p * n).from_address(address)

    obj, i32, f64 = ctypes.py_object, ctypes.c_int32, ctypes.c_double
    address, slots = table(PolicyConfig, 5)
    cfg = PolicyConfig(50, 5, 500, 0.25, 1.5)
    results = [
        ctypes.PYFUNCTYPE(t, obj)(s)(cfg)
        for t, s in zip((i32, i32, i32, f64, f64), slots, strict=True)
    ]
    assert results == [50, 5, 500, 0.25, 1.5]
    # Every instance points to its type's table right after the object header.
    assert ctypes.c_void_p.from_address(id(cfg) + object.__basicsize__).value == address

    _, slots = table(FunctionMetrics, 4)
    m = FunctionMetrics(U64_MAX, 2**32 - 1, 2.5, 9.0, last_compiled=7.0)
    types_ = (ctypes.c_uint64, ctypes.c_uint32, f64, f64)
    assert [ctypes.PYFUNCTYPE(t, obj)(s)(m) for t, s in zip(types_, slots, strict=True)] == [
        U64_MAX,
        2**32 - 1,
        2.5,
        7.0,
    ]

    _, slots = table(JitGovernor, 1)
    threshold_fast = ctypes.PYFUNCTYPE(i32, obj, obj)(slots[0])
    gov = JitGovernor(cfg)
    gov.update("f", ledger_of(FunctionMetrics(compile_count=1, avg_speedup=3.0)))
    assert threshold_fast(gov, "f") == gov.get_threshold("f") == 38  # 50 - 0.225 * 50
    assert threshold_fast(gov, None) == 50


# ---------------------------------------------------------------- PolicyConfig

FIELDS = ("initial_threshold", "min_threshold", "max_threshold", "learning_rate", "target_speedup")


def test_policy_defaults_and_conversions() -> None:
    cfg = PolicyConfig()
    assert [getattr(cfg, f) for f in FIELDS] == [100, 10, 10000, 0.1, 2.0]
    cfg = PolicyConfig(99.9, True, 2**31 - 1.5, 1, 3)
    assert [getattr(cfg, f) for f in FIELDS] == [99, 1, I32_MAX - 1, 1.0, 3.0]
    assert [type(getattr(cfg, f)) for f in FIELDS] == [int, int, int, float, float]


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"min_threshold": 0}, "min_threshold must be positive"),
        # The checks run in order: the first failure is reported.
        (
            {
                "min_threshold": -3,
                "max_threshold": -5,
                "learning_rate": 7,
                "target_speedup": 0,
                "initial_threshold": 10**6,
            },
            "min_threshold must be positive",
        ),
        (
            {"min_threshold": 10, "max_threshold": 10},
            "max_threshold must be greater than min_threshold",
        ),
        (
            {"max_threshold": 5, "learning_rate": 0},
            "max_threshold must be greater than min_threshold",
        ),
        ({"learning_rate": 0.0}, r"learning_rate must be in \(0, 1\]"),
        ({"learning_rate": 1.0000001}, r"learning_rate must be in \(0, 1\]"),
        ({"learning_rate": math.nan}, r"learning_rate must be in \(0, 1\]"),
        ({"learning_rate": -math.inf, "target_speedup": 0}, r"learning_rate must be in \(0, 1\]"),
        ({"target_speedup": 0.0}, "target_speedup must be positive"),
        ({"target_speedup": math.nan}, "target_speedup must be positive"),
        ({"target_speedup": -1, "initial_threshold": 0}, "target_speedup must be positive"),
        ({"initial_threshold": 9}, "initial_threshold must be within bounds"),
        ({"initial_threshold": 10001}, "initial_threshold must be within bounds"),
    ],
)
def test_policy_validation_order_and_messages(kwargs, message) -> None:
    with pytest.raises(ValueError, match=f"^{message}$"):
        PolicyConfig(**kwargs)


@pytest.mark.parametrize(
    "kwargs",
    [
        {"initial_threshold": 10},
        {"initial_threshold": 10000},
        {"learning_rate": 1.0},
        {"learning_rate": 5e-324},
        {"min_threshold": 1, "max_threshold": 2, "initial_threshold": 2},
    ],
)
def test_policy_accepts_its_boundaries(kwargs) -> None:
    cfg = PolicyConfig(**kwargs)
    assert all(getattr(cfg, k) == v for k, v in kwargs.items())


@pytest.mark.parametrize(
    "field, bad, exc, message",
    [
        ("initial_threshold", 2**31, OverflowError, "value too large to convert to int"),
        ("min_threshold", -(2**31) - 1, OverflowError, "value too large to convert to int"),
        ("max_threshold", 2**100, OverflowError, "value too large to convert to int"),
        ("initial_threshold", "100", TypeError, "an integer is required"),
        ("min_threshold", None, TypeError, "an integer is required"),
        ("learning_rate", "0.5", TypeError, "must be real number, not str"),
        ("target_speedup", None, TypeError, "must be real number, not NoneType"),
    ],
)
def test_policy_conversion_errors_in_constructor_and_setter(field, bad, exc, message) -> None:
    with pytest.raises(exc, match=message):
        PolicyConfig(**{field: bad})
    cfg = PolicyConfig()
    before = getattr(cfg, field)
    with pytest.raises(exc, match=message):
        setattr(cfg, field, bad)
    assert getattr(cfg, field) == before


def test_policy_setters_convert_but_do_not_validate() -> None:
    cfg = PolicyConfig()
    cfg.min_threshold = -5
    cfg.max_threshold = 3.99
    cfg.learning_rate = 7
    cfg.target_speedup = math.nan
    assert (cfg.min_threshold, cfg.max_threshold, cfg.learning_rate) == (-5, 3, 7.0)
    assert math.isnan(cfg.target_speedup)
    for field in FIELDS:
        with pytest.raises(NotImplementedError, match="^__del__$"):
            delattr(cfg, field)


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: PolicyConfig(1, 2, 3, 4, 5, 6),
            "takes from 0 to 5 positional arguments but 6 were given",
        ),
        (lambda: PolicyConfig(threshold=5), "got an unexpected keyword argument 'threshold'"),
        (
            lambda: PolicyConfig(100, initial_threshold=100),
            "multiple values for argument 'initial_threshold'",
        ),
        (
            lambda: FunctionMetrics(1, 2, 3, 4, 5, 6, 7),
            "takes from 0 to 6 positional arguments but 7 were given",
        ),
        (
            lambda: JitGovernor(None, None),
            "takes from 0 to 1 positional arguments but 2 were given",
        ),
        (lambda: JitGovernor(cfg=None), "got an unexpected keyword argument 'cfg'"),
    ],
)
def test_constructor_argument_errors(call, message) -> None:
    with pytest.raises(TypeError, match=message):
        call()


# ---------------------------------------------------------------- FunctionMetrics

METRIC_FIELDS = (
    "call_count",
    "compile_count",
    "avg_speedup",
    "total_execution_time_ms",
    "last_compiled",
    "last_compile_time",
)


@pytest.mark.parametrize(
    "kwargs, stamp",
    [
        ({}, 0.0),
        ({"last_compile_time": 5.0}, 5.0),
        ({"last_compile_time": 5.0, "last_compiled": 7.0}, 7.0),
        ({"last_compiled": 0.0, "last_compile_time": 5.0}, 0.0),
        ({"last_compiled": -0.5, "last_compile_time": 5.0}, 5.0),
        ({"last_compiled": math.nan, "last_compile_time": 5.0}, 5.0),
        ({"last_compile_time": -3.0}, -3.0),
    ],
)
def test_metrics_time_stamp_has_two_names(kwargs, stamp) -> None:
    m = FunctionMetrics(**kwargs)
    assert m.last_compiled == m.last_compile_time == stamp
    m.last_compile_time = 11.0
    assert m.last_compiled == 11.0
    m.last_compiled = 12.0
    assert m.last_compile_time == 12.0


def test_metrics_fields_and_conversions() -> None:
    m = FunctionMetrics(U64_MAX, 2**32 - 1.5, 2, 3, 4)
    assert [getattr(m, f) for f in METRIC_FIELDS] == [U64_MAX, 2**32 - 2, 2.0, 3.0, 4.0, 4.0]
    assert [type(getattr(m, f)) for f in METRIC_FIELDS] == [int, int] + [float] * 4
    assert [getattr(FunctionMetrics(), f) for f in METRIC_FIELDS] == [0, 0, 1.0, 0.0, 0.0, 0.0]


@pytest.mark.parametrize(
    "field, bad, exc, message",
    [
        ("call_count", -1, OverflowError, "can't convert negative value to uint64_t"),
        ("call_count", 2**64, OverflowError, "value too large to convert to uint64_t"),
        ("call_count", -(2**70), OverflowError, "can't convert negative value to uint64_t"),
        ("compile_count", -1, OverflowError, "can't convert negative value to uint32_t"),
        ("compile_count", 2**32, OverflowError, "value too large to convert to uint32_t"),
        ("compile_count", "1", TypeError, "an integer is required"),
        ("avg_speedup", "fast", TypeError, "must be real number, not str"),
        ("last_compile_time", [], TypeError, "must be real number, not list"),
    ],
)
def test_metrics_conversion_errors_in_constructor_and_setter(field, bad, exc, message) -> None:
    with pytest.raises(exc, match=message):
        FunctionMetrics(**{field: bad})
    m = FunctionMetrics(5, 6, 7.0, 8.0, 9.0)
    before = [getattr(m, f) for f in METRIC_FIELDS]
    with pytest.raises(exc, match=message):
        setattr(m, field, bad)
    assert [getattr(m, f) for f in METRIC_FIELDS] == before
    with pytest.raises(NotImplementedError, match="^__del__$"):
        delattr(m, field)


# ---------------------------------------------------------------- factories


def test_factories_build_exact_records() -> None:
    cfg = create_policy_config(50.7, True, 300, 1, 1)
    assert type(cfg) is PolicyConfig and [getattr(cfg, f) for f in FIELDS] == [50, 1, 300, 1.0, 1.0]
    m = create_function_metrics(3.7, 2, 1.5, 4, last_compile_time=9)
    assert type(m) is FunctionMetrics
    assert [getattr(m, f) for f in METRIC_FIELDS] == [3, 2, 1.5, 4.0, 9.0, 9.0]
    assert [getattr(create_function_metrics(), f) for f in METRIC_FIELDS] == [
        0,
        0,
        1.0,
        0.0,
        0.0,
        0.0,
    ]


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (
            lambda: create_function_metrics(call_count="3"),
            TypeError,
            r"^Argument 'call_count' has incorrect type \(expected int, got str\)$",
        ),
        (
            lambda: create_function_metrics(0, None),
            TypeError,
            r"^Argument 'compile_count' has incorrect type \(expected int, got NoneType\)$",
        ),
        (
            lambda: create_policy_config(max_threshold=b"1"),
            TypeError,
            r"^Argument 'max_threshold' has incorrect type \(expected int, got bytes\)$",
        ),
        (
            lambda: create_policy_config(learning_rate="0.1"),
            TypeError,
            "must be real number, not str",
        ),
        (
            lambda: create_function_metrics(call_count=-1),
            OverflowError,
            "can't convert negative value to uint64_t",
        ),
        (
            lambda: create_policy_config(initial_threshold=2**40),
            OverflowError,
            "^value too large to convert to int$",
        ),
        (
            lambda: create_policy_config(min_threshold=0.5),
            ValueError,
            "^min_threshold must be positive$",
        ),
        (
            lambda: create_policy_config(target_speedup=-2),
            ValueError,
            "^target_speedup must be positive$",
        ),
        (
            lambda: create_function_metrics(last_compiled=1.0),
            TypeError,
            "unexpected keyword argument 'last_compiled'",
        ),
    ],
)
def test_factory_errors(call, exc, message) -> None:
    with pytest.raises(exc, match=message):
        call()


# ---------------------------------------------------------------- JitGovernor: construction


def test_new_governor_answers_with_the_configuration() -> None:
    gov = JitGovernor()
    assert gov.get_threshold("anything") == gov.get_threshold(None) == 100
    stats = gov.get_statistics()
    assert stats == {
        "tracked_functions": 0,
        "avg_threshold": 100,
        "min_threshold": 10,
        "max_threshold": 10000,
    }
    assert list(stats) == ["tracked_functions", "avg_threshold", "min_threshold", "max_threshold"]
    assert all(type(v) is int for v in stats.values())
    assert gov.get_statistics() is not stats


def test_policy_config_is_shared_not_copied() -> None:
    class Tuned(PolicyConfig):
        pass

    for cfg in (PolicyConfig(initial_threshold=40), Tuned(initial_threshold=40)):
        gov = JitGovernor(config=cfg)
        assert gov.config is cfg and gov.get_threshold("f") == 40
        cfg.initial_threshold = 41  # seen at once
        assert gov.get_threshold("f") == 41
    assert type(JitGovernor().config) is PolicyConfig
    gov = JitGovernor()
    with pytest.raises(AttributeError):
        gov.config = PolicyConfig()  # type: ignore[misc]


def test_other_config_objects_are_read_by_attribute() -> None:
    cfg = JitGovernor(config=object()).config
    assert type(cfg) is PolicyConfig and [getattr(cfg, f) for f in FIELDS] == [
        100,
        10,
        10000,
        0.1,
        2.0,
    ]
    partial = types.SimpleNamespace(initial_threshold=20.9, learning_rate=0.5)
    cfg = JitGovernor(partial).config
    assert [getattr(cfg, f) for f in FIELDS] == [20, 10, 10000, 0.5, 2.0]
    with pytest.raises(ValueError, match="^min_threshold must be positive$"):
        JitGovernor(config=types.SimpleNamespace(min_threshold=0))

    class Broken:
        @property
        def max_threshold(self):
            raise KeyError("boom")

        @property
        def min_threshold(self):
            raise AttributeError("missing: the default applies")

    with pytest.raises(KeyError, match="boom"):
        JitGovernor(Broken())


@pytest.mark.parametrize("method", ["get_threshold", "should_compile", "update"])
@pytest.mark.parametrize(
    "func_id, typename", [(1, "int"), (b"f", "bytes"), (type("S", (str,), {})("f"), "S")]
)
def test_func_id_must_be_exactly_str_or_none(method, func_id, typename) -> None:
    gov = JitGovernor()
    led = Ledger()
    args = (func_id,) if method == "get_threshold" else (func_id, led)
    with pytest.raises(
        TypeError,
        match=rf"^Argument 'func_id' has incorrect type \(expected str, got {typename}\)$",
    ):
        getattr(gov, method)(*args)
    assert led.calls == 0


# ---------------------------------------------------------------- should_compile


@pytest.mark.parametrize(
    "metrics, expected",
    [
        (FunctionMetrics(call_count=99), False),
        (FunctionMetrics(call_count=100), True),
        (FunctionMetrics(call_count=10**6, compile_count=1, last_compiled=NOW - 599), False),
        (FunctionMetrics(call_count=100, compile_count=1, last_compiled=NOW - 600), True),
        (
            types.SimpleNamespace(
                call_count=100, compile_count=1, avg_speedup=1.0, last_compiled=math.nan
            ),
            False,
        ),
        (FunctionMetrics(call_count=100, compile_count=1, last_compiled=math.inf), False),
        # The constructor takes a NaN or negative last_compiled as "not given".
        (FunctionMetrics(call_count=100, compile_count=1, last_compiled=math.nan), True),
        (FunctionMetrics(call_count=100, compile_count=0, last_compiled=NOW), True),
        # Missing last_compiled: compiled at time 0.0, so the interval has passed.
        (types.SimpleNamespace(call_count=100, compile_count=1, avg_speedup=1.0), True),
        (types.SimpleNamespace(call_count=99.9, compile_count=0, avg_speedup="1.5"), None),
        (
            types.SimpleNamespace(
                call_count=100.5, compile_count=True, avg_speedup=1, last_compiled=NOW - 600
            ),
            True,
        ),
    ],
)
def test_should_compile_decisions(frozen_clock, metrics, expected) -> None:
    gov = JitGovernor()
    led = ledger_of(metrics)
    if expected is None:  # avg_speedup takes no part, but must convert
        with pytest.raises(TypeError, match="must be real number, not str"):
            gov.should_compile("f", led)
    else:
        assert gov.should_compile("f", metric_ledger=led) is expected
    assert led.calls == 1


def test_negative_threshold_never_allows_compilation(frozen_clock) -> None:
    cfg = PolicyConfig()
    gov = JitGovernor(cfg)
    cfg.initial_threshold = -1
    assert not gov.should_compile("f", ledger_of(FunctionMetrics(call_count=2**63)))
    assert gov.should_compile("f", ledger_of(FunctionMetrics(call_count=U64_MAX)))
    cfg.initial_threshold = 0
    assert gov.should_compile("f", ledger_of(FunctionMetrics()))


@settings(max_examples=300, deadline=None)
@given(
    threshold=st.integers(I32_MIN, I32_MAX),
    call_count=st.one_of(st.integers(0, 2**31 + 5), st.integers(0, U64_MAX)),
    compile_count=st.integers(0, 2**32 - 1),
    last_compiled=st.floats(allow_nan=True, allow_infinity=True),
    as_namespace=st.booleans(),
)
def test_should_compile_matches_the_model(
    threshold, call_count, compile_count, last_compiled, as_namespace
) -> None:
    cfg = PolicyConfig()
    gov = JitGovernor(cfg)
    cfg.initial_threshold = threshold
    fields = dict(call_count=call_count, compile_count=compile_count, avg_speedup=1.0)
    metrics = types.SimpleNamespace(**fields) if as_namespace else FunctionMetrics(**fields)
    metrics.last_compiled = last_compiled
    saved = jg.time
    jg.time = types.SimpleNamespace(time=lambda: NOW)
    try:
        got = gov.should_compile("f", ledger_of(metrics))
    finally:
        jg.time = saved
    assert got is model_decision(threshold, call_count, compile_count, last_compiled, NOW)


def test_clock_is_the_module_time_read_before_the_lock(monkeypatch) -> None:
    gov = JitGovernor()
    recent = FunctionMetrics(call_count=100, compile_count=1, last_compiled=5000.0)
    monkeypatch.setattr(time, "time", lambda: 5599.0)  # the standard module, patched
    assert not gov.should_compile("f", ledger_of(recent))
    monkeypatch.setattr(time, "time", lambda: 5600.0)
    assert gov.should_compile("f", ledger_of(recent))
    seen = []
    # The clock runs before the lock is taken, so it may use the governor.
    monkeypatch.setattr(
        jg, "time", types.SimpleNamespace(time=lambda: seen.append(gov.get_threshold("f")) or 5600)
    )
    assert gov.should_compile("f", ledger_of(recent)) and seen == [100]
    monkeypatch.setattr(jg, "time", types.SimpleNamespace(time=lambda: "late"))
    with pytest.raises(TypeError, match="must be real number, not str"):
        gov.should_compile("f", ledger_of(recent))
    monkeypatch.delattr(jg, "time")
    with pytest.raises(NameError, match="name 'time' is not defined"):
        gov.should_compile("f", ledger_of(recent))


# ---------------------------------------------------------------- metrics failures


class NoAttr:
    pass


@pytest.mark.parametrize(
    "methods, metrics, exc, message",
    [
        # update reads only compile_count and avg_speedup.
        (
            "s",
            types.SimpleNamespace(call_count=-1, compile_count=0, avg_speedup=1.0),
            OverflowError,
            "can't convert negative value to uint64_t",
        ),
        (
            "su",
            types.SimpleNamespace(call_count=1, compile_count=2**32, avg_speedup=1.0),
            OverflowError,
            "value too large to convert to uint32_t",
        ),
        (
            "su",
            types.SimpleNamespace(call_count=1, compile_count=-2, avg_speedup=1.0),
            OverflowError,
            "can't convert negative value to uint32_t",
        ),
        (
            "su",
            types.SimpleNamespace(call_count=1, avg_speedup=1.0),
            AttributeError,
            "compile_count",
        ),
        ("su", types.SimpleNamespace(call_count=1, compile_count=1), AttributeError, "avg_speedup"),
        (
            "s",
            types.SimpleNamespace(call_count="1", compile_count=1, avg_speedup=1),
            TypeError,
            "an integer is required",
        ),
        (
            "u",
            types.SimpleNamespace(compile_count="1", avg_speedup=1),
            TypeError,
            "an integer is required",
        ),
        (
            "s",
            types.SimpleNamespace(call_count=1, compile_count=1, avg_speedup=1, last_compiled="x"),
            TypeError,
            "must be real number, not str",
        ),
        ("su", {"call_count": 1}, AttributeError, "'dict' object has no attribute"),
    ],
)
def test_bad_metrics_raise_and_release_the_lock(methods, metrics, exc, message) -> None:
    gov = JitGovernor()
    for method in [gov.should_compile] * ("s" in methods) + [gov.update] * ("u" in methods):
        with pytest.raises(exc, match=message):
            method("f", ledger_of(metrics))
        # The lock was released and nothing was stored.
        assert gov.get_threshold("f") == 100 and gov.get_statistics()["tracked_functions"] == 0


def test_ledger_errors_propagate_and_release_the_lock() -> None:
    gov = JitGovernor()

    class Failing:
        def get_metrics(self, func_id):
            raise KeyboardInterrupt  # not even an Exception

    for method in (gov.should_compile, gov.update):
        with pytest.raises(KeyboardInterrupt):
            method("f", Failing())
        with pytest.raises(AttributeError, match="get_metrics"):
            method("f", NoAttr())
    assert gov.should_compile("f", ledger_of(FunctionMetrics(call_count=100)))


# ---------------------------------------------------------------- update


def test_update_examples(caplog) -> None:
    gov = JitGovernor()
    caplog.set_level(logging.DEBUG, logger="kestrun.jit.jit_governor")
    gov.update("f", ledger_of(FunctionMetrics(compile_count=1, avg_speedup=3.0)))
    gov.update(
        "g", ledger_of(FunctionMetrics(compile_count=1, avg_speedup=2.0), "g")
    )  # not > target
    assert (gov.get_threshold("f"), gov.get_threshold("g")) == (91, 109)
    stats = gov.get_statistics()
    assert stats == {
        "tracked_functions": 2,
        "avg_threshold": 100.0,
        "min_threshold": 91,
        "max_threshold": 109,
    }
    assert type(stats["avg_threshold"]) is float
    assert [r.getMessage() for r in caplog.records] == [
        "Updated threshold for f: 100 -> 91 (speedup: 3.00x)",
        "Updated threshold for g: 100 -> 109 (speedup: 2.00x)",
    ]
    assert {r.levelno for r in caplog.records} == {logging.DEBUG}


@pytest.mark.parametrize(
    "compile_count, speedup, cfg_changes, expected",
    [
        (10, 9.0, {}, 100),  # the step is 0 from the tenth compilation on, but it is stored
        (2**32 - 1, 0.1, {}, 100),
        (1, 1e9, {"learning_rate": 1.0}, 10),  # 100 - 0.9 * 100 = 10.000000000000009
        (0.0 + 1, 3.0, {"initial_threshold": 11}, 10),  # below the minimum: the minimum
        (1, 0.5, {"initial_threshold": 9999}, 10000),  # above the maximum: the maximum
        (1, 0.5, {"target_speedup": 0.0}, 109),  # divides by 1.0: ratio 0.5 rises
        (1, 1.5, {"target_speedup": -4.0}, 91),  # divides by 1.0: ratio 1.5 falls
        (1, math.nan, {}, 109),  # a NaN ratio rises
        (1, math.inf, {}, 91),
        (1, 3.0, {"learning_rate": math.nan}, 10),  # a NaN value is not >= the minimum
        (1, 3.0, {"min_threshold": 200, "max_threshold": 50}, 200),
        (1, 0.5, {"min_threshold": 20, "max_threshold": 15}, 15),
        (1, 0.5, {"learning_rate": 1e308, "max_threshold": I32_MAX}, I32_MAX),
        (1, 3.0, {"learning_rate": 1e308, "min_threshold": I32_MIN}, I32_MIN),
    ],
)
def test_update_arithmetic_and_clamping(compile_count, speedup, cfg_changes, expected) -> None:
    cfg = PolicyConfig()
    for name, value in cfg_changes.items():
        setattr(cfg, name, value)
    gov = JitGovernor(cfg)
    gov.update("f", ledger_of(FunctionMetrics(compile_count=compile_count, avg_speedup=speedup)))
    assert gov.get_threshold("f") == expected
    assert gov.get_statistics()["tracked_functions"] == 1


@pytest.mark.parametrize("count", [0, 0.0, False, -0.0])
def test_update_without_compilation_changes_nothing(caplog, count) -> None:
    caplog.set_level(logging.DEBUG, logger="kestrun.jit.jit_governor")
    gov = JitGovernor()
    # Python equality with 0 decides; nothing else is read.
    gov.update("f", ledger_of(types.SimpleNamespace(compile_count=count)))
    gov.update("f", ledger_of(FunctionMetrics(compile_count=0, avg_speedup=9.0)))
    assert gov.get_statistics()["tracked_functions"] == 0 and caplog.records == []


def test_update_compares_compile_count_with_python_equality() -> None:
    class AlwaysZero(int):
        def __eq__(self, other):
            return True

        __hash__ = int.__hash__

    gov = JitGovernor()
    gov.update("f", ledger_of(types.SimpleNamespace(compile_count=AlwaysZero(5))))
    assert gov.get_statistics()["tracked_functions"] == 0
    gov.update("f", ledger_of(types.SimpleNamespace(compile_count=1.9, avg_speedup=3)))
    assert gov.get_threshold("f") == 91  # 1.9 converts to 1


@pytest.mark.parametrize(
    "func_id, speedup, text",
    [
        (None, 3.0, "Updated threshold for None: 100 -> 91 (speedup: 3.00x)"),
        ("ƒünc·λ", 1.999, "Updated threshold for ƒünc·λ: 100 -> 109 (speedup: 2.00x)"),
        ("\udc80", -0.001, "Updated threshold for \udc80: 100 -> 109 (speedup: -0.00x)"),
        ("", math.nan, "Updated threshold for : 100 -> 109 (speedup: nanx)"),
        ("f", -math.inf, "Updated threshold for f: 100 -> 109 (speedup: -infx)"),
        ("f", 1e300, f"Updated threshold for f: 100 -> 91 (speedup: {1e300:.2f}x)"),
    ],
)
def test_update_log_text(caplog, func_id, speedup, text) -> None:
    caplog.set_level(logging.DEBUG, logger="kestrun.jit.jit_governor")
    gov = JitGovernor(PolicyConfig(target_speedup=0.5 if speedup == 1e300 else 2.0))
    gov.update(func_id, ledger_of(FunctionMetrics(compile_count=1, avg_speedup=speedup), func_id))
    assert [r.getMessage() for r in caplog.records] == [text]


def test_update_logs_after_the_lock_through_the_module_logger(monkeypatch) -> None:
    gov = JitGovernor()
    seen = []

    class Spy:
        def debug(self, message):
            seen.append((message, gov.get_threshold("f")))  # the lock is free again

    monkeypatch.setattr(jg, "logger", Spy())
    gov.update("f", ledger_of(FunctionMetrics(compile_count=1, avg_speedup=3.0)))
    assert seen == [("Updated threshold for f: 100 -> 91 (speedup: 3.00x)", 91)]
    monkeypatch.delattr(jg, "logger")
    with pytest.raises(NameError, match="name 'logger' is not defined"):
        gov.update("f", ledger_of(FunctionMetrics(compile_count=1, avg_speedup=3.0)))
    assert gov.get_threshold("f") == 82  # stored before the line could not be logged


CONFIGS = st.builds(
    lambda lo, span, pick, rate, target: PolicyConfig(
        lo + pick % (span + 1), lo, lo + span, rate, target
    ),
    st.integers(1, 10**6),
    st.integers(1, 10**6),
    st.integers(0, 10**6),
    st.floats(1e-6, 1.0),
    st.floats(1e-3, 100.0),
)
UPDATES = st.lists(
    st.tuples(
        st.sampled_from(["a", "b", "c", None]),
        st.integers(0, 12),
        st.floats(allow_nan=True, allow_infinity=True),
    ),
    max_size=40,
)


@settings(max_examples=150, deadline=None)
@given(cfg=CONFIGS, updates=UPDATES, retune=st.booleans())
def test_updates_and_statistics_match_the_model(cfg, updates, retune) -> None:
    if retune:  # attribute assignment is not validated: the governor copes with anything
        cfg.min_threshold, cfg.max_threshold = cfg.max_threshold, cfg.min_threshold
        cfg.target_speedup = -cfg.target_speedup
    gov = JitGovernor(cfg)
    model: dict[str | None, int] = {}
    for func_id, count, speedup in updates:
        gov.update(
            func_id, ledger_of(FunctionMetrics(compile_count=count, avg_speedup=speedup), func_id)
        )
        if count:
            model[func_id] = model_threshold_after(
                model.get(func_id, cfg.initial_threshold), count, speedup, cfg
            )
    for func_id in ("a", "b", "c", None):
        assert gov.get_threshold(func_id) == model.get(func_id, cfg.initial_threshold)
    stats = gov.get_statistics()
    if model:
        values = list(model.values())
        assert stats == {
            "tracked_functions": len(values),
            "avg_threshold": sum(values) / len(values),
            "min_threshold": min(values),
            "max_threshold": max(values),
        }
    else:
        assert stats == {
            "tracked_functions": 0,
            "avg_threshold": cfg.initial_threshold,
            "min_threshold": cfg.min_threshold,
            "max_threshold": cfg.max_threshold,
        }


# ---------------------------------------------------------------- re-entry and hostile objects


@pytest.mark.parametrize(
    "callback",
    [
        lambda gov: gov.get_threshold("f"),
        lambda gov: gov.get_statistics(),
        lambda gov: gov.should_compile("f", Ledger(f=FunctionMetrics())),
        lambda gov: gov.update("f", Ledger(f=FunctionMetrics(compile_count=1))),
    ],
)
@pytest.mark.parametrize("where", ["ledger", "metrics attribute"])
def test_calling_back_into_the_governor_is_refused_not_deadlocked(callback, where) -> None:
    gov = JitGovernor()

    class CallingBack:
        def get_metrics(self, func_id):
            if where == "ledger":
                callback(gov)
            return self

        @property
        def call_count(self):
            callback(gov)
            return 0

        compile_count = 1
        avg_speedup = 1.0

    for method in (gov.should_compile, gov.update):
        if method == gov.update and where != "ledger":
            continue  # update reads no call_count
        with pytest.raises(RuntimeError, match="called again by the thread that holds its lock"):
            method("f", CallingBack())
    assert gov.get_threshold("f") == 100
    # Another governor may be used from inside a ledger.
    other = JitGovernor()
    assert other.should_compile(
        "f",
        type(
            "L",
            (),
            {
                "get_metrics": lambda self, f: (
                    gov.update("f", Ledger(f=FunctionMetrics(compile_count=1, avg_speedup=3.0))),
                    FunctionMetrics(call_count=100),
                )[1]
            },
        )(),
    )
    assert gov.get_threshold("f") == 91


def test_conversions_that_collect_and_release_the_interpreter_lock() -> None:
    gov = JitGovernor()
    stop = threading.Event()

    def churn() -> None:
        while not stop.is_set():
            JitGovernor().update("x", Ledger(x=FunctionMetrics(compile_count=1)))

    class Slippery:
        def __index__(self):
            gc.collect(0)
            time.sleep(0.0001)  # other threads run meanwhile
            return 150

        def __float__(self):
            gc.collect(0)
            time.sleep(0.0001)
            return 3.0

    metrics = types.SimpleNamespace(
        call_count=Slippery(),
        compile_count=Slippery(),
        avg_speedup=Slippery(),
        last_compiled=Slippery(),
    )
    worker = threading.Thread(target=churn)
    worker.start()
    try:
        for _ in range(20):
            gov.should_compile("f", ledger_of(metrics))
            gov.update("f", ledger_of(metrics))
    finally:
        stop.set()
        worker.join()
    assert gov.get_statistics()["tracked_functions"] == 1


def test_no_reference_leaks() -> None:
    gov = JitGovernor()
    func_id = "".join(["leak", "check"])
    metrics = FunctionMetrics(call_count=100, compile_count=1, avg_speedup=3.0)
    plain = types.SimpleNamespace(call_count=100, compile_count=1, avg_speedup=3.0)
    led, led_plain = ledger_of(metrics, func_id), ledger_of(plain, func_id)
    bad = ledger_of(types.SimpleNamespace(call_count=-1, compile_count=1, avg_speedup=1.0), func_id)
    watched = (gov, func_id, metrics, plain, led, led_plain, gov.config)

    def exercise() -> None:
        for _ in range(200):
            gov.get_threshold(func_id)
            gov.should_compile(func_id, led)
            gov.should_compile(func_id, led_plain)
            gov.update(func_id, led)
            gov.update(func_id, led_plain)
            gov.get_statistics()
            with pytest.raises(OverflowError):
                gov.should_compile(func_id, bad)

    exercise()
    before = [sys.getrefcount(o) for o in watched]
    exercise()
    assert [sys.getrefcount(o) for o in watched] == before


def test_cycles_through_a_config_subclass_are_collected() -> None:
    class Holder(PolicyConfig):
        pass

    gc.collect()
    cfg = Holder()
    cfg.governor = JitGovernor(cfg)  # type: ignore[attr-defined]
    ref = weakref.ref(cfg)
    del cfg
    gc.collect()
    assert ref() is None


def test_a_deep_chain_of_governors_frees_without_overflowing_the_stack() -> None:
    code = """
from kestrun.jit.jit_governor import JitGovernor, PolicyConfig
class Link(PolicyConfig):
    __slots__ = ("next",)
head = None
for _ in range(200_000):
    cfg = Link()
    cfg.next = head
    head = JitGovernor(cfg)
del head, cfg
print("freed")
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "freed"


def test_subclasses_are_allowed() -> None:
    class Mine(JitGovernor):
        def get_threshold(self, func_id):
            return super().get_threshold(func_id) + 1

    gov = Mine(PolicyConfig(initial_threshold=42))
    assert gov.get_threshold("f") == 43 and isinstance(gov, JitGovernor)


# ---------------------------------------------------------------- threads


def run_threads(n: int, target, *args) -> None:
    threads = [threading.Thread(target=target, args=(i, *args)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def test_threads_updating_many_functions_lose_no_update() -> None:
    # Each update of a function reads its current threshold and stores a new
    # one: a lost update would leave a threshold behind the sequential model.
    cfg = PolicyConfig(
        initial_threshold=1000, min_threshold=1, max_threshold=I32_MAX, learning_rate=0.01
    )
    slow = FunctionMetrics(call_count=10**6, compile_count=9, avg_speedup=0.5)
    names = [f"f{i}" for i in range(24)]
    gov, n_threads, rounds = JitGovernor(cfg), 8, 40

    class YieldingLedger:
        def get_metrics(self, func_id):
            time.sleep(0)  # give the interpreter lock away inside the section
            return slow

    led = YieldingLedger()
    decisions = [0] * n_threads

    def work(index: int) -> None:
        order = names[index:] + names[:index]
        for _ in range(rounds):
            for name in order:
                gov.update(name, led)
                decisions[index] += gov.should_compile(name, led)
                gov.get_threshold(name)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        run_threads(n_threads, work)
    finally:
        sys.setswitchinterval(old)
    expected = 1000
    for _ in range(n_threads * rounds):
        expected = model_threshold_after(expected, 9, 0.5, cfg)
    assert {gov.get_threshold(name) for name in names} == {expected}
    assert gov.get_statistics() == {
        "tracked_functions": len(names),
        "avg_threshold": float(expected),
        "min_threshold": expected,
        "max_threshold": expected,
    }
    assert sum(decisions) == n_threads * rounds * len(names)


def test_sections_exclude_each_other_while_the_ledger_runs() -> None:
    gov = JitGovernor()
    inside, most = [0], [0]

    class Watching:
        def get_metrics(self, func_id):
            inside[0] += 1
            most[0] = max(most[0], inside[0])
            time.sleep(0.0002)
            inside[0] -= 1
            return FunctionMetrics(call_count=100, compile_count=1, avg_speedup=3.0)

    led = Watching()

    def work(index: int) -> None:
        for _ in range(30):
            (gov.update if index % 2 else gov.should_compile)(f"f{index % 3}", led)

    run_threads(6, work)
    assert most[0] == 1


@pytest.mark.parametrize("reader", ["get_threshold", "get_statistics"])
def test_readers_wait_for_an_update_in_progress(reader) -> None:
    gov = JitGovernor()
    entered, go = threading.Event(), threading.Event()

    class Held:
        def get_metrics(self, func_id):
            entered.set()
            go.wait(10)
            return FunctionMetrics(compile_count=1, avg_speedup=3.0)

    writer = threading.Thread(target=gov.update, args=("f", Held()))
    writer.start()
    assert entered.wait(10)
    seen = []
    call = (
        (lambda: gov.get_threshold("f"))
        if reader == "get_threshold"
        else (lambda: gov.get_statistics()["min_threshold"])
    )
    other = threading.Thread(target=lambda: seen.append(call()))
    other.start()
    other.join(0.2)
    assert seen == [] and other.is_alive()  # waiting for the governor's lock
    go.set()
    writer.join()
    other.join()
    assert seen == [91]


# ---------------------------------------------------------------- process-wide governor


def test_singleton_lifecycle(fresh_singleton) -> None:
    first = get_jit_governor()
    assert get_jit_governor() is first and type(first) is JitGovernor
    assert type(first.config) is PolicyConfig
    first.update("f", ledger_of(FunctionMetrics(compile_count=1, avg_speedup=3.0)))
    assert reset_jit_governor() is None
    assert reset_jit_governor() is None  # nothing to drop
    second = get_jit_governor()
    assert second is not first and second.get_statistics()["tracked_functions"] == 0
    assert first.get_threshold("f") == 91  # still usable and independent
    assert not hasattr(jg, "governor_singleton")


def test_singleton_is_created_once_under_many_threads(fresh_singleton) -> None:
    seen = []
    barrier = threading.Barrier(8)

    def work(index: int) -> None:
        barrier.wait()
        seen.append(get_jit_governor())

    run_threads(8, work)
    assert len({id(g) for g in seen}) == 1 and seen[0] is get_jit_governor()


def test_failed_creation_leaves_no_governor_and_frees_the_lock(
    fresh_singleton, monkeypatch
) -> None:
    class NoLocks:
        def Lock(self):
            raise OSError("no locks today")

    monkeypatch.setattr(jg, "threading", NoLocks())
    with pytest.raises(OSError, match="no locks today"):
        get_jit_governor()
    assert not jg._policy_lock.locked()

    class CallingBack:
        def Lock(self):
            return get_jit_governor()

    monkeypatch.setattr(jg, "threading", CallingBack())
    with pytest.raises(RuntimeError, match="_policy_lock is already held by this thread"):
        get_jit_governor()
    monkeypatch.undo()
    assert type(get_jit_governor()) is JitGovernor


def test_policy_lock_is_the_module_global(fresh_singleton, monkeypatch) -> None:
    calls = []

    class Counting:
        def acquire(self):
            calls.append("acquire")
            return True

        def release(self):
            calls.append("release")

    monkeypatch.setattr(jg, "_policy_lock", Counting())
    get_jit_governor()
    reset_jit_governor()
    assert calls == ["acquire", "release"] * 2
    monkeypatch.delattr(jg, "_policy_lock")
    with pytest.raises(NameError, match="name '_policy_lock' is not defined"):
        get_jit_governor()
