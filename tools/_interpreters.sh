# Interpreters the machine does not have, built or installed once and kept
# between runs (sourced by tools/freethreaded.sh, tools/tsan.sh,
# tools/newer-pythons.sh and .ci/run).
#
#   $KESTRUN_CACHE   where they are kept (default ~/.cache/kestrun)
#
# Free-threaded CPython 3.13 ("3.13t") is built from the release source that
# the project keeps beside the repository (shared/cpython/), in a folder named
# after the tarball's hash and the build's flavour, so a later run starts at
# once and a new tarball builds anew.
set -euo pipefail

KESTRUN_CACHE=${KESTRUN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kestrun}
repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# The CPython source tarball: $KESTRUN_CPYTHON_TARBALL, else the newest in
# shared/cpython/ beside the repository.
cpython_tarball() {
    if [ -n "${KESTRUN_CPYTHON_TARBALL:-}" ]; then
        echo "$KESTRUN_CPYTHON_TARBALL"
        return
    fi
    local t
    t=$(ls "$repo_root"/../shared/cpython/python3.13_*.orig.tar.xz 2>/dev/null | sort | tail -n 1)
    if [ -z "$t" ]; then
        echo "no CPython source tarball in ../shared/cpython/ (set KESTRUN_CPYTHON_TARBALL)" >&2
        return 1
    fi
    echo "$t"
}

# build_freethreaded [tsan]: prints the path of a free-threaded python3.13t,
# building it first when the cache has none.  With "tsan" the interpreter is
# also built with ThreadSanitizer (clang, as the interpreter's own TSan builds are).
build_freethreaded() {
    local flavour=${1:-plain} tarball hash prefix src log
    tarball=$(cpython_tarball)
    hash=$(sha256sum "$tarball" | cut -c1-16)
    prefix=$KESTRUN_CACHE/cpython-3.13t-$flavour-$hash
    if [ -x "$prefix/bin/python3.13t" ] && [ -f "$prefix/.complete" ]; then
        echo "$prefix/bin/python3.13t"
        return
    fi
    echo "building free-threaded CPython ($flavour) into $prefix (a few minutes, once)" >&2
    rm -rf "$prefix" "$prefix.src"
    mkdir -p "$prefix.src"
    tar -xJf "$tarball" -C "$prefix.src" --strip-components=1
    src=$prefix.src
    log=$prefix.log
    local conf=(--prefix="$prefix" --disable-gil --disable-test-modules)
    local env=()
    if [ "$flavour" = tsan ]; then
        ensure_clang >&2
        conf+=(--with-thread-sanitizer)
        env=(CC=clang CXX=clang++)
    fi
    if ! ( cd "$src" && env "${env[@]}" ./configure "${conf[@]}" &&
           make -j"$(nproc)" && make altinstall ) >"$log" 2>&1; then
        tail -n 40 "$log" >&2
        echo "building free-threaded CPython failed; the whole log is $log" >&2
        return 1
    fi
    rm -rf "$src"
    touch "$prefix/.complete"
    echo "$prefix/bin/python3.13t"
}

# clang for the ThreadSanitizer builds, from Debian's packages when missing.
ensure_clang() {
    command -v clang >/dev/null 2>&1 && command -v clang++ >/dev/null 2>&1 && return
    echo "installing clang from Debian's packages" >&2
    apt-get update -qq >/dev/null && apt-get install -y -qq clang >/dev/null
}
