#!/bin/bash
# Runs the benchmarks with the project's toolchain python, one after another.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
PY=${PYTHON:-$(scripts/bootstrap.sh --print-python)}
for b in callbacks frames operations load kit_events; do
    echo "== bench_$b.py"
    "$PY" "bench/bench_$b.py" "$@"
    echo
done
