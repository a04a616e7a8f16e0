#!/usr/bin/env bash
# Applies the project's formatters: clang-format to the C++ sources, ruff to
# the Python files (lint fixes, then formatting).
#   bash tools/format.sh
source "$(dirname "$0")/_lint_env.sh"
cxx_files | xargs "$TOOLS/bin/clang-format" -i
"$TOOLS/bin/ruff" check --fix --quiet . || true
"$TOOLS/bin/ruff" format --quiet .
echo "formatted: $(cxx_files | wc -l) C++ files, Python files under ruff"
