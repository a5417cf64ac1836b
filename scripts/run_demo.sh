#!/bin/bash
# Sets up the toolchain, builds and installs the module, then runs the
# loopback call demo (the settings demo while the loopback one is not there).
# Extra arguments go to the demo; its exit code is passed through.
set -euo pipefail
REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$REPO"
scripts/bootstrap.sh
# The toolchain is ready now, so this only looks the interpreter up; its
# progress lines repeat the ones above and are shown only if it fails.
if ! out=$(scripts/bootstrap.sh --print-python 2>&1); then
    echo "$out" >&2
    exit 1
fi
PY=${out##*$'\n'}
demo=examples/loopback_call.py
if [[ ! -f $demo ]]; then
    demo=examples/settings_demo.py
    [[ -f $demo ]] || { echo "run_demo: error: neither examples/loopback_call.py nor $demo exists" >&2; exit 1; }
    echo "run_demo: examples/loopback_call.py is not there yet; running $demo" >&2
fi
exec "$PY" "$demo" "$@"
