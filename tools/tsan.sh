#!/usr/bin/env bash
# The thread stress tests under ThreadSanitizer, on a free-threaded CPython
# 3.13 built with --with-thread-sanitizer (by clang, kept like the plain
# free-threaded one) and the package built by clang with -fsanitize=thread
# (CMake option KESTRUN_TSAN=ON), in .venv-tsan, with the GIL off:
#   bash tools/tsan.sh [pytest arguments]      (default: tests/stress)
# Any report fails the run.  tools/tsan-suppressions.txt lists the reports
# that come from the interpreter itself, each with why; none may name our code.
set -euo pipefail
source "$(dirname "$0")/_interpreters.sh"
KESTRUN_PYTHON=$(build_freethreaded tsan)
export KESTRUN_PYTHON
export KESTRUN_VENV=${KESTRUN_VENV:-.venv-tsan}
export KESTRUN_EXTRAS=test-threads
export KESTRUN_PIP_ARGS="--prefer-binary -Ccmake.define.KESTRUN_TSAN=ON -Cinstall.strip=false"
export CC=clang CXX=clang++
source "$repo_root/tools/_setup.sh"
cd "$repo_root/tests"
[ $# -gt 0 ] || set -- stress
# One process for all of them: the first report ends the run with its stacks
# (halt_on_error), so a child per test would only add start-up time.
KESTRUN_STRESS_CHILD=1 PYTHON_GIL=0 \
TSAN_OPTIONS="halt_on_error=1:exitcode=66:second_deadlock_stack=1:suppressions=$repo_root/tools/tsan-suppressions.txt" \
    "$VPY" -m pytest -p no:cacheprovider -q "$@"
