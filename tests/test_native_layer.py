"""The shared native layer and the public C headers, through small modules
built by the tests.

The probe (tests/native/barrier_probe.cpp) throws C++ exceptions from a
method, a constructor and its module set-up; the layer must turn each into a
Python exception instead of letting it end the process.  The consumer
(tests/native/ops_consumer.c) is another extension, in C, built against
kestrun.get_include() alone, that drives our types through their published
operation tables.
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


@pytest.fixture(scope="module")
def consumer_dir(tmp_path_factory) -> pathlib.Path:
    import kestrun

    compiler = shutil.which("gcc") or shutil.which("cc")
    if compiler is None:
        pytest.skip("no C compiler")
    out = tmp_path_factory.mktemp("consumer")
    target = out / ("ops_consumer" + sysconfig.get_config_var("EXT_SUFFIX"))
    cmd = [compiler, "-std=c11", "-O1", "-shared", "-fPIC", "-Wall", "-Wextra", "-Werror",
           f"-I{sysconfig.get_paths()['include']}", f"-I{kestrun.get_include()}",
           str(ROOT / "tests" / "native" / "ops_consumer.c"), "-o", str(target)]  # fmt: skip
    subprocess.run(cmd, check=True, capture_output=True, text=True)
    return out


def test_other_extensions_use_the_published_tables(consumer_dir) -> None:
    out = run_probe(
        consumer_dir,
        """
        import sys
        sys.path.insert(0, ".")
        import ops_consumer
        from kestrun.jit.jit_governor import PolicyConfig
        from kestrun.memory.syncore import AtomicCounter
        counter = AtomicCounter(2**63 - 3)
        print(ops_consumer.counter_add(counter, 5), counter.load())
        print(ops_consumer.config_fields(PolicyConfig(50, 5, 500, 0.5, 3.0)))
        try:
            ops_consumer.config_fields(counter)
        except TypeError as exc:
            print(exc)
    """,
    )
    assert out.splitlines() == [
        f"{-(2**63) + 2} {-(2**63) + 2}",
        "(50, 5, 500, 0.5, 3.0)",
        "not a PolicyConfig",
    ]


def test_tables_are_bound_to_their_own_types(consumer_dir) -> None:
    """A module attribute replaced by a class that carries a copy of the real
    capsule must not pass the consumer's type check; a subclass of the real
    type still imports, and the type handed back is the real one."""
    out = run_probe(
        consumer_dir,
        """
        import sys
        sys.path.insert(0, ".")
        import ops_consumer
        from kestrun.jit import jit_governor
        from kestrun.memory import syncore
        for module, names in [
            (syncore, ["AtomicCounter", "LockFreeStatistics"]),
            (jit_governor, ["PolicyConfig", "FunctionMetrics", "JitGovernor"]),
        ]:
            for name in names:
                real = getattr(module, name)
                fake = type(name, (), {"__kestrun_ops__": real.__dict__["__kestrun_ops__"]})
                sub = type(name, (real,), {})
                setattr(module, name, fake)
                try:
                    ops_consumer.import_table(name)
                except TypeError as exc:
                    print(exc)
                if name == "AtomicCounter":
                    try:
                        ops_consumer.counter_add(fake(), 1)
                    except TypeError as exc:
                        print("counter_add:", type(exc).__name__)
                setattr(module, name, sub)
                print(name, ops_consumer.import_table(name) is real)
                setattr(module, name, real)
                print(name, ops_consumer.import_table(name) is real)
        print(ops_consumer.counter_add(syncore.AtomicCounter(1), 2))
    """,
    )
    expected = []
    for module, name in [
        ("memory.syncore", "AtomicCounter"),
        ("memory.syncore", "LockFreeStatistics"),
        ("jit.jit_governor", "PolicyConfig"),
        ("jit.jit_governor", "FunctionMetrics"),
        ("jit.jit_governor", "JitGovernor"),
    ]:
        expected.append(
            f"kestrun.{module}.{name} is not the type its __kestrun_ops__ table belongs to"
        )
        expected += ["counter_add: TypeError"] * (name == "AtomicCounter") + [f"{name} True"] * 2
    assert out.splitlines() == [*expected, "3"]


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


@pytest.mark.slow  # compiles a C++ probe against the shared layer
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
