#!/bin/bash
# Runs the benchmarks with the project's toolchain python, one after another.
# bench_callbacks.py, bench_instructions.py and bench_load.py compare the
# builds named by LUMORA_BENCH_SITES (or LUMORA_BENCH_KEPT_SITE /
# LUMORA_BENCH_FRESH_SITE;
# bench/build_variants.sh makes them) and measure the installed _lumora
# when none is named.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
PY=${PYTHON:-$(scripts/bootstrap.sh --print-python)}
for b in callbacks instructions frames operations load kit_events; do
    echo "== bench_$b.py"
    "$PY" "bench/bench_$b.py" "$@"
    echo
done
