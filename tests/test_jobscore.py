"""kestrun.plugins.analyzer.jobscore: text scores and workload decisions."""

from __future__ import annotations

import math
import re
import sys

import _models as models
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kestrun.plugins.analyzer import jobscore as js

# ---------------------------------------------------------------- plain-Python models

INDICATOR_LISTS = [
    models.CPU,
    models.MEMORY,
    models.PARALLEL,
    models.GPU_OP,
    models.LARGE_DATA,
    models.EMBARRASSING,
    models.SEQUENTIAL,
]
FRAMEWORK_LISTS = [models.NUMPY, models.PANDAS, models.SKLEARN]
PATTERNS = models.PATTERNS
ALL_KEYWORDS = sorted({w for lst in INDICATOR_LISTS + FRAMEWORK_LISTS for w in lst})

model_indicators = models.score_indicators
model_frameworks = models.score_framework_patterns
model_quick = models.quick_framework_score
model_pattern = models.determine_workload_pattern


# Text made of keyword pieces, case changes, separators and characters whose
# lower-casing is special (length or kind changes, lowering to ASCII).
TRICKY = ["İ", "K", "ſ", "ı", "ß", "é", "Σ", "—", "😀", "ﬁ", "Ä"]
pieces = st.sampled_from(
    ALL_KEYWORDS
    + [
        "DataFrame",
        "GridSearchCV",
        "RandomForest",
        "NP.",
        "Np.",
        "xarray",
        "arrays",
        "_",
        ".",
        " ",
        "\n",
        "(",
        "a",
        "k",
        "i",
        "1",
    ]
    + TRICKY
)
texts = st.lists(st.one_of(pieces, pieces.map(str.upper)), max_size=60).map("".join)


# ---------------------------------------------------------------- argument conventions

Sub = type("Sub", (str,), {})


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (
            lambda: js.score_indicators(Sub("x"), None),
            TypeError,
            "Argument 'code' has incorrect type (expected str, got Sub)",
        ),
        (
            lambda: js.score_indicators("x", b"f"),
            TypeError,
            "Argument 'function_name' has incorrect type (expected str, got bytes)",
        ),
        (
            lambda: js.quick_framework_score("x", 1),
            TypeError,
            "Argument 'framework' has incorrect type",
        ),
        (
            lambda: js.quick_framework_score(b"np.", "torch"),
            TypeError,
            "Argument 'code' has incorrect",
        ),
        (lambda: js.score_framework_patterns(None), TypeError, "doesn't apply to a 'NoneType'"),
        (lambda: js.score_indicators(None, "f"), TypeError, "doesn't apply to a 'NoneType'"),
        (lambda: js.quick_framework_score(None, "numpy"), TypeError, "expected string"),
        (
            lambda: js.normalize_scores(2**31, 0, 0, 0, 0),
            OverflowError,
            "value too large to convert to int",
        ),
        (lambda: js.normalize_scores(0, 0, 0, 0, "3"), TypeError, "an integer is required"),
        (
            lambda: js.determine_workload_pattern(*[0.0] * 8, 2**31, *[0.0] * 8),
            OverflowError,
            "value too large to convert to int",
        ),
        # conversions run in argument order: the first bad one raises
        (
            lambda: js.determine_workload_pattern("x", *[0.0] * 7, 2**31, *[0.0] * 8),
            TypeError,
            "must be real number",
        ),
        (
            lambda: js.calculate_gpu_suitability(1, 1, 1, False, 8.6),
            TypeError,
            "Argument 'compute_capability' has incorrect type (expected str, got float)",
        ),
        (
            lambda: js.estimate_gpu_speedup(0.5, 0.5),
            TypeError,
            "missing 1 required positional argument",
        ),
        (
            lambda: js.update_adaptive_threshold(0.5, 0.5, 0.1, 0.1, 0.9, rate=1),
            TypeError,
            "unexpected keyword argument 'rate'",
        ),
    ],
)
def test_bad_arguments(call, exc, message):
    with pytest.raises(exc, match=re.escape(message)):
        call()


def test_keywords_and_conversions():
    assert js.score_indicators(function_name="apply", code="") == (0, 0, 0, 0, 0, 1, 0)
    assert js.quick_framework_score(framework="numpy", code="numpy") == 0.1
    assert js.normalize_scores(15.9, True, 0, 0, 0) == (1.0, 0.1, 0.0, 0.0, 0.0)
    assert (
        js.estimate_gpu_speedup(gpu_available=[1], gpu_data_size_score=0, gpu_operation_score=1)
        == 15.0
    )


# ---------------------------------------------------------------- framework regex score


@pytest.mark.parametrize(
    "code, framework, expected",
    [
        ("import numpy as np", "numpy", 0.1),
        ("np.array(x)", "numpy", 0.2),
        ("NP.ARRAY(x) + Np.Linalg", "numpy", 0.4),
        ("xarray arrays array_ np. np.x", "numpy", 0.1),
        ("np.array(x) " * 6, "numpy", 1.0),
        ("df.groupby('a').merge(other)", "pandas", 0.2),
        ("model.fit(X); model.predict(X)", "sklearn", 0.2),
        ("np.array(x)", "torch", 0.0),
        ("np.array(x)", None, 0.0),
        (None, "torch", 0.0),
        ("np.array(x)", "NumPy", 0.0),
    ],
)
def test_quick_framework_score(code, framework, expected):
    assert js.quick_framework_score(code, framework) == expected


@given(texts, st.sampled_from(sorted(PATTERNS)))
@settings(max_examples=400)
def test_quick_framework_score_is_findall(code, framework):
    for text in (code, code * 12):
        assert js.quick_framework_score(text, framework) == model_quick(text, framework)


@pytest.mark.parametrize("framework", sorted(PATTERNS))
@pytest.mark.parametrize("filler, repeats", [("arrays fits pd_ ", 1), ("Series. pivots ", 40)])
@pytest.mark.parametrize("lead", [0, 3])
def test_quick_framework_score_on_long_texts(framework, filler, repeats, lead):
    # Many places that look like a match, and real matches only near the end;
    # behind a lead three times as long, all of them fall into the last of the
    # four lanes the text is walked in.
    for tail in ("", " np.x merge fit", " NP.x MERGE FIT" * repeats):
        body = filler * 300 + tail
        code = "x" * (lead * len(body)) + body
        assert js.quick_framework_score(code, framework) == model_quick(code, framework)
    code = (filler * 40 + "np.x merge fit ") * 8  # matches before and after the switch
    assert js.quick_framework_score(code, framework) == model_quick(code, framework)


# ---------------------------------------------------------------- keyword scores


@pytest.mark.parametrize(
    "code, name, expected",
    [
        ("", None, (0, 0, 0, 0, 0, 0, 0)),
        ("x = a + b", "", (0, 0, 0, 1, 0, 0, 0)),
        ("Format", None, (1, 0, 0, 0, 0, 0, 0)),
        ("", "apply_map", (0, 0, 0, 0, 0, 2, 0)),
        ("", "for_matmul", (0, 0, 0, 1, 0, 0, 0)),  # the name counts only for two lists
        ("map(f, x)", "MAP", (0, 0, 0, 0, 0, 1, 0)),  # in both: counted once
        ("a ** b", None, (0, 0, 0, 2, 0, 0, 0)),  # "**" and "*"
        ("a @ b / c - d", None, (0, 0, 0, 3, 0, 0, 0)),
        ("for for FOR", None, (1, 0, 0, 0, 0, 0, 0)),
        ("1e6 1024 GB", None, (0, 0, 0, 0, 3, 0, 0)),
        ("ProcessPoolExecutor", None, (0, 0, 2, 0, 0, 0, 0)),  # and "pool"
    ],
)
def test_score_indicators(code, name, expected):
    assert js.score_indicators(code, name) == expected


@pytest.mark.parametrize(
    "code, expected",
    [
        ("df.groupby('a').agg(sum)", (0.04, 2 * 0.05555555555555555, 0.0)),
        ("", (0.0, 0.0, 0.0)),
        (
            " ".join(FRAMEWORK_LISTS[0]),
            (1.0, 0.05555555555555555, 0.0),
        ),  # "concat" in "concatenate"
        (" ".join(FRAMEWORK_LISTS[1]).upper(), (0.0, 1.0, 0.05555555555555555)),
    ],
)
def test_score_framework_patterns(code, expected):
    assert js.score_framework_patterns(code) == pytest.approx(expected, abs=0, rel=1e-15)


@pytest.mark.parametrize(
    "code, name",
    [
        ("LOC\u212a", None),  # Kelvin sign lowers to "k": "lock"
        ("S\u0130N FIT", "\u0130"),  # lowers to "i" + U+0307: not "sin"
        ("FI\u0130", None),
        ("MAT\u00c4H SUM\u00dfX", None),  # one-byte text beyond ASCII
        ("while\u2014for\U0001f600range", "APPLY\u2014MAP"),  # two- and four-byte text
        ("\u03a3UM \u017fum \u0131for", None),
    ],
)
def test_non_ascii_text_lowers_as_str_lower(code, name):
    assert js.score_indicators(code, name) == model_indicators(code, name)
    assert js.score_framework_patterns(code) == model_frameworks(code)


@pytest.mark.slow
def test_only_two_characters_lower_to_ascii_beyond_ascii():
    # The scorers read non-ASCII text without lower-casing it; that holds as
    # long as these are the only characters whose lower-casing holds ASCII.
    special = [
        c for c in range(128, sys.maxunicode + 1) if any(ch < "\x80" for ch in chr(c).lower())
    ]
    assert special == [0x130, 0x212A]
    assert "\u0130".lower() == "i\u0307" and "\u212a".lower() == "k"


@pytest.mark.parametrize("filler", ["x", "\u00e9", "\u2014", "\U0001f600"])
def test_keywords_found_anywhere_in_long_texts(filler):
    # Long texts are read in several lanes; no place may be missed.
    word = "processpoolexecutor"
    for at in range(0, 700 - len(word) + 1, 7):
        code = filler * at + word + filler * (700 - len(word) - at)
        assert js.score_indicators(code, None)[2] == 2, at


@given(texts, st.one_of(st.none(), texts))
@settings(max_examples=300)
def test_scores_match_the_model(code, name):
    for text in (code, code * 9):  # short and long (laned) texts
        assert js.score_indicators(text, name) == model_indicators(text, name)
        assert js.score_framework_patterns(text) == model_frameworks(text)


@pytest.mark.parametrize("keyword", ALL_KEYWORDS)
def test_every_keyword_alone(keyword):
    assert js.score_indicators(keyword.upper(), None) == model_indicators(keyword, None)
    assert js.score_framework_patterns(keyword) == model_frameworks(keyword)


# ---------------------------------------------------------------- normalisation


@pytest.mark.parametrize(
    "counts, expected",
    [
        ((15, 10, 11, 36, 13), (1.0, 1.0, 1.0, 1.0, 1.0)),
        ((30, -5, 0, 18, 0), (1.0, 0.0, 0.0, 0.5, 0.0)),
        (
            (1, 1, 1, 1, 1),
            (
                0.06666666666666667,
                0.1,
                0.09090909090909091,
                0.027777777777777776,
                0.07692307692307693,
            ),
        ),
        ((3, 0, 0, 0, 3), (3 * 0.06666666666666667, 0.0, 0.0, 0.0, 3 * 0.07692307692307693)),
    ],
)
def test_normalize_scores(counts, expected):
    assert js.normalize_scores(*counts) == expected


# ---------------------------------------------------------------- workload decisions


@pytest.mark.parametrize(
    "args, expected",
    [
        ((1.0, 1.0, 1.0, True, "8.6"), 1.0),
        ((1.0, 1.0, 1.0, True, "5.2"), 1.0),
        ((0.5, 0.5, 0.0, True, "5.2"), 0.4),
        ((0.5, 0.0, 0.0, True, "7.5"), 1.1 * 0.3),
        ((0.5, 0.0, 0.0, True, "abc"), 0.3),
        ((0.5, 0.0, 0.0, True, ""), 0.3),
        ((0.5, 0.0, 0.0, True, None), 0.3),
        ((0.5, 0.0, 0.0, True, ".5"), 0.3),
        ((0.5, 0.0, 0.0, True, "10.0"), 1.2 * 0.3),
        ((0.5, 0.0, 0.0, True, "6"), 0.3),
        ((0.5, 0.0, 0.0, True, " 1_0 .x"), 1.2 * 0.3),  # int() rules
        ((0.5, 0.0, 0.0, True, "\u0668.6"), 1.2 * 0.3),  # Arabic-Indic eight
        ((0.5, 0.0, 0.0, True, "-7"), 0.8 * 0.3),
        ((0.5, 0.0, 5.0, True, None), 0.6),  # CPU bonus limited to 0.3
        ((0.0, 0.0, -5.0, True, None), 0.0),
        ((1.0, 1.0, 1.0, False, "99999999999"), 0.0),  # no GPU: capability not read
    ],
)
def test_calculate_gpu_suitability(args, expected):
    assert js.calculate_gpu_suitability(*args) == pytest.approx(expected, abs=1e-15)


def test_capability_outside_int32_overflows():
    with pytest.raises(OverflowError, match="value too large to convert to int"):
        js.calculate_gpu_suitability(0.5, 0.5, 0.5, True, "99999999999.0")


@pytest.mark.parametrize(
    "args, expected",
    [
        ((0.9, 1.0, True), 22.5),
        ((0.8, 0.0, True), 8.0),
        ((0.0, 1.0, True), 1.0),
        ((0.5, 0.0, False), 1.0),
        ((-0.2, 0.0, True), 2.0),
        ((0.7, 0.5, True), 10.0),
        ((0.4, 3.0, 1), 10.0),
    ],
)
def test_estimate_gpu_speedup(args, expected):
    assert js.estimate_gpu_speedup(*args) == expected


@pytest.mark.parametrize(
    "args, expected",
    [
        ((0.5, 1.0, 1.0, 0.5), 0.8),
        ((0.0, 5.0, 0.0, 0.0), 0.7),
        ((0.2, 0.0, 10.0, 0.0), 0.0),
        ((0.9, 1.0, 0.0, 1.0), 1.0),
        ((0.0, -1.0, -1.0, 0.0), 0.0),
    ],
)
def test_calculate_parallelization_potential(args, expected):
    assert js.calculate_parallelization_potential(*args) == pytest.approx(expected, abs=1e-15)


SCORES = (0.0,) * 8
THRESHOLDS = (0.5,) * 6


@pytest.mark.parametrize(
    "scores, counts, gpu, expected",
    [
        (SCORES, (0, 0), False, 0),
        (SCORES, (3, 0), False, 4),
        (SCORES, (10, 1), False, 3),
        ((0.0, 0.0, 0.0, 0.9, 0.0, 0.0, 0.0, 0.6), (0, 0), True, 12),
        ((0.9, 0.0, 0.0, 0.9, 0.9, 0.0, 0.0, 0.0), (0, 0), True, 6),
        ((0.9, 0.9, 0.0, 0.9, 0.5, 0.0, 0.0, 0.0), (0, 0), True, 7),
        ((0.0, 0.0, 0.9, 0.9, 0.0, 0.0, 0.0, 0.0), (5, 5), True, 5),
        (
            (0.5, 0.5, 0.6, 0.5, 0.0, 0.5, 0.5, 0.5),
            (0, 0),
            True,
            0,
        ),  # equal to a threshold: no rule
        ((math.nan,) * 8, (0, 0), True, 0),
    ],
)
def test_determine_workload_pattern(scores, counts, gpu, expected):
    assert js.determine_workload_pattern(*scores, *counts, *THRESHOLDS, gpu) == expected


score = st.sampled_from([0.0, 0.3, 0.5, 0.6, 0.7, 0.8, 1.0])


@given(
    st.lists(score, min_size=8, max_size=8),
    st.integers(-1, 4),
    st.integers(-1, 2),
    st.lists(score, min_size=6, max_size=6),
    st.booleans(),
)
def test_determine_workload_pattern_model(scores, seq, emb, thresholds, gpu):
    args = (*scores, seq, emb, *thresholds, gpu)
    assert js.determine_workload_pattern(*args) == model_pattern(*args)


@pytest.mark.parametrize(
    "args, expected",
    [
        ((0.5, 0.9, 0.1, 0.1, 0.9), 0.6),
        ((0.5, 0.4, 0.1, 0.1, 0.9), 0.5),
        ((0.5, 0.39, 0.1, 0.1, 0.9), 0.4),
        ((0.85, 0.9, 0.1, 0.1, 0.9), 0.9),
        ((0.15, 0.1, 0.1, 0.1, 0.9), 0.1),
        ((0.5, math.nan, 0.1, 0.1, 0.9), 0.4),
        ((math.nan, 0.5, 0.1, 0.1, 0.9), 0.1),
        ((0.5, 0.5, 0.1, 0.6, 0.4), 0.6),  # lower bound tested first
        ((0.7, 0.5, 0.1, 0.6, 0.4), 0.4),
        ((0.5, 0.5, 0.1, 0.1, math.nan), 0.5),
    ],
)
def test_update_adaptive_threshold(args, expected):
    assert js.update_adaptive_threshold(*args) == pytest.approx(expected, abs=1e-15)
