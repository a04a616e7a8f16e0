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
cd tests
# The runtime must be the one of the compiler that built the modules: ask that
# compiler (recorded in the package's build information) where its libraries are.
cxx=$("$VPY" -c 'from kestrun._build_info import BUILD; print(BUILD["compiler_path"])' \
      2>/dev/null || echo "${CXX:-c++}")
preload=""
for lib in libasan.so libubsan.so; do
    path=$("$cxx" -print-file-name=$lib)
    if [ "$path" = $lib ]; then
        echo "sanitize.sh: $cxx does not know where $lib is" >&2
        exit 1
    fi
    preload+="${preload:+ }$path"
done
LD_PRELOAD="$preload" PYTHONMALLOC=malloc \
    ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$VPY" -m pytest -p no:cacheprovider -q "$@"
