"""kestrun.plugins.analyzer.shiftplan: the orchestrator's decision functions."""

from __future__ import annotations

import copy
import math
import sys
from collections import Counter

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

sp = pytest.importorskip("kestrun.plugins.analyzer.shiftplan")

KEYS = ("parallelization_potential", "cpu_intensity", "memory_intensity")


def obs(p, c, m):
    return dict(zip(KEYS, (p, c, m)))


# --- argument rules -----------------------------------------------------------


@pytest.mark.parametrize(
    "call, exc, msg",
    [
        (
            lambda: sp.detect_performance_degradation((), 1, 0.1, 0),
            TypeError,
            "Argument 'performance_history' has incorrect type (expected list, got tuple)",
        ),
        (
            lambda: sp.calculate_performance_trend([], "0"),
            TypeError,
            "must be real number, not str",
        ),
        (
            lambda: sp.detect_workload_characteristics_change(None),
            TypeError,
            "object of type 'NoneType' has no len()",
        ),
        (
            lambda: sp.detect_dominant_pattern(None),
            TypeError,
            "object of type 'NoneType' has no len()",
        ),
        (
            lambda: sp.detect_dominant_pattern(["a"], 2**31),
            OverflowError,
            "value too large to convert to int",
        ),
        (lambda: sp.detect_dominant_pattern(["a"], "5"), TypeError, "an integer is required"),
        (
            lambda: sp.predict_resource_requirements(None, 1),
            TypeError,
            "object of type 'NoneType' has no len()",
        ),
        (
            lambda: sp.is_adaptation_beneficial(b"a", "b", 1, 1, 1, 0),
            TypeError,
            "Argument 'current_pool' has incorrect type (expected str, got bytes)",
        ),
        (
            lambda: sp.is_adaptation_beneficial("a", "b", 1, 1, 1, -(2**31) - 1),
            OverflowError,
            "value too large to convert to int",
        ),
        (
            lambda: sp.should_skip_adaptation(1, 2),
            TypeError,
            "missing 1 required positional argument",
        ),
        (
            lambda: sp.detect_memory_pressure(1, 2, threshold=0.5),
            TypeError,
            "unexpected keyword argument",
        ),
    ],
)
def test_bad_arguments(call, exc, msg):
    with pytest.raises(exc) as info:
        call()
    assert msg in str(info.value)


def test_str_subclass_refused_and_keywords_accepted():
    class Name(str):
        pass

    with pytest.raises(TypeError, match="expected str, got Name"):
        sp.is_adaptation_beneficial(Name("a"), "b", 1, 1, 1, 0)
    with pytest.raises(TypeError, match="Expected str, got Name"):
        sp.detect_dominant_pattern([Name("a")])
    assert (
        sp.is_adaptation_beneficial(
            recommended_pool="b",
            current_pool="a",
            recommendation_score=0.9,
            recommendation_confidence=0.9,
            current_performance_estimate=1,
            trigger_code=0.9,
        )
        is True
    )  # 0.9 truncates to trigger 0


# --- history entries ------------------------------------------------------------

BASE = [(10.0, 1.0)] * 4


@pytest.mark.parametrize(
    "entry, exc, msg",
    [
        ((1, 2, 3), ValueError, "too many values to unpack (expected 2)"),
        ([1, 2, 3], ValueError, "too many values to unpack (expected 2)"),
        (iter([1, 2, 3]), ValueError, "too many values to unpack (expected 2)"),
        ([1], ValueError, "need more than 1 value to unpack"),
        ((), ValueError, "need more than 0 values to unpack"),
        (iter([1]), ValueError, "need more than 1 value to unpack"),
        (5, TypeError, "cannot unpack non-iterable int object"),
        ((1, "x"), TypeError, "must be real number, not str"),
        (("x", 1), TypeError, "must be real number, not str"),
    ],
)
def test_entry_unpacking_errors(entry, exc, msg):
    for call in (
        lambda h: sp.detect_performance_degradation(h, 1.0, 0.1, 0.0),
        lambda h: sp.calculate_performance_trend(h, 0.0),
        lambda h: sp.predict_resource_requirements([(0, 1)] * 5 + h + [(9, 1)], 1.0),
    ):
        with pytest.raises(exc) as info:
            call(BASE + [copy.copy(entry)])
        assert str(info.value) == msg


class Num:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return float(self.v)


@pytest.mark.parametrize(
    "entry",
    [(11, 0.5), [11, 0.5], iter((11, 0.5)), (Num(11), Num(0.5)), (11, False), {11: 0, 0.5: 0}],
)
def test_any_two_item_iterable_is_an_entry(entry):
    assert sp.detect_performance_degradation(BASE + [entry], 1.0, 0.05, 10) is True


def test_inputs_are_not_modified_and_not_leaked():
    hist = [(float(i), 100.0 - i) for i in range(20)]
    snapshot = copy.deepcopy(hist)
    refs = [sys.getrefcount(e) for e in hist]
    for _ in range(100):
        sp.detect_performance_degradation(hist, 100.0, 0.1, 5.0)
        sp.calculate_performance_trend(hist, 5.0)
        sp.predict_resource_requirements(hist, 10.0)
    assert hist == snapshot and [sys.getrefcount(e) for e in hist] == refs


def test_history_shrinking_during_conversion_is_safe():
    hist: list = []

    class Shrinker:
        def __float__(self):
            hist.clear()
            return 1.0

    hist.extend([(0.0, 1.0), (Shrinker(), 2.0)] + [(float(i), 1.0) for i in range(2, 12)])
    assert sp.predict_resource_requirements(hist, 1.0) == (1, 0, 12 * 0.008)
    hist.extend([(0.0, 1.0), (Shrinker(), 2.0)] + [(0.0, 1.0)] * 5)
    assert sp.detect_performance_degradation(hist, 10.0, 0.1, 0.0) is False


@pytest.mark.parametrize("mutate", [list.clear, lambda h: h.__delitem__(slice(1, None))])
def test_workload_change_survives_a_key_that_shortens_the_history(mutate):
    # A stored key whose hash collides with a looked-up key has its __eq__
    # called during the lookup; it may shorten the list or free the dicts.
    class Key:
        armed = False

        def __hash__(self):
            return hash(KEYS[0])

        def __eq__(self, other):
            if Key.armed:
                mutate(hist)
            return False

    hist = [{Key(): 0, **obs(0.1, 0.1, 0.1)} for _ in range(3)] + [
        {Key(): 0, **obs(0.9, 0.1, 0.1)} for _ in range(3)
    ]
    Key.armed = True
    changed, *deltas = sp.detect_workload_characteristics_change(hist)
    assert changed is True and deltas == pytest.approx([0.8, 0.0, 0.0])


# --- detection -------------------------------------------------------------------


@pytest.mark.parametrize(
    "hist, baseline, threshold, expected",
    [
        ([(float(t), 1.0) for t in range(10)], 100, 0.1, False),  # only 4 at or after t=6
        ([(6.0, 80.0)] * 5, 100, 0.2, False),  # exactly 0.2 is not above
        ([(6.0, 80.0)] * 5, 100, 0.19, True),
        ([(6.0, 80.0)] * 5, 0, -1.0, False),
        (None, 100, 0.0, False),
        ([(6.0, 1.0)] * 4, 100, 0.0, False),
    ],
)
def test_degradation(hist, baseline, threshold, expected):
    assert sp.detect_performance_degradation(hist, baseline, threshold, 6.0) is expected


@pytest.mark.parametrize(
    "hist, start, expected",
    [
        ([(0, 10), (1, 11), (2, 12)], 0, 1 / 11),
        ([(-1, 99), (0, 10), (1, 11), (2, 12)], 0, 1 / 11),  # the start itself counts
        ([(5, 1), (5, 2), (5, 3)], 0, 0.0),  # Sxx = 0
        ([(0, 0), (1, 0), (2, 0)], 0, 0.0),  # mean 0
        ([(0, 1), (1, 1), (2, 100)], 0, 1.0),
        ([(0, 100), (1, 1), (2, 1)], 0, -1.0),
        ([(0, 1), (1, 2)], 0, 0.0),
        (None, 0, 0.0),
    ],
)
def test_trend(hist, start, expected):
    assert sp.calculate_performance_trend(hist, start) == pytest.approx(expected)


@pytest.mark.parametrize(
    "history, expected",
    [
        ([obs(0.2, 0.2, 0.2)] * 5, (False, 0.0, 0.0, 0.0)),
        ([obs(0.2, 0.2, 0.2)] * 5 + [{KEYS[0]: 1, KEYS[1]: 1}], (False, 0.0, 0.0, 0.0)),
        ([obs(0.2, 0.2, 0.2)] * 3 + [obs(0.6, 0.2, 0.2)] * 3, (True, 0.4, 0.0, 0.0)),
        ([obs(0, 0, 0)] * 3 + [obs(True, 1, 0.25)] * 3, (True, 1.0, 1.0, 0.25)),
        ([obs(0, 0, 0)] * 3 + [obs(0.3, 0.2, 0.1)] * 3, (False, 0.3, 0.2, 0.1)),  # equal: no change
    ],
)
def test_workload_change(history, expected):
    changed, *deltas = sp.detect_workload_characteristics_change(history)
    assert changed is expected[0] and deltas == pytest.approx(expected[1:])


@pytest.mark.parametrize(
    "bad, exc, msg",
    [
        (None, TypeError, "'NoneType' object is not iterable"),
        ([1], TypeError, "Expected dict, got list"),
        (obs(0.1, "x", 0.1), TypeError, "unsupported operand type(s) for +=: 'float' and 'str'"),
    ],
)
def test_workload_change_errors(bad, exc, msg):
    with pytest.raises(exc) as info:
        sp.detect_workload_characteristics_change([obs(0, 0, 0)] * 5 + [bad])
    assert str(info.value) == msg


@pytest.mark.parametrize(
    "patterns, window, expected",
    [
        (["a", "b", "b", "a"], 5, "a"),
        (["x", "a", "b", "b"], 3, "b"),
        (["a", "b"], 0, "mixed"),
        (["a", "b"], -3, "mixed"),
        ([], 5, "mixed"),
        (["a", None, None], 5, None),
        (["a", "".join(["b", "c"]), "bc"], 3, "bc"),  # equal, not identical, strings
    ],
)
def test_dominant_pattern(patterns, window, expected):
    assert sp.detect_dominant_pattern(patterns, window) == expected


@settings(max_examples=200, deadline=None)
@given(
    st.lists(st.sampled_from(["cpu", "io", "gpu", None]) | st.text(max_size=3)), st.integers(-3, 60)
)
def test_dominant_pattern_matches_model(patterns, window):
    win = patterns[max(0, len(patterns) - window) :] if window > 0 else []
    expected = (
        max(Counter(win).items(), key=lambda kv: kv[1])[0] if win else "mixed"
    )  # first max wins
    assert sp.detect_dominant_pattern(patterns, window) == expected


# --- decisions ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, expected",
    [
        (("a", "a", 9, 1, 1, 0), False),
        ((None, None, 9, 1, 1, 0), False),
        ((None, "a", 0.9, 0.6, 1, 0), True),
        (("a", "b", 0.9, 0.59, 1, 0), False),
        (("a", "b", 0.5, 1, 1, 0), False),
        (("a", "b", 0.51, 1, 1, 0), True),
        (("a", "b", 11, 1, 10, 2), False),
        (("a", "b", 11.1, 1, 10, 2), True),
        (("a", "b", 0.61, 1, 0, 1), True),
        (("a", "b", 0.6, 1, 0, 1), False),
    ],
)
def test_adaptation_beneficial(args, expected):
    assert sp.is_adaptation_beneficial(*args) is expected


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: sp.should_skip_adaptation(100.0, 105.0, 5.0), False),
        (lambda: sp.should_skip_adaptation(100.0, 104.9, 5.0), True),
        (lambda: sp.detect_memory_pressure(80.0, 100.0), False),
        (lambda: sp.detect_memory_pressure(81.0, 100.0), True),
        (lambda: sp.detect_memory_pressure(81.0, 0.0), False),
        (lambda: sp.detect_memory_pressure(-1.0, 100.0, -1.0), False),
        (lambda: sp.detect_fragmentation_threshold(0.3), False),
        (lambda: sp.detect_fragmentation_threshold(0.31), True),
        (lambda: sp.detect_fragmentation_threshold(-0.5, -1.0), False),
    ],
)
def test_threshold_decisions(call, expected):
    assert call() is expected


@pytest.mark.parametrize(
    "fn, args, expected",
    [
        (sp.calculate_adaptation_urgency, (2.0, 2.0, 2.0, True), 1.0),
        (sp.calculate_adaptation_urgency, (0.5, 0.0, 0.0, False), 0.2),
        (sp.calculate_adaptation_urgency, (-1.0, -5.0, -0.1, []), 0.0),
        (sp.calculate_adaptation_urgency, (math.nan, 0.0, 0.0, "yes"), 0.15),
        (sp.score_pool_recommendation, (1.0, 1.0, 1.0, 1.0), 1.0),
        (sp.score_pool_recommendation, (-1.0, 0.5, 0.0, 0.0), 0.15),
        (sp.score_pool_recommendation, (math.inf, 0.0, 0.0, 0.5), 0.425),
    ],
)
def test_weighted_scores(fn, args, expected):
    assert fn(*args) == pytest.approx(expected)


# --- resource prediction ---------------------------------------------------------------

TEN = [(float(i), 100) for i in range(10)]


@pytest.mark.parametrize(
    "history, horizon, expected",
    [
        (TEN[:9], 9, (0, 0, 0.0)),
        ([(5.0, 100)] * 10, 9, (0, 0, 0.0)),
        (TEN, 9, (10, 1000, 0.08)),
        (TEN, 4.4, (4, 400, 0.08)),  # truncated before the bytes
        ([(i / 10, 8) for i in range(100)], 9.9, (100, 800, 0.8)),
        # out of the 32-bit range: saturated at its ends; NaN gives 0
        (TEN, 1e300, (2**31 - 1, 2**31 - 1, 0.08)),
        (TEN, -math.inf, (-(2**31), -(2**31), 0.08)),
        (TEN, math.nan, (0, 0, 0.08)),
        (TEN[:9] + [(math.inf, 1)], 5, (0, 0, 0.08)),
        (TEN[:9] + [(9.0, 1e12)], 9, (10, 2**31 - 1, 0.08)),
    ],
)
def test_predict_resource_requirements(history, horizon, expected):
    assert sp.predict_resource_requirements(history, horizon) == expected


@pytest.mark.parametrize("first, exc", [((), IndexError), ({1: 2}, KeyError), ({1, 2}, TypeError)])
def test_predict_first_entry_without_item_zero(first, exc):
    with pytest.raises(exc):
        sp.predict_resource_requirements([first] + TEN, 1.0)
