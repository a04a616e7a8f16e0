"""Plain-Python models of the native modules, shared by the tests and the benchmarks.

Each model is the straightforward Python a user would write instead: the
tests check the native module against it, and the benchmarks time it as the
peer.  Tests import this module from tests/ (pytest puts the folder on the
path); benchmarks/_harness.py puts tests/ on the path for the benchmarks.
"""

from __future__ import annotations

import logging
import operator
import re
import threading
import time
from typing import Any

from sortedcontainers import SortedKeyList

# ---------------------------------------------------------------- jobscore: the keyword scorer

CPU = (
    "for",
    "while",
    "range",
    "numpy",
    "scipy",
    "math",
    "calculation",
    "compute",
    "algorithm",
    "sum",
    "prod",
    "dot",
    "matmul",
    "fft",
    "linalg",
)
MEMORY = (
    "array",
    "list",
    "dict",
    "pandas",
    "dataframe",
    "allocate",
    "buffer",
    "cache",
    "append",
    "extend",
)
PARALLEL = (
    "multiprocessing",
    "threading",
    "concurrent",
    "async",
    "parallel",
    "pool",
    "worker",
    "chunk",
    "batch",
    "processpoolexecutor",
    "threadpoolexecutor",
)
GPU_OP = (
    "matmul",
    "dot",
    "tensordot",
    "@",
    "fft",
    "ifft",
    "rfft",
    "convolve",
    "correlate",
    "sum",
    "mean",
    "std",
    "var",
    "sin",
    "cos",
    "exp",
    "log",
    "sqrt",
    "power",
    "**",
    "add",
    "subtract",
    "multiply",
    "divide",
    "/",
    "*",
    "+",
    "-",
    "linalg",
    "linear_algebra",
    "array",
    "asarray",
    "zeros",
    "ones",
    "empty",
    "full",
)
LARGE_DATA = (
    "reshape",
    "resize",
    "huge",
    "large",
    "gigabyte",
    "gb",
    "million",
    "billion",
    "1e6",
    "1e9",
    "1024",
    "megabyte",
    "mb",
)
EMBARRASSING = (
    "workload",
    "benchmark",
    "intensive",
    "chunk_workload",
    "map",
    "apply",
    "vectorize",
    "broadcast",
)
SEQUENTIAL = (
    "global",
    "nonlocal",
    "lock",
    "mutex",
    "synchronized",
    "sequential",
    "ordered",
    "dependencies",
)
NUMPY = (
    "numpy",
    "np.",
    "ndarray",
    "array",
    "matrix",
    "vectorize",
    "broadcast",
    "ufunc",
    "dot",
    "matmul",
    "linalg",
    "fft",
    "sum",
    "mean",
    "std",
    "var",
    "min",
    "max",
    "argmax",
    "argmin",
    "reshape",
    "transpose",
    "concatenate",
    "stack",
    "split",
)
PANDAS = (
    "pandas",
    "pd.",
    "dataframe",
    "series",
    "groupby",
    "apply",
    "agg",
    "transform",
    "merge",
    "join",
    "concat",
    "pivot",
    "melt",
    "query",
    "eval",
    "rolling",
    "resample",
    "sort_values",
)
SKLEARN = (
    "sklearn",
    "fit",
    "predict",
    "transform",
    "score",
    "cross_val",
    "gridsearchcv",
    "randomizedsearchcv",
    "pipeline",
    "featureunion",
    "train_test_split",
    "classification",
    "regression",
    "clustering",
    "preprocessing",
    "model_selection",
    "metrics",
    "ensemble",
)

PATTERNS = {
    "numpy": re.compile(r"\b(numpy|np\.|ndarray|array|vectorize|matmul|linalg)\b", re.IGNORECASE),
    "pandas": re.compile(r"\b(pandas|pd\.|DataFrame|Series|groupby|merge|pivot)\b", re.IGNORECASE),
    "sklearn": re.compile(
        r"\b(sklearn|fit|predict|transform|GridSearchCV|RandomForest)\b", re.IGNORECASE
    ),
}


def count(words: tuple[str, ...], text: str) -> int:
    n = 0
    for word in words:
        if word in text:
            n += 1
    return n


def count_either(words: tuple[str, ...], text: str, name: str) -> int:
    n = 0
    for word in words:
        if word in text or word in name:
            n += 1
    return n


def score_indicators(code: str, function_name: str | None) -> tuple[int, ...]:
    code_lower = code.lower()
    name_lower = function_name.lower() if function_name else ""
    return (
        count(CPU, code_lower),
        count(MEMORY, code_lower),
        count(PARALLEL, code_lower),
        count_either(GPU_OP, code_lower, name_lower),
        count(LARGE_DATA, code_lower),
        count_either(EMBARRASSING, code_lower, name_lower),
        count(SEQUENTIAL, code_lower),
    )


def score_framework_patterns(code: str) -> tuple[float, float, float]:
    code_lower = code.lower()
    return (
        min(max(count(NUMPY, code_lower) * 0.04, 0.0), 1.0),
        min(max(count(PANDAS, code_lower) * 0.05555555555555555, 0.0), 1.0),
        min(max(count(SKLEARN, code_lower) * 0.05555555555555555, 0.0), 1.0),
    )


def determine_workload_pattern(
    cpu_intensity: float,
    memory_intensity: float,
    parallelization_potential: float,
    gpu_suitability: float,
    gpu_operation_score: float,
    numpy_score: float,
    pandas_score: float,
    sklearn_score: float,
    sequential_count: int,
    embarrassing_count: int,
    cpu_threshold: float,
    memory_threshold: float,
    gpu_threshold: float,
    numpy_threshold: float,
    pandas_threshold: float,
    sklearn_threshold: float,
    gpu_available: object,
) -> int:
    if sklearn_score > sklearn_threshold:
        return 12
    if pandas_score > pandas_threshold:
        return 10
    if numpy_score > numpy_threshold:
        return 8
    if gpu_available and gpu_suitability > gpu_threshold:
        if gpu_operation_score > 0.7 and cpu_intensity > 0.6:
            return 6
        if memory_intensity > 0.5:
            return 7
        return 5
    if embarrassing_count > 0 or parallelization_potential > 0.6:
        return 3
    if cpu_intensity > cpu_threshold:
        return 1
    if memory_intensity > memory_threshold:
        return 2
    if sequential_count >= 3:
        return 4
    return 0


def quick_framework_score(code: str, framework: str) -> float:
    return min(len(PATTERNS[framework].findall(code)) * 0.1, 1.0)


# ---------------------------------------------------------------- jit_governor: the governor


def threshold_update(current: int, compile_count: int, avg_speedup: float, cfg: Any) -> int:
    """The threshold after a compilation with `avg_speedup` (cfg: a PolicyConfig)."""
    divisor = cfg.target_speedup if cfg.target_speedup > 0 else 1.0
    damping = min(compile_count * 0.1, 1.0)
    step = cfg.learning_rate - damping * cfg.learning_rate
    value = current - step * current if avg_speedup / divisor > 1.0 else current + step * current
    if not value >= cfg.min_threshold:
        return cfg.min_threshold
    return cfg.max_threshold if value > cfg.max_threshold else int(value)


def compile_decision(
    threshold: int, call_count: int, compile_count: int, last_compiled: float, now: float
) -> bool:
    """should_compile's answer; the threshold is compared as the governor stores
    it, sign-extended to 64 bits (a negative one is above every call count)."""
    if call_count < threshold % 2**64:
        return False
    return compile_count == 0 or now - last_compiled >= 600.0


governor_logger = logging.getLogger("models.jit_governor")


class PyGovernor:
    """The governor as a user writes it without the native module."""

    def __init__(self, config: Any = None) -> None:
        if config is None:
            from kestrun.jit.jit_governor import PolicyConfig

            config = PolicyConfig()
        self.config = config
        self._thresholds: dict[str | None, int] = {}
        self._lock = threading.Lock()

    def get_threshold(self, func_id: str | None) -> int:
        with self._lock:
            return self._thresholds.get(func_id, self.config.initial_threshold)

    def should_compile(self, func_id: str | None, metric_ledger: Any) -> bool:
        now = time.time()
        with self._lock:
            threshold = self._thresholds.get(func_id, self.config.initial_threshold)
            metrics = metric_ledger.get_metrics(func_id)
            call_count, compile_count = metrics.call_count, metrics.compile_count
            metrics.avg_speedup  # noqa: B018 - read, as the native governor does
            last_compiled = getattr(metrics, "last_compiled", 0.0)
        return compile_decision(threshold, call_count, compile_count, last_compiled, now)

    def update(self, func_id: str | None, metric_ledger: Any) -> None:
        with self._lock:
            metrics = metric_ledger.get_metrics(func_id)
            if metrics.compile_count == 0:
                return
            current = self._thresholds.get(func_id, self.config.initial_threshold)
            avg_speedup = metrics.avg_speedup
            new = threshold_update(current, metrics.compile_count, avg_speedup, self.config)
            self._thresholds[func_id] = new
        governor_logger.debug(
            f"Updated threshold for {func_id}: {current} -> {new} (speedup: {avg_speedup:.2f}x)"
        )

    def get_statistics(self) -> dict[str, Any]:
        with self._lock:
            values = list(self._thresholds.values())
        if not values:
            cfg = self.config
            return {
                "tracked_functions": 0,
                "avg_threshold": int(cfg.initial_threshold),
                "min_threshold": int(cfg.min_threshold),
                "max_threshold": int(cfg.max_threshold),
            }
        return {
            "tracked_functions": len(values),
            "avg_threshold": sum(values) / len(values),
            "min_threshold": min(values),
            "max_threshold": max(values),
        }


# ---------------------------------------------------------------- spanwood: the tree's peer


class SizeSortedBlocks:
    """A best-fit free list on sortedcontainers.SortedKeyList keyed by the
    blocks' `size`, with the tree's calls: what a user writes instead."""

    def __init__(self, blocks: Any = ()) -> None:
        self.blocks = skl = SortedKeyList(blocks, key=operator.attrgetter("size"))
        bisect, add, pop = skl.bisect_key_left, skl.add, skl.pop

        def insert(size: int, block: Any) -> bool:
            add(block)
            return True

        def find_best_fit(size: int) -> Any:
            i = bisect(size)
            return skl[i] if i < len(skl) else None

        def remove_ge(size: int) -> tuple[Any, Any]:
            i = bisect(size)
            if i < len(skl):
                block = pop(i)
                return block.size, block
            return None, None

        # Bound closures: the calls cost what a user's would.
        self.insert, self.find_best_fit, self.remove_ge = insert, find_best_fit, remove_ge

    def clear(self) -> None:
        self.blocks.clear()

    def __len__(self) -> int:
        return len(self.blocks)
