#!/usr/bin/env bash
# Sets up .venv and runs the main job: the native-core report.
#   bash tools/run.sh [--json]
source "$(dirname "$0")/_setup.sh"
"$VPY" -m kestrun "$@"
