#!/bin/bash
# Sets up the toolchain, builds and installs the module, then runs the test
# suite under the toolchain's CPython 3.14 from the checkout root. Extra
# arguments go to pytest; pytest's exit code is passed through, except that
# a run that collected no tests (exit 5) is reported as a failure.
set -euo pipefail

main() {
    local repo
    repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    cd "$repo"
    SCRIPT_NAME=run_tests
    source scripts/lib/messages.sh
    source scripts/lib/toolchain.sh
    toolchain_python install
    run_pytest "$PY" "$@"
}

# On one line, so bash has read it all before the tests start: a checkout
# that rewrites this file during the run cannot change what runs next.
main "$@"; exit
