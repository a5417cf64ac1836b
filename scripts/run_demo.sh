#!/bin/bash
# Sets up the toolchain, builds and installs the module, then runs the
# loopback call demo (the settings demo while the loopback one is not there).
# Extra arguments go to the demo; its exit code is passed through.
set -euo pipefail

main() {
    local repo demo=examples/loopback_call.py
    repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    cd "$repo"
    SCRIPT_NAME=run_demo
    source scripts/lib/messages.sh
    source scripts/lib/toolchain.sh
    toolchain_python install
    if [[ ! -f $demo ]]; then
        demo=examples/settings_demo.py
        [[ -f $demo ]] || die "neither examples/loopback_call.py nor $demo exists"
        say "examples/loopback_call.py is not there yet; running $demo" >&2
    fi
    exec "$PY" "$demo" "$@"
}

# On one line, so bash has read it all before the bootstrap starts.
main "$@"; exit
