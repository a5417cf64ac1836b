# Sourced by the scripts that need the project's toolchain (bootstrap.sh
# makes it; the others ask bootstrap.sh for it): where its cache lives, the
# venv's interpreter, builds of variants of the module beside the venv, and
# the pytest run they all end in. Needs say and die (lib/messages.sh).

# HOME can be missing under some CI runners and service managers; the passwd
# entry stands in.
: "${HOME:=$(getent passwd "$(id -u)" 2>/dev/null | cut -d: -f6)}"

# Sets CACHE to the toolchain cache: LUMORA_TOOLCHAIN_DIR, else
# ~/.cache/lumora-toolchain, made absolute (paths written into the unpacked
# interpreter's wrapper and the venv must be).
toolchain_cache() {
    if [[ -n ${LUMORA_TOOLCHAIN_DIR:-} ]]; then
        CACHE=$LUMORA_TOOLCHAIN_DIR
    elif [[ -n $HOME ]]; then
        CACHE=$HOME/.cache/lumora-toolchain
    else
        die "neither LUMORA_TOOLCHAIN_DIR nor HOME is set; cannot place the toolchain"
    fi
    [[ $CACHE == /* ]] || CACHE=$PWD/$CACHE
}

# checkout_id REPO: names a checkout's own folders in the cache (several
# clones may share one toolchain): its folder name and a hash of its path.
checkout_id() { echo "$(basename "$1")-$(printf '%s' "$1" | sha1sum | cut -c1-10)"; }

# Sets CACHE and PY (the venv's interpreter) after setting up the toolchain;
# with "install" it also builds and installs the project into the venv, with
# "demo" the same without what only the tests need. On failure it reports and
# exits.
toolchain_python() {
    local out options=()
    toolchain_cache
    [[ ${1:-} != demo ]] || options=(--demo)
    if [[ ${1:-} == install || ${1:-} == demo ]]; then
        scripts/bootstrap.sh "${options[@]}" || exit 1
    fi
    # With the install done this only looks the interpreter up; its progress
    # lines would repeat the ones above, so they are shown only if it fails.
    if ! out=$(scripts/bootstrap.sh --print-python "${options[@]}" 2>&1); then
        echo "$out" >&2
        exit 1
    fi
    PY=${out##*$'\n'}
}

# Builds the checkout into folders of its own, leaving the venv's installed
# module alone: install_variant SITE BUILD LOG [pip options...] builds in
# BUILD (incrementally), installs into SITE and writes pip's output to LOG,
# showing its tail on failure. The caller sets the variant's environment
# (LUMORA_SANITIZE=ON install_variant ...). Returns pip's status.
install_variant() {
    local site=$1 build=$2 log=$3
    shift 3
    mkdir -p "$(dirname "$log")"
    if ! "$PY" -m pip install --no-build-isolation --no-deps --no-index --disable-pip-version-check \
            --upgrade --target "$site" -Cbuild-dir="$build" "$@" . >"$log" 2>&1; then
        tail -n 30 "$log" >&2
        return 1
    fi
}

# build_variant NAME WHAT [pip options...]: install_variant into the cache's
# NAME-site (build folder NAME-build, log logs/NAME-build.log) and sets SITE
# to it; exits with a message on failure. WHAT describes the variant.
build_variant() {
    local name=$1 what=$2 log
    shift 2
    SITE=$CACHE/$name-site
    log=$CACHE/logs/$name-build.log
    say "building $what into $SITE"
    install_variant "$SITE" "$CACHE/$name-build" "$log" "$@" || die "build failed (full log: $log)"
}

# run_pytest PYTHON [pytest arguments...]: runs pytest from the current
# folder and exits with its status, except that a run that collected no
# tests (exit 5) is a failure. Run from the checkout root, pytest takes the
# paths it is given, or tests/ (pyproject.toml's testpaths) without any.
run_pytest() {
    local py=$1 status=0
    shift
    "$py" -m pytest "$@" || status=$?
    if [[ $status -eq 5 ]]; then
        die "pytest collected no tests (pytest exit 5)"
    fi
    exit "$status"
}
