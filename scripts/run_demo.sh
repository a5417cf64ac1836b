#!/bin/bash
# Sets up the toolchain, builds and installs the module, then runs the
# loopback call demo (the settings demo while the loopback one is not there).
# Extra arguments go to the demo; its exit code is passed through.
set -euo pipefail

main() {
    local repo out py demo=examples/loopback_call.py
    repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    cd "$repo"
    scripts/bootstrap.sh
    # The toolchain is ready now, so this only looks the interpreter up; its
    # progress lines repeat the ones above and are shown only if it fails.
    if ! out=$(scripts/bootstrap.sh --print-python 2>&1); then
        echo "$out" >&2
        exit 1
    fi
    py=${out##*$'\n'}
    if [[ ! -f $demo ]]; then
        demo=examples/settings_demo.py
        if [[ ! -f $demo ]]; then
            echo "run_demo: error: neither examples/loopback_call.py nor $demo exists" >&2
            exit 1
        fi
        echo "run_demo: examples/loopback_call.py is not there yet; running $demo" >&2
    fi
    exec "$py" "$demo" "$@"
}

# On one line, so bash has read it all before the bootstrap starts.
main "$@"; exit
