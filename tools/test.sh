#!/usr/bin/env bash
# Sets up .venv with the test extras, then runs the test suite, checks every
# type stub against its module with mypy's stubtest, and type-checks the typed
# usage files of tests/typecheck (KESTRUN_STUBTEST=0 leaves both mypy steps out).
#   bash tools/test.sh [--quick] [pytest arguments]
# --quick leaves out the tests marked `slow` (million-object chains, long fuzz
# rounds, thread stress, the interpreter-exit runs, child processes per module)
# and the two mypy steps: the edit-and-rerun loop.  CI runs everything.
quick=0
if [ "${1:-}" = --quick ]; then quick=1; shift; fi
KESTRUN_EXTRAS=${KESTRUN_EXTRAS:-test}
source "$(dirname "$0")/_setup.sh"
root=$PWD
stubs=$(cd src && find kestrun -name '*.pyi' | sed 's/\.pyi$//; s|/|.|g' | sort)
# Run from outside the source tree so the installed package is what is tested.
cd "$root/tests"
if [ $quick = 1 ]; then
    set -- -m "not slow" "$@"
    # Property-based tests try at most 20 examples each (tests/conftest.py).
    export KESTRUN_QUICK_EXAMPLES=${KESTRUN_QUICK_EXAMPLES:-20}
fi
"$VPY" -m pytest -p no:cacheprovider "$@"
if [ -n "$stubs" ] && [ "${KESTRUN_STUBTEST:-1}" = 1 ] && [ $quick = 0 ]; then
    echo "stubtest: $(echo $stubs)"
    "$VPY" -m mypy.stubtest --mypy-config-file "$root/tools/stubtest.ini" $stubs
    # pass_*.py must type-check; each line of fail_*.py marked with
    # `# type: ignore[code]` must be that error, or the ignore is reported unused.
    echo "mypy: tests/typecheck"
    "$VPY" -m mypy --strict --warn-unused-ignores --cache-dir=/dev/null typecheck
fi
