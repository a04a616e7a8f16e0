# Sourced by tools/format.sh and tools/lint.sh: a small environment
# (.venv-tools) with the pinned formatters, installed from the package index.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
CLANG_FORMAT_VERSION=21.1.8
RUFF_VERSION=0.17.6
TOOLS=${KESTRUN_TOOLS_VENV:-.venv-tools}
if ! "$TOOLS/bin/clang-format" --version 2>/dev/null | grep -q "version $CLANG_FORMAT_VERSION" ||
   ! "$TOOLS/bin/ruff" --version 2>/dev/null | grep -q "ruff $RUFF_VERSION"; then
    python3 -m venv "$TOOLS"
    "$TOOLS/bin/python" -m pip install --quiet "clang-format==$CLANG_FORMAT_VERSION" "ruff==$RUFF_VERSION"
fi
# The C++ sources (modules, shared layer, public header, test probes) and
# the Python files, as git knows them.
cxx_files() { git ls-files -- '*.cpp' '*.hpp' '*.h'; }
