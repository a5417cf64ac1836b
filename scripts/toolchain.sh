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
