"""Each thread stress test (tests/stress/, and tests marked `threaded`) runs in a
child process of its own.

Threads that really run at once (a free-threaded interpreter with the GIL off,
or readers with the interpreter lock released) can crash the process when a
race is left; in a child the crash is one failing test that shows how the
child ended, and the rest of the suite still runs.  The child is the same
pytest run on the one test, with KESTRUN_STRESS_CHILD set.
"""

from __future__ import annotations

import os
import signal
import subprocess
import sys

import pytest

CHILD = "KESTRUN_STRESS_CHILD"
TIMEOUT = 300


# `tools/test.sh --quick` sets this: property-based tests then try at most this
# many examples each (a stateful test this many runs), whatever their settings.
QUICK = "KESTRUN_QUICK_EXAMPLES"


@pytest.hookimpl(tryfirst=True)
def pytest_collection_modifyitems(items: list[pytest.Item]) -> None:
    """Thread stress tests are slow ones too: `-m "not slow"` leaves them out."""
    quick = int(os.environ.get(QUICK, "0"))
    for item in items:
        if item.path.parent.name == "stress" or item.get_closest_marker("threaded"):
            item.add_marker(pytest.mark.slow)
        if quick > 0:
            fewer_examples(item, quick)


def fewer_examples(item: pytest.Item, most: int) -> None:
    from hypothesis import settings

    test = getattr(item, "obj", None)
    current = getattr(test, "_hypothesis_internal_use_settings", None)  # read at each call
    if isinstance(current, settings) and current.max_examples > most:
        test._hypothesis_internal_use_settings = settings(current, max_examples=most)
    # A rule-based state machine's TestCase carries its settings on the class.
    cls = getattr(item, "cls", None)
    current = getattr(cls, "settings", None)
    if isinstance(current, settings) and current.max_examples > most:
        cls.settings = settings(current, max_examples=most)


@pytest.hookimpl(tryfirst=True)
def pytest_pyfunc_call(pyfuncitem: pytest.Function) -> bool | None:
    if os.environ.get(CHILD):
        return None  # the child runs the test itself
    in_stress = pyfuncitem.path.parent.name == "stress"
    if not in_stress and pyfuncitem.get_closest_marker("threaded") is None:
        return None
    env = dict(os.environ, **{CHILD: "1"})
    argv = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", pyfuncitem.nodeid]
    try:
        proc = subprocess.run(
            argv,
            cwd=str(pyfuncitem.config.rootpath),
            env=env,
            capture_output=True,
            text=True,
            timeout=TIMEOUT,
        )
    except subprocess.TimeoutExpired as exc:
        pytest.fail(f"the stress test did not end within {TIMEOUT} s:\n{exc.stdout or ''}")
    if proc.returncode != 0:
        how = f"exit status {proc.returncode}"
        if proc.returncode < 0:
            how = f"killed by {signal.Signals(-proc.returncode).name}"
        pytest.fail(f"the stress test failed in its child ({how}):\n{proc.stdout}\n{proc.stderr}")
    return True
