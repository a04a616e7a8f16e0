#!/usr/bin/env bash
# Checks, without changing anything, that the sources are formatted and lint
# clean (what CI runs).  Fix with `bash tools/format.sh`.
#   bash tools/lint.sh
source "$(dirname "$0")/_lint_env.sh"
status=0
cxx_files | xargs "$TOOLS/bin/clang-format" --dry-run -Werror || status=1
"$TOOLS/bin/ruff" check . || status=1
"$TOOLS/bin/ruff" format --check . || status=1
if [ $status -ne 0 ]; then
    echo "lint: sources are not formatted or not lint clean; run: bash tools/format.sh" >&2
fi
exit $status
