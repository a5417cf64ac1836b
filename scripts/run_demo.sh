#!/bin/bash
# Sets up the toolchain, builds and installs the module, then runs the
# loopback call demo. Extra arguments go to the demo.
set -euo pipefail
REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$REPO"
scripts/bootstrap.sh
PY=$(scripts/bootstrap.sh --print-python)
demo=examples/loopback_call.py
[[ -f $demo ]] || demo=examples/settings_demo.py
exec "$PY" "$demo" "$@"
