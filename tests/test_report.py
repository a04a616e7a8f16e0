"""`python -m kestrun`: the report a new user runs first."""

from __future__ import annotations

import json
import subprocess
import sys

import pytest

from kestrun import NATIVE_MODULES
from kestrun.__main__ import collect, module_status, render, shown


def run_report(*args: str) -> str:
    proc = subprocess.run(
        [sys.executable, "-m", "kestrun", *args], capture_output=True, text=True, timeout=120
    )
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def test_text_report_lists_every_module() -> None:
    out = run_report()
    for name in NATIVE_MODULES:
        assert name in out
    assert "kestrun.memory.syncore  " in out or "kestrun.memory.syncore " in out
    assert f"Python {sys.version.split()[0]}" in out


def test_json_report_matches_the_text_one() -> None:
    report = json.loads(run_report("--json"))
    assert [m["module"] for m in report["modules"]] == list(NATIVE_MODULES)
    statuses = {m["module"]: m["status"] for m in report["modules"]}
    assert statuses["kestrun.memory.syncore"] == "loaded"
    assert set(statuses.values()) <= {"loaded", "not built", "failed"}
    assert report["python"] == sys.version.split()[0]


@pytest.mark.parametrize(
    "name, status",
    [("kestrun.gpu.no_such_module", "not built"), ("kestrun_missing_pkg.sub", "failed")],
)
def test_missing_modules_are_reported_not_raised(name, status) -> None:
    result = module_status(name)
    assert result["status"] == status and result["module"] == name


def test_failing_module_is_reported_with_its_error(tmp_path, monkeypatch) -> None:
    (tmp_path / "kestrun_broken_mod.py").write_text("raise RuntimeError('boom at import')\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    result = module_status("kestrun_broken_mod")
    assert result == {
        "module": "kestrun_broken_mod",
        "status": "failed",
        "error": "RuntimeError: boom at import",
    }


def test_render_handles_every_state() -> None:
    report = collect()
    report["modules"][0] = {"module": "x.y", "status": "failed", "error": "ImportError: nope"}
    text = render(report)
    assert "x.y" in text and "failed: ImportError: nope" in text


def test_capabilities_in_both_reports() -> None:
    caps = json.loads(run_report("--json"))["capabilities"]
    assert caps["detector"] == "native" and len(caps) == 16 and caps["physical_cores"] >= 1
    text = run_report()
    assert "Host capabilities:" in text and f"  platform: {sys.platform}\n" in text


@pytest.mark.parametrize("key, value, text", [
    ("detection_time_ms", 0.12345678, "0.123"), ("backend_version", "", '""'),
    ("detected_at", 1e300, "1e+300"), ("gpu_count", 2, "2"), ("detected_at", float("nan"), "nan"),
])  # fmt: skip
def test_capability_values_read_well(key, value, text) -> None:
    assert shown(key, value) == text
    assert shown("detected_at", 47304000.0).startswith("1971-07-0")  # noon, 2 July 1971 UTC


FINDER = """
class Broken:
    @staticmethod
    def find_spec(name, path=None, target=None):
        if name == "kestrun.gpu.cardmem":
            raise ImportError("broken on purpose")
sys.meta_path.insert(0, Broken)
"""
WRONG = "import kestrun.gpu.cardmem as m\nm.estimate_allocation_bytes = lambda *a: 0"


@pytest.mark.parametrize("setup, expected", [
    (WRONG, ["estimate_allocation_bytes((1024, 1024), 4) gave 0, expected 4194304",
             "7 of 8 passed; failed: kestrun.gpu.cardmem"]),
    (FINDER, ["failed: ImportError: broken on purpose", "7 of 8 passed",
              "7 of 8 loaded; failed: kestrun.gpu.cardmem"]),
])  # fmt: skip
def test_check_exits_1_naming_the_module(setup: str, expected: list[str]) -> None:
    """A wrong answer, or a module that fails to load, makes the exit status 1."""
    code = f"import sys\n{setup}\nfrom kestrun.__main__ import main\nsys.exit(main(['--check']))"
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 1, proc.stdout + proc.stderr
    for text in expected:
        assert text in proc.stdout
