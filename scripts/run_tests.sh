#!/bin/bash
# Sets up the toolchain, builds and installs the module, then runs the test
# suite under the toolchain's CPython 3.14 from the checkout root. Extra
# arguments go to pytest; pytest's exit code is passed through, except that
# a run that collected no tests (exit 5) is reported as a failure.
set -euo pipefail

main() {
    local repo status=0
    repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    cd "$repo"
    source scripts/toolchain.sh
    ensure_toolchain_python
    "$PY" -m pytest tests "$@" || status=$?
    if [[ $status -eq 5 ]]; then
        echo "run_tests: error: pytest collected no tests (pytest exit 5)" >&2
        exit 1
    fi
    exit "$status"
}

# On one line, so bash has read it all before the tests start: a checkout
# that rewrites this file during the run cannot change what runs next.
main "$@"; exit
