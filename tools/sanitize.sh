#!/usr/bin/env bash
# Builds the package with AddressSanitizer + UndefinedBehaviorSanitizer into
# its own environment (.venv-asan) and runs the whole test suite under it.
#   bash tools/sanitize.sh [pytest arguments]
# The switch itself is the CMake option KESTRUN_SANITIZE=ON; the modules are
# installed unstripped, so reports name our functions and lines.  The
# sanitizer runtime must be loaded before the interpreter, hence LD_PRELOAD.
# PYTHONMALLOC=malloc sends every object allocation to the sanitizer's
# allocator, so a freed small object is not hidden inside the interpreter's
# own pools.  Leak detection is off because the interpreter keeps memory
# until exit on purpose; reference leaks are checked by the tests themselves.
# A huge allocation fails (MemoryError) instead of aborting the run.
export KESTRUN_VENV=${KESTRUN_VENV:-.venv-asan}
export KESTRUN_EXTRAS=test
export KESTRUN_PIP_ARGS="-Ccmake.define.KESTRUN_SANITIZE=ON -Cinstall.strip=false"
source "$(dirname "$0")/_setup.sh"
preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
cd tests
LD_PRELOAD="$preload" PYTHONMALLOC=malloc \
    ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "../$VPY" -m pytest -p no:cacheprovider -q "$@"
