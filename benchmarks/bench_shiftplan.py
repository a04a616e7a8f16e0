"""kestrun.plugins.analyzer.shiftplan against the same functions in plain Python,
written as a user would (no conversions the data does not need).

History functions run on 1,000 entries of (timestamp, value) tuples, the
dominant pattern on 1,000 names; the scalar functions on one set of numbers.
"""

from __future__ import annotations

import random

from _harness import Report

from kestrun.plugins.analyzer import shiftplan as sp


def py_detect_performance_degradation(history, baseline, threshold, window_start):
    if not history or baseline <= 0 or len(history) < 5:
        return False
    total = 0.0
    count = 0
    for ts, perf in history:
        if ts >= window_start:
            total += perf
            count += 1
    if count < 5:
        return False
    return (baseline - total / count) / baseline > threshold


def py_calculate_performance_trend(history, window_start):
    if history is None or len(history) < 3:
        return 0.0
    pairs = [(t, p) for t, p in history if t >= window_start]
    n = len(pairs)
    if n < 3:
        return 0.0
    t0 = pairs[0][0]
    sx = sy = sxy = sxx = 0.0
    for t, y in pairs:
        x = t - t0
        sx += x
        sy += y
        sxy += x * y
        sxx += x * x
    mean_x, mean_y = sx / n, sy / n
    s_xx = sxx - n * mean_x * mean_x
    s_xy = sxy - n * mean_x * mean_y
    if abs(s_xx) < 1e-10 or abs(mean_y) < 1e-10:
        return 0.0
    return max(-1.0, min(1.0, s_xy / (mean_y * s_xx)))


def py_detect_dominant_pattern(patterns, window_size=5):
    if not patterns:
        return "mixed"
    window = patterns[max(0, len(patterns) - window_size) :] if window_size > 0 else []
    counts: dict = {}
    for name in window:
        counts[name] = counts.get(name, 0) + 1
    result, best = "mixed", 0
    for name, count in counts.items():
        if count > best:
            result, best = name, count
    return result


def py_calculate_adaptation_urgency(degradation, pressure, fragmentation, changed):
    urgency = 0.0
    degradation = min(degradation, 1.0)
    if degradation > 0:
        urgency += degradation * 0.4
    pressure = min(pressure, 1.0)
    if pressure > 0:
        urgency += pressure * 0.3
    fragmentation = min(fragmentation, 1.0)
    if fragmentation > 0:
        urgency += fragmentation * 0.15
    if changed:
        urgency += 0.15
    return max(0.0, min(1.0, urgency))


def py_predict_resource_requirements(history, horizon):
    n = len(history)
    if n < 10:
        return (0, 0, 0.0)
    span = history[-1][0] - history[0][0]
    if span <= 0:
        return (0, 0, 0.0)
    total = 0.0
    for _ts, size in history:
        total += size
    allocations = int(horizon * n / span)
    return (allocations, int(total * allocations / n), 0.8 if n * 0.01 >= 1 else n * 0.008)


def main() -> None:
    rng = random.Random(7)
    perf = [(float(t), 100.0 - t * 0.01 + rng.random()) for t in range(1000)]
    allocs = [(t * 0.01, float(rng.randrange(64, 4096))) for t in range(1000)]
    names = [rng.choice(("cpu_bound", "io_bound", "gpu_bound", "mixed_load")) for _ in range(1000)]

    # Both sides must agree before they are timed.
    assert sp.detect_performance_degradation(
        perf, 100.0, 0.05, 200.0
    ) == py_detect_performance_degradation(perf, 100.0, 0.05, 200.0)
    assert (
        abs(
            sp.calculate_performance_trend(perf, 200.0)
            - py_calculate_performance_trend(perf, 200.0)
        )
        < 1e-12
    )
    assert sp.predict_resource_requirements(allocs, 60.0) == py_predict_resource_requirements(
        allocs, 60.0
    )
    assert sp.detect_dominant_pattern(names, 1000) == py_detect_dominant_pattern(names, 1000)
    assert sp.calculate_adaptation_urgency(0.5, 0.7, 0.2, True) == py_calculate_adaptation_urgency(
        0.5, 0.7, 0.2, True
    )

    r = Report("shiftplan vs plain Python")
    r.compare(
        "detect_performance_degradation 1k",
        lambda: sp.detect_performance_degradation(perf, 100.0, 0.05, 200.0),
        "same function in plain Python",
        lambda: py_detect_performance_degradation(perf, 100.0, 0.05, 200.0),
        target="5x",
    )
    r.compare(
        "calculate_performance_trend 1k",
        lambda: sp.calculate_performance_trend(perf, 200.0),
        "same function in plain Python",
        lambda: py_calculate_performance_trend(perf, 200.0),
        target="5x",
    )
    r.compare(
        "predict_resource_requirements 1k",
        lambda: sp.predict_resource_requirements(allocs, 60.0),
        "same function in plain Python",
        lambda: py_predict_resource_requirements(allocs, 60.0),
        target="5x",
    )
    r.compare(
        "detect_dominant_pattern 1k",
        lambda: sp.detect_dominant_pattern(names, 1000),
        "same function in plain Python",
        lambda: py_detect_dominant_pattern(names, 1000),
        target="5x",
    )
    r.compare(
        "calculate_adaptation_urgency",
        lambda: sp.calculate_adaptation_urgency(0.5, 0.7, 0.2, True),
        "same function in plain Python",
        lambda: py_calculate_adaptation_urgency(0.5, 0.7, 0.2, True),
        target="2x",
    )
    r.print()


if __name__ == "__main__":
    main()
