# shellcheck shell=bash
# Sourced after common.sh: Debian roots of a release and architecture, made by mmdebstrap and
# entered with chroot; other architectures' programs run under qemu through binfmt_misc.
#
# A root holds the release's CPython (every version it ships), its NumPy, pytest, hypothesis and
# pip, and gcc (the registry tests build their peer module with the interpreter's compiler). Roots
# are cached under $VELDSPAR_ROOT_CACHE, keyed on everything that makes them: an empty cache only
# costs time, and a change of recipe makes a new root.

ROOT_CACHE=${VELDSPAR_ROOT_CACHE:-/var/cache/veldspar-roots}
MIRROR=${VELDSPAR_DEBIAN_MIRROR:-http://deb.debian.org/debian}

# The CPython versions a Debian release ships.
suite_pythons() {
    case $1 in
        bookworm) echo 3.11 ;;
        trixie) echo 3.13 ;;
        forky) echo 3.14 3.15 ;;
        *) die "no CPython versions known for Debian $1" ;;
    esac
}

# arch_vars DEBIAN-ARCH: sets TRIPLE (GNU), QEMU (qemu's CPU, empty for the host's) and WHEEL_ARCH.
arch_vars() {
    case $1 in
        amd64) TRIPLE=x86_64-linux-gnu QEMU= WHEEL_ARCH=x86_64 ;;
        armhf) TRIPLE=arm-linux-gnueabihf QEMU=arm WHEEL_ARCH=armv7l ;;
        arm64) TRIPLE=aarch64-linux-gnu QEMU=aarch64 WHEEL_ARCH=aarch64 ;;
        *) die "unknown architecture $1" ;;
    esac
}

# binfmt_enable DEBIAN-ARCH: lets the kernel run that architecture's programs through qemu, as
# Debian's qemu-user-static registers them with binfmt-support. Its entries carry the F flag (the
# kernel opens the emulator once), so a root needs no copy of it.
binfmt_enable() {
    arch_vars "$1"
    [[ -n $QEMU ]] || return 0
    apt_need qemu-user-static binfmt-support
    local entry=/proc/sys/fs/binfmt_misc/qemu-$QEMU
    [[ -e /proc/sys/fs/binfmt_misc/register ]] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    [[ $(head -1 "$entry" 2>/dev/null) == enabled ]] || update-binfmts --enable "qemu-$QEMU"
    grep -q '^flags:.*F' "$entry" || die "qemu-$QEMU is registered without the F flag"
}

root_packages() {  # SUITE
    local v pkgs=(dash libstdc++6 gcc libc6-dev python3-numpy python3-pytest python3-hypothesis python3-pip)
    # Debian 12's NumPy is 1.x; wheels take NumPy 2 headers from a newer release's root.
    [[ $1 == bookworm ]] || pkgs+=(python3-numpy-dev)
    for v in $(suite_pythons "$1"); do pkgs+=("python$v" "libpython$v-dev"); done
    echo "${pkgs[@]}"
}

# root_make SUITE DEBIAN-ARCH: sets ROOT to a ready root, made on first use.
root_make() {
    local suite=$1 arch=$2 key debs=$ROOT_CACHE/debs-$2 log
    arch_vars "$arch"
    binfmt_enable "$arch"
    key=$(printf '%s\n' "$suite $arch $MIRROR" "$(root_packages "$suite")" "$(declare -f root_make root_fix root_bytecode)" |
        sha256sum | cut -c1-10)
    ROOT=$ROOT_CACHE/$suite-$arch-$key
    if [[ -e $ROOT/.complete ]]; then
        touch "$ROOT/.complete"
        note "Debian $suite $arch root: cached at $ROOT"
        return
    fi
    apt_need mmdebstrap
    note "Debian $suite $arch root: mmdebstrap into $ROOT ($(root_packages "$suite"))"
    rm -rf "$ROOT.tmp" && mkdir -p "$debs"
    log=$ROOT_CACHE/$suite-$arch.log
    # The extract variant unpacks the packages and what they depend on without running their
    # maintainer scripts (under qemu those would take minutes); root_fix does the little the tests
    # need of them. Downloads are kept in the cache between runs. The mirror's Release files may
    # carry a Valid-Until that the machine's clock has passed; their signatures are still checked.
    mmdebstrap --mode=root --variant=extract --architectures="$arch" --include="$(root_packages "$suite" | tr ' ' ,)" \
        --hook-dir=/usr/share/mmdebstrap/hooks/merged-usr \
        --aptopt='Acquire::Check-Valid-Until "false"' --aptopt='Acquire::Languages "none"' \
        --skip=download/empty --setup-hook='mkdir -p "$1/var/cache/apt/archives"' \
        --setup-hook="sync-in $debs /var/cache/apt/archives/" \
        --extract-hook="sync-out /var/cache/apt/archives $debs" \
        "$suite" "$ROOT.tmp" "deb $MIRROR $suite main" >"$log" 2>&1 || { tail -20 "$log"; die "mmdebstrap failed"; }
    root_fix "$ROOT.tmp"
    root_bytecode "$ROOT.tmp" "$suite" "$arch"
    mv "$ROOT.tmp" "$ROOT" && touch "$ROOT/.complete"
    # Roots of other recipes may serve another checkout on this machine; a week unused, they go.
    find "$ROOT_CACHE" -mindepth 2 -maxdepth 2 -name .complete -mtime +7 -printf '%h\n' | xargs -r rm -rf
}

# What maintainer scripts would have done and the tests rely on: the BLAS and LAPACK alternatives
# NumPy links against, a user database, the certificate bundle newer pips load even when they use
# no index, a writable /tmp and the mount points in_root uses.
root_fix() {
    local root=$1 lib target
    for lib in libblas.so.3 liblapack.so.3; do
        target=$(cd "$root/usr/lib/$TRIPLE" && find . -mindepth 2 -name "$lib" | sort | head -1)
        [[ -n $target ]] || die "no $lib in the root"
        ln -sf "${target#./}" "$root/usr/lib/$TRIPLE/$lib"
    done
    printf 'root:x:0:0:root:/root:/bin/sh\n' >"$root/etc/passwd"
    printf 'root:x:0:\n' >"$root/etc/group"
    install -D -m 644 /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/ca-certificates.crt"
    mkdir -p "$root"/{tmp,proc,dev,root,veldspar} && chmod 1777 "$root/tmp"
}

# Compiles the root's Python sources to bytecode, as Debian's maintainer scripts would. Bytecode is
# the same on every architecture, so the interpreter of the release's amd64 root makes it natively in
# seconds; without it, every interpreter started under qemu compiles what it imports anew (NumPy
# alone takes most of a minute). Files for other CPython versions in the shared dist-packages may
# not compile; they only cost the time they always did.
root_bytecode() {  # ROOT SUITE DEBIAN-ARCH
    local root=$1 twin=$1 v
    [[ $3 == amd64 ]] || twin=$(root_make "$2" amd64 >&2 && echo "$ROOT") || die "no amd64 root for $2"
    local libdir=$twin/usr/lib/x86_64-linux-gnu
    for v in $(suite_pythons "$2"); do
        "$libdir/ld-linux-x86-64.so.2" --library-path "$libdir" "$twin/usr/bin/python$v" -m compileall -qq \
            -s "$root" -p / "$root/usr/lib/python$v" "$root/usr/lib/python3/dist-packages" || true
    done
}

# qemu-user reports every core-dumping signal of the program it runs ("qemu: uncaught target
# signal 6 (Aborted) - core dumped") on the program's own stderr, unless writing its core file
# fails. A 1-byte core limit makes that write fail, so tests that match an aborting child's exact
# stderr see what hardware gives.
QUIET_ABORT_CORE_LIMIT=1

# in_root ROOT [VAR=value ...] COMMAND...: runs COMMAND inside the root from its /tmp (a fresh
# tmpfs), with the repository at /veldspar, in a mount namespace of its own so that the mounts
# vanish with it. Only the listed variables pass.
in_root() {
    local root=$1 vars=(PATH=/usr/bin:/bin HOME=/root USER=root LANG=C.UTF-8 PYTHONDONTWRITEBYTECODE=1)
    shift
    while [[ $1 == [A-Z_]*=* ]]; do vars+=("$1"); shift; done
    # qemu's default arm64 CPU authenticates pointers with the architected algorithm, which it
    # emulates slowly (Debian 13 builds everything with branch protection): an implementation-
    # defined algorithm keeps the checks and costs little.
    [[ ! -d $root/usr/lib/aarch64-linux-gnu ]] || vars+=(QEMU_CPU=max,pauth-impdef=on)
    unshare --mount --propagation private -- bash -c '
        root=$1 repo=$2 core_limit=$3; shift 3
        mount --bind /dev "$root/dev"
        mount -t proc proc "$root/proc"
        mount -t tmpfs tmpfs "$root/tmp"
        mount --bind "$repo" "$root/veldspar"
        ulimit -c "$core_limit"
        exec "$@"' in_root "$root" "$REPO" "$QUIET_ABORT_CORE_LIMIT" \
        env -i "${vars[@]}" "$(command -v chroot)" "$root" /bin/sh -c 'cd /tmp && exec "$@"' sh "$@"
}

# root_row ROOT PYTHON-VERSION PROFILE [pytest arguments]: installs veldspar from dist/ (the wheel
# only, never the sdist beside it) into a fresh venv inside the root and runs pytest there on the
# repository's tests/. The venv sees the root's NumPy, pytest and hypothesis and uses the root's
# pip (one of its own would cost minutes under qemu).
root_row() {
    local root=$1 python=python$2 profile=$3 version
    shift 3
    version=$(basename "$(first "$DIST"/veldspar-*.tar.gz)" .tar.gz)
    version=${version#veldspar-}
    in_root "$root" VELDSPAR_PROFILE="$profile" /bin/sh -c '
        set -e
        /usr/bin/$1 -m venv --system-site-packages --without-pip /tmp/venv
        /tmp/venv/bin/python -m pip install -q --no-index --only-binary=:all: --find-links /veldspar/dist \
            --disable-pip-version-check --no-cache-dir "veldspar==$2"
        /tmp/venv/bin/python -c "import sys, platform, numpy, veldspar
print(\"    CPython\", platform.python_version(), platform.machine(), \"NumPy\", numpy.__version__, veldspar.__file__)"
        shift 2
        exec /tmp/venv/bin/python -m pytest -p no:cacheprovider -q -rs /veldspar/tests "$@"' sh \
        "$python" "$version" "$@"
}
