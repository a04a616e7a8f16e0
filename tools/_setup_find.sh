# Finding CPython interpreters: sourced by tools/_setup.sh and .ci/run.

is_python() {  # is_python CMD MIN_MINOR [EXACT]: a CPython 3.x with x >= MIN_MINOR
    "$1" -c "import sys, platform
ok = platform.python_implementation() == 'CPython' and sys.version_info[0] == 3
ok = ok and (sys.version_info[1] == $2 if '${3:-}' else sys.version_info[1] >= $2)
sys.exit(0 if ok else 1)" >/dev/null 2>&1
}

# find_cpython MINOR: a CPython 3.MINOR on PATH, through pyenv, or in /usr/bin
# or /usr/local/bin; prints nothing and fails when there is none.
find_cpython() {
    local c root=""
    command -v pyenv >/dev/null 2>&1 && root=$(pyenv root 2>/dev/null || true)
    for c in "python3.$1" ${root:+"$root"/versions/3."$1"*/bin/python3."$1"} \
             "/usr/bin/python3.$1" "/usr/local/bin/python3.$1"; do
        if is_python "$c" "$1" exact; then command -v "$c" || echo "$c"; return 0; fi
    done
    return 1
}
