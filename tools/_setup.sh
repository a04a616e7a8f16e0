# Sourced by the tools/*.sh entry points: finds a CPython (3.13 preferred),
# makes the virtual environment ($KESTRUN_VENV, default .venv) and installs
# the package into it with the extras named in $KESTRUN_EXTRAS.
#
# The build folder persists (build/<venv name>/), so a changed source
# rebuilds only what it touches; when nothing that goes into the package has
# changed since the last install into this environment, nothing is rebuilt.
#   KESTRUN_PYTHON=/path/to/python   use this interpreter
#   KESTRUN_WERROR=1                 compiler warnings are errors (CI)
#   KESTRUN_PIP_ARGS="..."           extra pip arguments (tools/sanitize.sh)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

source "$(dirname "${BASH_SOURCE[0]}")/_setup_find.sh"

find_python() {
    local c
    if [ -n "${KESTRUN_PYTHON:-}" ]; then echo "$KESTRUN_PYTHON"; return; fi
    if find_cpython 13; then return; fi
    for c in python3 python; do
        if is_python "$c" 11; then command -v "$c"; return; fi
    done
    echo "no CPython 3.13 (or 3.11+) found: install one, or set KESTRUN_PYTHON" >&2
    return 1
}

VENV=${KESTRUN_VENV:-.venv}
# Absolute, so callers may change folder; $KESTRUN_VENV may itself be absolute.
case $VENV in /*) ;; *) VENV=$PWD/$VENV ;; esac
PY=$(find_python)
if [ ! -x "$VENV/bin/python" ] || ! is_python "$VENV/bin/python" 11 ||
   [ "$("$VENV/bin/python" -c 'import sys; print(sys.version_info[:2])')" != \
     "$("$PY" -c 'import sys; print(sys.version_info[:2])')" ]; then
    echo "creating $VENV with $("$PY" -c 'import sys; print(sys.executable, sys.version.split()[0])')" >&2
    rm -rf "$VENV"
    "$PY" -m venv "$VENV"
    "$VENV/bin/python" -m pip install --quiet --upgrade pip >/dev/null 2>&1 || true
fi
VPY=$VENV/bin/python

pip_args=(${KESTRUN_PIP_ARGS:-} "-Cbuild-dir=build/$(basename "$VENV")/{wheel_tag}")
[ -n "${KESTRUN_WERROR:-}" ] && pip_args+=("-Ccmake.define.KESTRUN_WERROR=ON")
target=".${KESTRUN_EXTRAS:+[$KESTRUN_EXTRAS]}"

# Everything that goes into the package: the sources git knows of (committed
# or not) and the pip arguments.  The record in the environment holds that
# stamp and the extras installed with it.  Outside a git checkout there is no
# stamp, and the package is always installed.
stamp=""
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    stamp=$( { git ls-files -co --exclude-standard -- src CMakeLists.txt pyproject.toml \
                   tools/build_info.py.in |
               LC_ALL=C sort | xargs -d '\n' sha1sum
               echo "${pip_args[*]}"; } | sha1sum | cut -d' ' -f1)
fi
record="$VENV/.kestrun-installed"
installed=$(cat "$record" 2>/dev/null || true)
extras=${KESTRUN_EXTRAS:-none}
if [ -n "$stamp" ] && [ "${installed%% *}" = "$stamp" ] && [[ " $installed " == *" $extras "* ]]; then
    echo "kestrun${KESTRUN_EXTRAS:+[$KESTRUN_EXTRAS]} in $VENV is up to date" >&2
else
    echo "installing kestrun${KESTRUN_EXTRAS:+[$KESTRUN_EXTRAS]} into $VENV" >&2
    rm -f "$record"
    "$VPY" -m pip install --quiet "${pip_args[@]}" "$target"
    if [ -n "$stamp" ]; then
        [ "${installed%% *}" = "$stamp" ] || installed=$stamp
        echo "$installed $extras" > "$record"
    fi
fi
