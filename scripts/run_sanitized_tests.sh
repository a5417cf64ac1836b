#!/bin/bash
# Builds the module and the stand-in SDK with AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs the test suite against that build.
#
#   scripts/run_sanitized_tests.sh [pytest arguments...]   (tests/... paths: only those; else all of tests)
#
# The sanitized build goes into its own folders in the toolchain cache and
# leaves the toolchain venv's installed module alone:
#   $CACHE/asan-build/   scikit-build-core build folder (incremental)
#   $CACHE/asan-site/    the installed module, liblumora.so and stubs
# The tests import _lumora from $CACHE/asan-site through PYTHONPATH.
#
# The interpreter is not instrumented, so the sanitizer runtimes must be in
# the process before anything else: they are preloaded with LD_PRELOAD. The
# toolchain's interpreter may be a wrapper script that runs Debian unstable's
# loader (ld-linux ... --library-path ...); that loader honours LD_PRELOAD
# from the environment as well, and a check below confirms that the runtime
# is mapped in the interpreter before the tests start.
#
# Leak checking is off (detect_leaks=0): the interpreter allocates objects it
# never frees at exit by design, and reports about them would bury anything
# the module or the SDK does. PYTHONMALLOC=malloc routes Python's own
# allocations through malloc, so AddressSanitizer also sees use of freed
# Python objects from C++.
set -euo pipefail
REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$REPO"
SCRIPT_NAME=run_sanitized_tests
source scripts/lib/messages.sh
source scripts/lib/toolchain.sh

# The toolchain (interpreter, build tools), without installing the project.
toolchain_python

# The sanitizer runtimes of the compiler that builds the module.
CXX_BIN=${CXX:-g++}
ASAN_LIB=$("$CXX_BIN" -print-file-name=libasan.so)
UBSAN_LIB=$("$CXX_BIN" -print-file-name=libubsan.so)
for lib in "$ASAN_LIB" "$UBSAN_LIB"; do
    [[ $lib == /* && -e $lib ]] || die "$CXX_BIN has no sanitizer runtime ($lib); install libasan and libubsan for it"
done
ASAN_LIB=$(readlink -f "$ASAN_LIB")
UBSAN_LIB=$(readlink -f "$UBSAN_LIB")

LUMORA_SANITIZE=ON CXX=$CXX_BIN build_variant asan "with LUMORA_SANITIZE=ON" -Ccmake.build-type=RelWithDebInfo

export PYTHONPATH=$SITE${PYTHONPATH:+:$PYTHONPATH}
export LD_PRELOAD="$ASAN_LIB $UBSAN_LIB${LD_PRELOAD:+ $LD_PRELOAD}"
# detect_leaks=0: see above. The other options make any finding fatal and
# traceable, and keep the runtime from dying on its own benign checks.
export ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=0:print_stacktrace=1:strict_string_checks=1:check_initialization_order=1:detect_stack_use_after_return=1:${ASAN_OPTIONS:-}
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}
export PYTHONMALLOC=malloc
export PYTHONFAULTHANDLER=1

# The sanitized module and its SDK must be the ones the tests get, and the
# runtime must have reached the real interpreter through the loader wrapper.
"$PY" - "$SITE" <<'EOF' || die "the sanitized build is not what the interpreter loads (see above)"
import pathlib, sys
site = pathlib.Path(sys.argv[1]).resolve()
import _lumora
module = pathlib.Path(_lumora.__file__).resolve()
maps = open("/proc/self/maps").read()
problems = []
if module.parent != site:
    problems.append(f"_lumora comes from {module}, not {site}")
if "libasan.so" not in maps:
    problems.append("libasan is not mapped in the interpreter: LD_PRELOAD did not reach it")
if str(site / "liblumora.so") not in maps:
    problems.append("the liblumora.so beside the sanitized module is not the one loaded")
for p in problems:
    print("run_sanitized_tests: " + p, file=sys.stderr)
sys.exit(1 if problems else 0)
EOF
say "sanitizer runtimes preloaded: $ASAN_LIB $UBSAN_LIB"

# The sanitized module links libasan and libubsan by design, so the check of
# the module's exact NEEDED list does not apply to this build.
DESELECT=(--deselect tests/binding/test_module.py::test_runtime_search_path_and_needed_libraries)
run_pytest "$PY" -p no:cacheprovider "${DESELECT[@]}" "$@"
