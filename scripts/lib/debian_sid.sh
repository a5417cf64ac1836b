# Sourced by bootstrap.sh and run_debug_python_tests.sh: logged set-up steps, the interpreter
# probe, and CPython 3.14 fetched from Debian unstable's packages into a private folder.
# The sourcing script provides say, die (lib/messages.sh: die exits, with 97 from a subshell)
# and LOGS.

# Show the end of a step's log before failing. A Python traceback there is cut down to its
# final exception line: the frames say nothing useful to someone running the set-up.
show_log_tail() {
    tail -n 15 "$1" | awk '
        /^Traceback \(most recent call last\)/ { skip = 1; next }
        skip && /^[[:space:]]/                 { next }
        { skip = 0; print "  | " $0 }' >&2
}

# run_logged LOGNAME DESCRIPTION CMD...: run CMD with its output in logs/LOGNAME.log.
run_logged() {
    local log=$LOGS/$1.log what=$2; shift 2
    { echo "+ $*"; } >>"$log"
    if ! "$@" >>"$log" 2>&1; then
        show_log_tail "$log"
        die "$what failed (full log: $log)"
    fi
}

# ---------------------------------------------------------------------------------------------
# Probing interpreters

# Prints "VERSION FREE_THREADED PREFIX_IS_BASE HAS_HEADERS HAS_ENSUREPIP HAS_SSL_CTYPES" for a
# CPython, or fails. ssl is needed for pip to reach PyPI, ctypes by the tests.
probe_python() {
    "$1" -I -c '
import importlib.util, os, sys, sysconfig
if sys.implementation.name != "cpython":
    raise SystemExit(1)
ft = 1 if sysconfig.get_config_var("Py_GIL_DISABLED") else 0
hdr = 1 if os.path.isfile(os.path.join(sysconfig.get_path("include"), "Python.h")) else 0
pip = 1 if importlib.util.find_spec("ensurepip") else 0
try:
    import ssl, ctypes
    mods = 1
except ImportError:
    mods = 0
print("%d.%d.%d" % sys.version_info[:3], ft, int(sys.prefix == sys.base_prefix), hdr, pip, mods)
' 2>/dev/null
}

# ---------------------------------------------------------------------------------------------
# CPython 3.14 from Debian unstable
#
# The caller sets, before calling sid_ensure_root:
#   SID, SID_ROOT     private apt folder parent and the unpacked tree ($SID/root)
#   SID_ABIFLAGS      "" for the regular build, "d" for the debug build (python3.14d)
#   SID_PY            the wrapper that starts the unpacked interpreter ($SID_ROOT/usr/bin/...)
#   SID_CORE_PKGS     packages fetched as named; SID_KEY_PKG among them names the interpreter
#   SID_DEP_SOURCES   packages whose library Depends are fetched too; SID_DEP_SKIP is an
#                     extended regex of library packages left out of those (empty: none)
#   SID_WHAT          what is fetched, for messages ("CPython 3.14")
#   SID_HINT, SID_HINT_INSTALL   what a user can do instead, for error messages
#   LOGS              folder of the step logs (apt.log)
#
# Unstable's packages need a newer C library than the host's, so they are unpacked (sid's libc6
# included) with dpkg-deb -x, nothing is installed into the system, and the interpreter is started
# by a wrapper through sid's own loader. LD_LIBRARY_PATH is never set: host programs started from
# Python (g++, cmake) must keep loading the host's C library.

APT_OPTS=()
setup_private_apt() {
    local apt=$SID/apt uri
    command -v apt-get >/dev/null && command -v dpkg-deb >/dev/null ||
        die "no $SID_WHAT on this machine and no apt-get/dpkg-deb to fetch one; $SID_HINT"
    [[ $(dpkg --print-architecture) == amd64 ]] ||
        die "fetching $SID_WHAT from Debian is only set up for amd64; $SID_HINT"
    local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    [[ -r $keyring ]] || die "$keyring is missing (Debian package debian-archive-keyring)"
    uri=$(debian_archive_uri) || die "cannot find the Debian archive URI in /etc/apt/sources.list.d/debian.sources"
    mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial"
    echo "deb [signed-by=$keyring] $uri sid main" >"$apt/sources.list"
    APT_OPTS=(-q -o Dir::Etc::SourceList="$apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
              -o Dir::State::Lists="$apt/lists" -o Dir::Cache="$apt/cache"
              -o Dir::Etc::Preferences=/dev/null -o Dir::Etc::PreferencesParts=/dev/null
              -o APT::Architectures::=amd64 -o Acquire::Languages=none -o Acquire::PDiffs=false)
    # As root, apt hands downloads to the _apt user, which cannot write into a private folder.
    [[ $EUID -ne 0 ]] || APT_OPTS+=(-o APT::Sandbox::User=root)
}

# The URI of the machine's main Debian archive (the deb822 stanza with a plain release suite,
# not -security or -updates), so no mirror name is written into the project.
debian_archive_uri() {
    local f=/etc/apt/sources.list.d/debian.sources
    if [[ -r $f ]]; then
        awk '
            function flush() { if (uri != "" && deb && plain && on && !done) { print uri; done = 1 }
                               uri = ""; deb = 0; plain = 0; on = 1 }
            BEGIN { on = 1 }
            /^[[:space:]]*$/     { flush(); next }
            /^#/                 { next }
            tolower($1) == "types:"   { for (i = 2; i <= NF; i++) if ($i == "deb") deb = 1 }
            tolower($1) == "uris:"    { uri = $2 }
            tolower($1) == "suites:"  { for (i = 2; i <= NF; i++) if ($i !~ /-/) plain = 1 }
            tolower($1) == "enabled:" { if (tolower($2) == "no") on = 0 }
            END { flush(); exit !done }' "$f"
    else
        # Older one-line format: "deb [options] URI suite components".
        awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i !~ /^\[|\]$|=/) { print $i; f = 1; exit } }
             END { exit !f }' /etc/apt/sources.list 2>/dev/null
    fi
}

sid_index_present() { compgen -G "$SID/apt/lists/*_sid_main_binary-amd64_Packages*" >/dev/null; }

# A refresh starts from empty lists: apt keeps list files whose Release file is unchanged, and
# a damaged or half-written one would otherwise survive the retry.
sid_update() {
    rm -rf "$SID/apt/lists"; mkdir -p "$SID/apt/lists/partial"
    run_logged apt "refreshing the Debian unstable package index" apt-get "${APT_OPTS[@]}" update
}

# Packages to fetch: the fixed set plus the shared libraries the interpreter packages depend on
# (libfoo, zlib1g; data packages such as tzdata or media-types are left out, the host's serve).
SID_PKGS=() SID_MISSING=()
# Fails, with the absent names in SID_MISSING, when the index lacks one of the fixed packages.
sid_package_list() {
    local deps pkg found
    SID_MISSING=()
    # One apt-cache run for all names: each run re-reads the whole index (seconds), and no binary
    # cache is kept. Absent names, and names only other packages still refer to, get no stanza.
    found=$(apt-cache "${APT_OPTS[@]}" show --no-all-versions "${SID_CORE_PKGS[@]}" 2>/dev/null |
            sed -n 's/^Package: //p') || true
    for pkg in "${SID_CORE_PKGS[@]}"; do
        grep -qxF -- "$pkg" <<<"$found" || SID_MISSING+=("$pkg")
    done
    [[ ${#SID_MISSING[@]} -eq 0 ]] || return 1
    deps=$(apt-cache "${APT_OPTS[@]}" depends --no-recommends --no-suggests --no-conflicts \
               --no-breaks --no-replaces --no-enhances "${SID_DEP_SOURCES[@]}" 2>>"$LOGS/apt.log" |
           awk -v skip="$SID_DEP_SKIP" '$1 ~ /^\|?(Pre)?Depends:$/ && $2 ~ /lib/ && $2 !~ /^libpython3/ &&
                                        (skip == "" || $2 !~ skip) { print $2 }' |
           sort -u) || true
    [[ -n $deps ]] || die "could not read the dependencies of ${SID_KEY_PKG%-minimal} from the Debian unstable index"
    mapfile -t SID_PKGS < <(printf '%s\n' "${SID_CORE_PKGS[@]}" $deps | sort -u)
}

# After a fresh index: the fixed packages must be there, or unstable has moved past them.
sid_package_list_or_die() {
    sid_package_list && return 0
    if [[ " ${SID_MISSING[*]} " == *" $SID_KEY_PKG "* ]]; then
        die "Debian unstable no longer has ${SID_KEY_PKG%-minimal} packages; $SID_HINT_INSTALL"
    fi
    die "Debian unstable no longer has ${SID_MISSING[*]} (needed beside ${SID_KEY_PKG%-minimal}); $SID_HINT_INSTALL"
}

# Fetch all packages into a fresh folder, so the set on disk always comes from one index.
sid_download() {
    local dir=$SID/debs
    rm -rf "$dir.new"; mkdir -p "$dir.new"
    echo "+ apt-get download ${SID_PKGS[*]}" >>"$LOGS/apt.log"
    (cd "$dir.new" && apt-get "${APT_OPTS[@]}" download "${SID_PKGS[@]}") >>"$LOGS/apt.log" 2>&1
}

sid_fetch() {
    if ! sid_index_present; then
        sid_update
        sid_package_list_or_die
    elif ! sid_package_list; then
        # An index kept from an earlier run may predate a rename; judge by a current one.
        say "the kept Debian unstable index lacks ${SID_MISSING[*]}; refreshing it"
        sid_update
        sid_package_list_or_die
    fi
    if ! sid_download; then
        # Unstable moves on and old files vanish from the archive (404): refresh the index once.
        say "download failed; refreshing the Debian unstable index and retrying"
        sid_update
        sid_package_list_or_die
        if ! sid_download; then
            show_log_tail "$LOGS/apt.log"
            die "downloading $SID_WHAT packages from Debian unstable failed (full log: $LOGS/apt.log)"
        fi
    fi
    rm -rf "$SID/debs"; mv "$SID/debs.new" "$SID/debs"
}

# Unpack into root.new, apply the fix-ups, then swap it in place of any previous tree.
sid_extract() {
    local new=$SID_ROOT.new f py=python3.14$SID_ABIFLAGS
    rm -rf "$new"; mkdir -p "$new"
    for f in "$SID/debs"/*.deb; do run_logged apt "unpacking $(basename "$f")" dpkg-deb -x "$f" "$new"; done
    [[ -x $new/usr/bin/$py ]] || die "the unpacked packages hold no usr/bin/$py"

    # The wrapper starts the real binary through sid's loader. --argv0 keeps sys.executable equal
    # to the path the wrapper was called by (a venv's bin/python), so venvs and child processes work.
    mv "$new/usr/bin/$py" "$new/usr/bin/$py.real"
    cat >"$new/usr/bin/$py" <<EOF
#!/bin/sh
# $SID_WHAT from Debian unstable, run by unstable's own loader and C library.
exec "$SID_ROOT/usr/lib/x86_64-linux-gnu/ld-linux-x86-64.so.2" \\
     --library-path "$SID_ROOT/usr/lib/x86_64-linux-gnu" \\
     --argv0 "\$0" "$SID_ROOT/usr/bin/$py.real" "\$@"
EOF
    chmod +x "$new/usr/bin/$py"

    # ensurepip must take the pip wheel unpacked here, not the host's /usr/share/python-wheels
    # (whose older pip does not run on 3.14).
    sed -i "s|'WHEEL_PKG_DIR': '/usr/share/python-wheels/'|'WHEEL_PKG_DIR': '$SID_ROOT/usr/share/python-wheels/'|" \
        "$new"/usr/lib/python3.14/_sysconfigdata_*.py
    grep -q "'WHEEL_PKG_DIR': '$SID_ROOT/" "$new"/usr/lib/python3.14/_sysconfigdata_"$SID_ABIFLAGS"_*x86_64-linux-gnu.py ||
        die "could not point WHEEL_PKG_DIR at the unpacked wheels (layout of _sysconfigdata changed?)"

    # Debian's include/$py/pyconfig.h only includes the multiarch file by a path relative to
    # include/; a link makes "-I include/$py" (what sysconfig reports) enough on its own.
    # A debug build's include/python3.14d holds links to the shared headers in include/python3.14,
    # and the compiler looks up their "pyconfig.h" beside the link targets, so that one must
    # describe this tree's interpreter as well (for the regular build both are the same file).
    [[ -f $new/usr/include/x86_64-linux-gnu/$py/pyconfig.h ]] ||
        die "the unpacked headers hold no x86_64-linux-gnu/$py/pyconfig.h"
    ln -sf "../x86_64-linux-gnu/$py/pyconfig.h" "$new/usr/include/$py/pyconfig.h"
    ln -sf "../x86_64-linux-gnu/$py/pyconfig.h" "$new/usr/include/python3.14/pyconfig.h"

    # The static libpythons (regular and debug) are only for embedding, which this project does
    # not do.
    rm -f "$new"/usr/lib/python3.14/config-3.14*-x86_64-linux-gnu/libpython3.14*.a \
          "$new"/usr/lib/x86_64-linux-gnu/libpython3.14*.a

    (cd "$SID/debs" && ls) >"$new/.debs"
    rm -rf "$SID_ROOT"; mv "$new" "$SID_ROOT"
}

sid_root_healthy() {
    local info
    [[ -f $SID_ROOT/.debs ]] && info=$(probe_python "$SID_PY") || return 1
    [[ $info == "3.14."*" 0 1 1 1 1" ]] &&
        "$SID_PY" -I -c 'import ssl, ctypes, sqlite3, zlib, lzma, bz2' 2>/dev/null
}

# Unpack the interpreter into $SID_ROOT unless a working tree is there already.
sid_ensure_root() {
    if ! sid_root_healthy; then
        say "fetching $SID_WHAT from Debian unstable into $SID"
        mkdir -p "$SID"
        : >"$LOGS/apt.log"
        setup_private_apt
        sid_fetch
        sid_extract
        rm -rf "$SID/debs"      # unpacked now; a rebuild fetches afresh from a current index
        sid_root_healthy || die "$SID_WHAT unpacked from Debian unstable does not run (try removing $SID)"
    fi
}
