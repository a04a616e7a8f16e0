"""kestrun.plugins.analyzer.jobscore against the same functions in plain Python.

The text scorers run on the source text of a realistic 2 KB and a 20 KB
function; the plain-Python peers lower-case the text and test one keyword at
a time with `in`.  The regular-expression score is compared with calling the
same compiled pattern from Python.
"""

from __future__ import annotations

import textwrap
from functools import partial

from _harness import Report
from _models import (
    PATTERNS,
    determine_workload_pattern,
    score_framework_patterns,
    score_indicators,
)

from kestrun.plugins.analyzer import jobscore

# A realistic function of about 2 KB.
FUNCTION_2K = textwrap.dedent('''\
    def rolling_portfolio_risk(prices, weights, window=252, confidence=0.99):
        """Historical value-at-risk and volatility of a weighted portfolio.

        Prices are daily closing prices, one column per asset; the result
        holds one row per trading day once the window is full.
        """
        if prices.ndim != 2:
            raise ValueError("prices must be a 2-D table of closing prices")
        n_days, n_assets = prices.shape
        if len(weights) != n_assets:
            raise ValueError("one weight per asset is required")
        returns = np.diff(np.log(prices), axis=0)
        weights = np.asarray(weights, dtype=float)
        weights = weights / weights.sum()
        portfolio = returns @ weights
        results = []
        for end in range(window, len(portfolio) + 1):
            sample = portfolio[end - window:end]
            ordered = np.sort(sample)
            cut = int((1.0 - confidence) * window)
            var = -ordered[cut]
            tail = ordered[:cut + 1]
            expected_shortfall = -tail.mean() if len(tail) else var
            volatility = sample.std(ddof=1) * math.sqrt(252)
            drawdown = 0.0
            peak = 1.0
            level = 1.0
            for r in sample:
                level *= math.exp(r)
                peak = max(peak, level)
                drawdown = max(drawdown, 1.0 - level / peak)
            results.append({
                "day": end,
                "value_at_risk": var,
                "expected_shortfall": expected_shortfall,
                "volatility": volatility,
                "max_drawdown": drawdown,
            })
        frame = pd.DataFrame.from_records(results).set_index("day")
        frame["var_change"] = frame["value_at_risk"].pct_change()
        frame["breach"] = portfolio[window - 1:] < -frame["value_at_risk"].shift(1)
        covariance = np.cov(returns[-window:].T)
        marginal = covariance @ weights
        contribution = weights * marginal / math.sqrt(weights @ marginal)
        frame.attrs["risk_contribution"] = dict(zip(range(n_assets), contribution))
        logger.info("computed %d risk rows over %d assets", len(frame), n_assets)
        return frame
''')

# Stages of a long data-processing function, about 20 KB together.
_STAGES = [
    """\
    # Stage {i}: load and clean the raw measurements of batch {i}.
    raw_{i} = readers[{i}].read_block(offset=offsets[{i}], size=block_size)
    cleaned_{i} = []
    for record in raw_{i}:
        if record.get("status") != "ok" or record.get("value") is None:
            rejected[{i}] += 1
            continue
        value = float(record["value"]) * scale_factors[{i}]
        if abs(value - baseline[{i}]) > tolerance * spread[{i}]:
            outliers.setdefault({i}, []).append(record["id"])
            continue
        cleaned_{i}.append((record["timestamp"], record["sensor"], value))
""",
    """\
    # Stage {i}: aggregate per sensor and smooth with an exponential filter.
    totals_{i} = {{}}
    counts_{i} = {{}}
    for timestamp, sensor, value in cleaned_{i}:
        totals_{i}[sensor] = totals_{i}.get(sensor, 0.0) + value
        counts_{i}[sensor] = counts_{i}.get(sensor, 0) + 1
    smoothed_{i} = {{}}
    for sensor, total in sorted(totals_{i}.items()):
        mean_value = total / counts_{i}[sensor]
        previous = smoothed_state.get(sensor, mean_value)
        smoothed_{i}[sensor] = alpha * mean_value + (1.0 - alpha) * previous
        smoothed_state[sensor] = smoothed_{i}[sensor]
""",
    """\
    # Stage {i}: check the smoothed values against the configured limits.
    for sensor, value in smoothed_{i}.items():
        low, high = limits.get(sensor, (-float("inf"), float("inf")))
        if value < low or value > high:
            alerts.append(Alert(sensor=sensor, value=value, stage={i},
                                message=f"sensor {{sensor}} out of range: {{value:.3f}}"))
        history[sensor].append(value)
        if len(history[sensor]) > history_length:
            del history[sensor][0]
        trend = (history[sensor][-1] - history[sensor][0]) / max(len(history[sensor]) - 1, 1)
        trends[sensor] = trend
""",
    """\
    # Stage {i}: summarise the batch for the report.
    summary_{i} = {{
        "batch": {i},
        "accepted": len(cleaned_{i}),
        "rejected": rejected[{i}],
        "sensors": len(smoothed_{i}),
        "alerts": sum(1 for alert in alerts if alert.stage == {i}),
        "elapsed": time.perf_counter() - started,
    }}
    report_rows.append(summary_{i})
    if verbose:
        print("batch {i}: %(accepted)d accepted, %(rejected)d rejected" % summary_{i})
""",
]
FUNCTION_20K = (
    "def process_sensor_batches(readers, offsets, block_size, scale_factors, baseline, spread,\n"
    "                           tolerance, alpha, limits, history_length=64, verbose=False):\n"
    '    """Cleans, smooths and checks every batch of sensor readings; returns the report."""\n'
    "    started = time.perf_counter()\n"
    "    rejected = collections.Counter()\n"
    "    outliers, smoothed_state, trends = {}, {}, {}\n"
    "    history = collections.defaultdict(list)\n"
    "    alerts, report_rows = [], []\n"
    + "".join(stage.format(i=i) for i in range(8) for stage in _STAGES)
    + "    return Report(rows=report_rows, alerts=alerts, trends=trends, outliers=outliers)\n"
)

SNIPPET = "result = np.matmul(np.asarray(a), np.linalg.inv(b))\n"


def main() -> None:
    report = Report("jobscore: ours vs plain Python")
    texts = [("2 KB", FUNCTION_2K), ("20 KB", FUNCTION_20K)]
    for label, text in texts:
        assert jobscore.score_indicators(text, "process") == score_indicators(text, "process")
        assert jobscore.score_framework_patterns(text) == score_framework_patterns(text)
        report.compare(
            f"score_indicators {label}",
            partial(jobscore.score_indicators, text, "process"),
            "same scorer in plain Python",
            partial(score_indicators, text, "process"),
            target="5x",
        )
        report.compare(
            f"score_framework_patterns {label}",
            partial(jobscore.score_framework_patterns, text),
            "same scorer in plain Python",
            partial(score_framework_patterns, text),
            target="5x",
        )

    # The regular-expression score walks the text as the keyword scorers do:
    # its bytes per second against score_indicators' on the same text.
    for label, text in texts:
        for framework in ("numpy", "pandas", "sklearn"):
            report.compare(
                f"quick_framework_score {framework} {label} (bytes/s)",
                partial(jobscore.quick_framework_score, text, framework),
                "score_indicators on the same text",
                partial(jobscore.score_indicators, text, "process"),
                target="0.8x",
            )
    report.note("(bytes/s) rows: ratio = our bytes/s over score_indicators' on the same text")

    # Non-ASCII text (two-byte storage), for information.
    wide = FUNCTION_20K.replace("# Stage", "# Étape —")
    report.compare(
        "score_indicators 20 KB non-ASCII",
        partial(jobscore.score_indicators, wide, "process"),
        "same scorer in plain Python",
        partial(score_indicators, wide, "process"),
    )

    # Framework-dense text (many matches) and near-misses only (the slow case
    # of the candidate search: every "arrays" is tried and fails).
    dense = FUNCTION_2K * 9
    near_misses = "arrays = xs.arrays + arrays_of(ys)\n" * 60
    for label, text in (
        [("snippet", SNIPPET)] + texts + [("dense 18 KB", dense), ("near-misses 2 KB", near_misses)]
    ):
        for framework in ("numpy", "pandas"):
            pattern = PATTERNS[framework]
            expected = min(len(pattern.findall(text)) * 0.1, 1.0)
            assert jobscore.quick_framework_score(text, framework) == expected
            report.compare(
                f"quick_framework_score {framework} {label}",
                partial(jobscore.quick_framework_score, text, framework),
                "compiled re pattern .findall",
                partial(pattern.findall, text),
                target="1x",
            )

    args = (0.7, 0.6, 0.4, 0.2, 0.3, 0.1, 0.1, 0.1, 2, 0, 0.8, 0.5, 0.6, 0.5, 0.5, 0.5, True)
    assert jobscore.determine_workload_pattern(*args) == determine_workload_pattern(*args)
    report.compare(
        "determine_workload_pattern",
        partial(jobscore.determine_workload_pattern, *args),
        "same if-chain in plain Python",
        partial(determine_workload_pattern, *args),
        target="2x",
    )
    report.print()


if __name__ == "__main__":
    main()
