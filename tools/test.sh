#!/usr/bin/env bash
# Sets up .venv with the test extras, then runs the whole test suite and
# checks every type stub against its module with mypy's stubtest
# (KESTRUN_STUBTEST=0 leaves stubtest out).
#   bash tools/test.sh [pytest arguments]
KESTRUN_EXTRAS=${KESTRUN_EXTRAS:-test}
source "$(dirname "$0")/_setup.sh"
# Run from outside the source tree so the installed package is what is tested.
root=$PWD
stubs=$(cd src && find kestrun -name '*.pyi' | sed 's/\.pyi$//; s|/|.|g' | sort)
cd "$root/tests"
"$root/$VPY" -m pytest -p no:cacheprovider "$@"
if [ -n "$stubs" ] && [ "${KESTRUN_STUBTEST:-1}" = 1 ]; then
    echo "stubtest: $(echo $stubs)"
    "$root/$VPY" -m mypy.stubtest --mypy-config-file "$root/tools/stubtest.ini" $stubs
fi
