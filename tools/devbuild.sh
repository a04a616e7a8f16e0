#!/usr/bin/env bash
# Development build: compiles the named modules (all when none are named) into
# the source tree, so that `PYTHONPATH=src .venv/bin/python -m pytest` runs
# against them without reinstalling.  Each module list gets its own build
# folder, so builds of different modules do not disturb each other.
#   tools/devbuild.sh [module ...]      e.g. tools/devbuild.sh syncore
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-$PWD/.venv/bin/python}
export PATH="$PWD/.venv/bin:$PATH"
mods="$*"
tag=${mods// /-}
dir=build/dev-${tag:-all}
only=${mods// /;}
cmake -S . -B "$dir" -G Ninja -DPython_EXECUTABLE="$py" -DKESTRUN_INPLACE=ON \
  -DKESTRUN_ONLY="$only" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" \
  -DKESTRUN_SANITIZE="${SANITIZE:-OFF}" >/dev/null
cmake --build "$dir"
