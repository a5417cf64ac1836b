# Sourced by bootstrap.sh: the command-line media tools that the media tests
# check recordings with (ffmpeg, ffprobe, sox). They come from the system's
# packages, not from PyPI; on a Debian machine where we are root, a missing
# one is installed with apt-get, elsewhere we say what to install and the
# tests that need them skip with that reason. Needs say and run_logged.

MEDIA_TOOLS=(ffmpeg ffprobe sox)
MEDIA_TOOL_PACKAGES=(ffmpeg sox)

missing_media_tools() {
    local tool missing=()
    for tool in "${MEDIA_TOOLS[@]}"; do
        type -P "$tool" >/dev/null || missing+=("$tool")
    done
    echo "${missing[*]}"
}

ensure_media_tools() {
    local missing
    missing=$(missing_media_tools)
    [[ -n $missing ]] || return 0
    if [[ $(id -u) -eq 0 ]] && type -P apt-get >/dev/null; then
        say "installing ${MEDIA_TOOL_PACKAGES[*]} with apt-get (missing: $missing)"
        run_logged apt "updating the package index" env DEBIAN_FRONTEND=noninteractive apt-get update -q
        run_logged apt "installing ${MEDIA_TOOL_PACKAGES[*]}" env DEBIAN_FRONTEND=noninteractive \
            apt-get install -y -q --no-install-recommends "${MEDIA_TOOL_PACKAGES[@]}"
        missing=$(missing_media_tools)
        [[ -z $missing ]] || die "apt-get installed ${MEDIA_TOOL_PACKAGES[*]} but $missing is still not on PATH"
    else
        say "warning: $missing not on PATH; the tests that check media files with them will skip" \
            "(Debian: apt-get install ${MEDIA_TOOL_PACKAGES[*]})"
    fi
}
