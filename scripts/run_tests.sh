#!/bin/bash
# Sets up the toolchain, builds and installs the module, then runs the test
# suite under CPython 3.14. Extra arguments go to pytest.
set -euo pipefail
REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$REPO"
scripts/bootstrap.sh
PY=$(scripts/bootstrap.sh --print-python)
status=0
"$PY" -m pytest tests "$@" || status=$?
if [[ $status -eq 5 ]]; then
    echo "run_tests: error: pytest collected no tests" >&2
    exit 1
fi
exit "$status"
