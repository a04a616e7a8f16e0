#!/usr/bin/env bash
# The whole test suite on a free-threaded CPython 3.13 ("3.13t") with the GIL
# really off (PYTHON_GIL=0), in its own environment (.venv-ft):
#   bash tools/freethreaded.sh [pytest arguments]
# The interpreter is built once from the CPython source kept beside the
# repository (tools/_interpreters.sh) and reused.  Some test tools have no
# wheels for 3.13t in their newest release, so pip prefers releases that do,
# and mypy (which cannot be built there) is left out with stubtest: the GIL
# builds run stubtest.
set -euo pipefail
source "$(dirname "$0")/_interpreters.sh"
KESTRUN_PYTHON=$(build_freethreaded plain)
export KESTRUN_PYTHON
export KESTRUN_VENV=${KESTRUN_VENV:-.venv-ft}
export KESTRUN_EXTRAS=test-threads
export KESTRUN_PIP_ARGS="${KESTRUN_PIP_ARGS:-} --prefer-binary"
export KESTRUN_STUBTEST=0
export PYTHON_GIL=0
exec bash "$repo_root/tools/test.sh" "$@"
