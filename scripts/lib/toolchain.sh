# Sourced by the run scripts. ensure_toolchain_python sets up the toolchain,
# builds and installs the project into its venv, and sets PY to the venv's
# interpreter; on failure it reports and exits.
ensure_toolchain_python() {
    local out
    scripts/bootstrap.sh
    # The toolchain is ready now, so this only looks the interpreter up; its
    # progress lines repeat the ones above and are shown only if it fails.
    if ! out=$(scripts/bootstrap.sh --print-python 2>&1); then
        echo "$out" >&2
        exit 1
    fi
    PY=${out##*$'\n'}
}

# For the scripts that build a variant of the module into the toolchain
# cache: sets CACHE to the cache folder and PY to the venv's interpreter,
# setting up the toolchain without installing the project.
toolchain_python_only() {
    local out
    : "${HOME:=$(getent passwd "$(id -u)" 2>/dev/null | cut -d: -f6)}"
    CACHE=${LUMORA_TOOLCHAIN_DIR:-$HOME/.cache/lumora-toolchain}
    [[ $CACHE == /* ]] || CACHE=$PWD/$CACHE
    if ! out=$(scripts/bootstrap.sh --print-python 2>&1); then
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
