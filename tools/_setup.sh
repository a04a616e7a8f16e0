# Sourced by the tools/*.sh entry points: finds a CPython (3.13 preferred),
# makes the virtual environment ($KESTRUN_VENV, default .venv) and installs
# the package into it with the extras named in $KESTRUN_EXTRAS.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

is_python() {  # is_python CMD MIN_MINOR [EXACT]: a CPython 3.x with x >= MIN_MINOR
    "$1" -c "import sys, platform
ok = platform.python_implementation() == 'CPython' and sys.version_info[0] == 3
ok = ok and (sys.version_info[1] == $2 if '${3:-}' else sys.version_info[1] >= $2)
sys.exit(0 if ok else 1)" >/dev/null 2>&1
}

find_python() {
    local c
    if [ -n "${KESTRUN_PYTHON:-}" ]; then echo "$KESTRUN_PYTHON"; return; fi
    for c in python3.13 "$(command -v pyenv >/dev/null 2>&1 && pyenv root 2>/dev/null)/versions/"3.13*/bin/python3.13 /usr/bin/python3.13 /usr/local/bin/python3.13; do
        if is_python "$c" 13 exact; then echo "$c"; return; fi
    done
    for c in python3 python; do
        if is_python "$c" 11; then echo "$c"; return; fi
    done
    echo "no CPython 3.13 (or 3.11+) found: install one, or set KESTRUN_PYTHON" >&2
    return 1
}

VENV=${KESTRUN_VENV:-.venv}
PY=$(find_python)
if [ ! -x "$VENV/bin/python" ] || ! is_python "$VENV/bin/python" 11; then
    echo "creating $VENV with $("$PY" -c 'import sys; print(sys.executable, sys.version.split()[0])')" >&2
    "$PY" -m venv "$VENV"
fi
VPY=$VENV/bin/python
"$VPY" -m pip install --quiet --upgrade pip >/dev/null 2>&1 || true
echo "installing kestrun${KESTRUN_EXTRAS:+[$KESTRUN_EXTRAS]} into $VENV" >&2
# KESTRUN_PIP_ARGS: extra pip arguments, e.g. -Ccmake.define.KESTRUN_SANITIZE=ON.
"$VPY" -m pip install --quiet ${KESTRUN_PIP_ARGS:-} ".${KESTRUN_EXTRAS:+[$KESTRUN_EXTRAS]}"
