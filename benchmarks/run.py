"""Runs every benchmark (benchmarks/bench_*.py), or the ones named.

python benchmarks/run.py              all of them
python benchmarks/run.py syncore      only bench_syncore.py
"""

from __future__ import annotations

import importlib.util
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent


def main(names: list[str]) -> int:
    sys.path.insert(0, str(HERE))
    files = sorted(HERE.glob("bench_*.py"))
    known = [f.stem.removeprefix("bench_") for f in files]
    unknown = [n for n in names if n not in known]
    if unknown:
        print(
            f"no benchmark named {', '.join(unknown)}; known: {', '.join(known)}", file=sys.stderr
        )
        return 2
    if names:
        files = [f for f in files if f.stem.removeprefix("bench_") in names]
    for path in files:
        module_spec = importlib.util.spec_from_file_location(path.stem, path)
        assert module_spec and module_spec.loader
        module = importlib.util.module_from_spec(module_spec)
        module_spec.loader.exec_module(module)
        module.main()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
