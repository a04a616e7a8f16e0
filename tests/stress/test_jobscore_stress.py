"""Threads that all need a framework pattern at once, in a fresh process.

The patterns for text beyond ASCII are compiled when first needed; threads
that arrive together may each compile one, and exactly one must be kept.
Every answer must be findall's, and nothing may leak or crash.
"""

from __future__ import annotations

import subprocess
import sys

HARNESS = """
import re, sys, threading
from kestrun.plugins.analyzer import jobscore as js

text = "Étape: np.array(x) + NumPy.linalg; df.merge(pd.DataFrame()); model.fit(X) " * 3
patterns = {
    "numpy": r"\\b(numpy|np\\.|ndarray|array|vectorize|matmul|linalg)\\b",
    "pandas": r"\\b(pandas|pd\\.|DataFrame|Series|groupby|merge|pivot)\\b",
    "sklearn": r"\\b(sklearn|fit|predict|transform|GridSearchCV|RandomForest)\\b",
}
expected = {k: min(len(re.findall(p, text, re.I)) * 0.1, 1.0) for k, p in patterns.items()}
barrier = threading.Barrier(8)
errors = []

def body():
    try:
        barrier.wait()
        for _ in range(50):
            for name, want in expected.items():
                got = js.quick_framework_score(text, name)
                assert got == want, (name, got, want)
    except BaseException as exc:
        errors.append(exc)

threads = [threading.Thread(target=body) for _ in range(8)]
for t in threads:
    t.start()
for t in threads:
    t.join()
assert not errors, errors
print("ok")
"""


def test_first_use_of_the_patterns_from_many_threads() -> None:
    for _ in range(5):  # each run a fresh process: the patterns are not compiled yet
        proc = subprocess.run(
            [sys.executable, "-c", HARNESS], capture_output=True, text=True, timeout=120
        )
        assert proc.returncode == 0 and proc.stdout.strip() == "ok", proc.stderr
