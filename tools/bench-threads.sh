#!/usr/bin/env bash
# Two threads against one (benchmarks/bench_threads.py) on the GIL build
# (.venv, as tools/bench.sh sets it up) and on the free-threaded 3.13t with
# the GIL off (.venv-ft, as tools/freethreaded.sh sets it up), one table each.
#   bash tools/bench-threads.sh
set -euo pipefail
cd "$(dirname "$0")/.."
KESTRUN_EXTRAS=bench bash -c 'source tools/_setup.sh; "$VPY" benchmarks/run.py threads'
(
    source tools/_interpreters.sh
    KESTRUN_PYTHON=$(build_freethreaded plain)
    export KESTRUN_PYTHON KESTRUN_VENV=.venv-ft KESTRUN_EXTRAS=test-threads KESTRUN_PIP_ARGS=--prefer-binary
    source tools/_setup.sh
    PYTHON_GIL=0 "$VPY" benchmarks/run.py threads
)
