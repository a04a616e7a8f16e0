#!/usr/bin/env bash
# Sets up .venv and runs the benchmarks (all, or the modules named).
#   bash tools/bench.sh [syncore cardmem ...]
KESTRUN_EXTRAS=${KESTRUN_EXTRAS:-bench}
source "$(dirname "$0")/_setup.sh"
"$VPY" benchmarks/run.py "$@"
