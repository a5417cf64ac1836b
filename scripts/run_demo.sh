#!/bin/bash
# Sets up the toolchain, builds and installs the module (without the test
# packages and tools, which the demo does not use), then runs the loopback
# call demo. Extra arguments go to the demo; its exit code is passed through.
set -euo pipefail

main() {
    local repo
    repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    cd "$repo"
    SCRIPT_NAME=run_demo
    source scripts/lib/messages.sh
    source scripts/lib/toolchain.sh
    toolchain_python demo
    exec "$PY" examples/loopback_call.py "$@"
}

# On one line, so bash has read it all before the bootstrap starts.
main "$@"; exit
