# Sourced by the scripts that build Debian roots from Debian's .debs without a debootstrap
# second stage: a private apt (the host's dpkg database is never touched), resolving a package
# set, and unpacking exactly what apt resolved. No maintainer scripts run; a script fixes up
# afterwards what its root needs from them.
#
# The caller sets DEBROOT_APT_DIR (private apt state, kept in its cache) and DEBROOT_ARCH
# (a Debian architecture) before calling these.

# The Debian mirror the host uses, unless VELDSPAR_DEBIAN_MIRROR says otherwise.
debroot_mirror() {
    local found
    found=$(grep -rhoE 'https?://[^ ]+/debian/?( |$)' /etc/apt/sources.list /etc/apt/sources.list.d/ 2>/dev/null |
        head -1 | tr -d ' ' || true)
    found=${VELDSPAR_DEBIAN_MIRROR:-${found:-http://deb.debian.org/debian}}
    printf '%s\n' "${found%/}"
}

debroot_apt() {
    local dir=$DEBROOT_APT_DIR
    apt-get -q -o Dir::Etc::SourceList="$dir/sources.list" -o Dir::Etc::SourceParts="$dir/empty" \
        -o Dir::Etc::Preferences="$dir/preferences" -o Dir::Etc::PreferencesParts="$dir/empty" \
        -o Dir::State="$dir/state" -o Dir::State::Status="$dir/state/status" \
        -o Dir::Cache="$dir/cache" -o Dir::Cache::Archives="$dir/cache/archives" \
        -o APT::Architecture="$DEBROOT_ARCH" -o APT::Architectures::="$DEBROOT_ARCH" \
        -o APT::Install-Recommends=false \
        -o Debug::NoLocking=true -o Acquire::Languages=none -o APT::Sandbox::User=root "$@"
}

# debroot_apt_update SUITE...: package lists of these suites (main only) from the mirror.
debroot_apt_update() {
    local dir=$DEBROOT_APT_DIR mirror suite
    local key=/usr/share/keyrings/debian-archive-keyring.gpg
    mirror=$(debroot_mirror)
    mkdir -p "$dir/empty" "$dir/state/lists/partial" "$dir/cache/archives/partial"
    : >"$dir/sources.list"
    for suite in "$@"; do
        printf 'deb [arch=%s signed-by=%s] %s %s main\n' "$DEBROOT_ARCH" "$key" "$mirror" "$suite" \
            >>"$dir/sources.list"
    done
    [[ -e $dir/preferences ]] || : >"$dir/preferences"
    : >"$dir/state/status"
    debroot_apt update -qq
}

# debroot_unpack DEST PACKAGE...: downloads the packages and their dependencies and unpacks
# them into DEST. Only the versions apt resolves now are unpacked: the archive cache may hold
# older ones from earlier runs.
debroot_unpack() {
    local dest=$1 pkg ver arch
    shift
    debroot_apt install -y -qq --download-only "$@" >/dev/null
    local debs=()
    while read -r pkg ver arch; do
        debs+=("${pkg}_${ver//:/%3a}_${arch}.deb")
    done < <(debroot_apt install -s "$@" |
        sed -nE 's/^Inst ([^ ]+) \(([^ ]+) [^[]*\[([a-z0-9]+)\].*/\1 \2 \3/p')
    ((${#debs[@]})) || { echo "debroot_unpack: apt resolved no packages" >&2; return 1; }
    mkdir -p "$dest"
    printf '%s\n' "${debs[@]}" |
        (cd "$DEBROOT_APT_DIR/cache/archives" && xargs -P 2 -I{} dpkg-deb -x {} "$dest")
    DEBROOT_UNPACKED=${#debs[@]}
}
