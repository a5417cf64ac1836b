#!/bin/bash
# Builds the two configurations the benchmarks compare into a cache folder:
#
#   <dir>/site-kept/      LUMORA_KEEP_THREAD_STATES=ON (the default build)
#   <dir>/site-fresh/     LUMORA_KEEP_THREAD_STATES=OFF
#
# each a `pip install --target` folder holding _lumora and liblumora.so, with
# its CMake build folder beside it (<dir>/build-kept, <dir>/build-fresh)
# so that rebuilds are incremental. Nothing is installed into the venv. The
# modules keep their symbols (neither the post-build strip of the binding
# layer's CMake helper nor the one on install runs), so that
# bench_instructions.py can count instructions by function under callgrind;
# the code is the same as in a stripped build.
#
#   bench/build_variants.sh [dir]     dir: $LUMORA_BENCH_SITES, else ~/.cache/lumora-bench
#
# then: bench/bench_callbacks.py --sites <dir>   (or LUMORA_BENCH_SITES=<dir>)
# PYTHON names the interpreter (default: the project's toolchain python).
set -euo pipefail
REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$REPO"
SCRIPT_NAME=build_variants
source scripts/lib/messages.sh
source scripts/lib/toolchain.sh   # also gives HOME its passwd value when it is unset
DIR=${1:-${LUMORA_BENCH_SITES:-$HOME/.cache/lumora-bench}}
[[ $DIR == /* ]] || DIR=$PWD/$DIR
if [[ -n ${PYTHON:-} ]]; then
    PY=$PYTHON
else
    toolchain_python
fi
mkdir -p "$DIR"
for variant in kept fresh; do
    keep=ON
    [[ $variant == fresh ]] && keep=OFF
    say "building $variant (LUMORA_KEEP_THREAD_STATES=$keep) into $DIR/site-$variant" >&2
    LUMORA_KEEP_THREAD_STATES=$keep install_variant "$DIR/site-$variant" "$DIR/build-$variant" \
        "$DIR/build-$variant.log" -Cinstall.strip=false -Ccmake.define.CMAKE_STRIP=/bin/true ||
        die "build failed (full log: $DIR/build-$variant.log)"
done
echo "$DIR"
