"""The shared native layer itself, through a probe module built from it alone.

The probe (tests/native/barrier_probe.cpp) throws C++ exceptions from a
method, a constructor and its module set-up; the layer must turn each into a
Python exception instead of letting it end the process.
"""

from __future__ import annotations

import pathlib
import shutil
import subprocess
import sys
import sysconfig
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
NATIVE = ROOT / "src" / "kestrun" / "_native"


@pytest.fixture(scope="module")
def probe_dir(tmp_path_factory) -> pathlib.Path:
    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    out = tmp_path_factory.mktemp("probe")
    target = out / ("barrier_probe" + sysconfig.get_config_var("EXT_SUFFIX"))
    cmd = [
        compiler,
        "-std=c++20",
        "-O1",
        "-shared",
        "-fPIC",
        "-Wall",
        "-Wextra",
        "-Werror",
        f"-I{sysconfig.get_paths()['include']}",
        f"-I{NATIVE}",
        str(ROOT / "tests" / "native" / "barrier_probe.cpp"),
        "-o",
        str(target),
    ]
    subprocess.run(cmd, check=True, capture_output=True, text=True)
    return out


def run_probe(probe_dir: pathlib.Path, code: str) -> str:
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        cwd=probe_dir,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def test_cpp_exceptions_become_python_exceptions(probe_dir) -> None:
    out = run_probe(
        probe_dir,
        """
        import sys
        sys.path.insert(0, ".")
        try:
            import barrier_probe
        except MemoryError:
            print("first set-up: MemoryError")
        import barrier_probe as p
        print("second set-up:", p.throw_("nothing"))
        for kind in ("bad_alloc", "runtime_error", "int"):
            try:
                p.throw_(kind)
            except Exception as exc:
                print(kind, type(exc).__name__, exc)
        try:
            p.Probe()
        except MemoryError:
            print("constructor: MemoryError")
    """,
    )
    assert out.splitlines() == [
        "first set-up: MemoryError",
        "second set-up: None",
        "bad_alloc MemoryError ",
        "runtime_error RuntimeError internal error: probe failure",
        "int RuntimeError internal error: unknown C++ exception",
        "constructor: MemoryError",
    ]
