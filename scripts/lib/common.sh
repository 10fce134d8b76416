# shellcheck shell=bash
# Sourced by every script in scripts/: the repository's paths, step headings that print elapsed
# times, and the helpers every script needs (Debian packages, pyenv interpreters, test suites).
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
DIST=$REPO/dist
PYENV_ROOT=${PYENV_ROOT:-/root/.pyenv}
# chroot, update-binfmts and the like live here; a root's environment has them on its path.
PATH=$PATH:/usr/sbin:/sbin
# CI's own builds treat warnings as errors (scripts/test sets this); a user's `pip install` never does.
WERROR=${VELDSPAR_WERROR:-OFF}
# One clock for a script and the scripts it starts, so nested steps show the time since CI began.
export VELDSPAR_T0=${VELDSPAR_T0:-$(date +%s)}
_name=$(basename "$0")
_last=$(date +%s)

# step TEXT: a heading with the time since the outermost script began and the previous step's time.
step() {
    local now
    now=$(date +%s)
    printf '\n==> [%5ds, previous step %4ds] %s: %s\n' "$((now - VELDSPAR_T0))" "$((now - _last))" "$_name" "$*"
    _last=$now
}
note() { printf '    %s\n' "$*"; }
die() { printf '\n%s: %s\n' "$_name" "$*" >&2; exit 1; }

# apt_need PACKAGE...: installs the Debian packages that are missing (needs root).
_apt_updated=
apt_need() {
    local p missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
    done
    ((${#missing[@]})) || return 0
    [[ $(id -u) -eq 0 ]] || die "install ${missing[*]} (needs root)"
    note "installing ${missing[*]}"
    # Other sources configured on a machine may be unreachable; what we need is on Debian's mirror.
    [[ -n $_apt_updated ]] || apt-get update -qq || note "apt-get update reported errors; installing anyway"
    _apt_updated=1
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# first GLOB...: the first existing file the patterns match, or nothing.
first() {
    local f
    for f in "$@"; do [[ -e $f ]] && { echo "$f"; return; }; done
    return 0
}

# pyenv_python 3.9: the interpreter of the newest installed patch release of that version.
pyenv_python() {
    local dir
    dir=$(ls -d "$PYENV_ROOT/versions/$1".* 2>/dev/null | sort -V | tail -1)
    [[ -n $dir && -x $dir/bin/python ]] || die "no CPython $1 under $PYENV_ROOT/versions"
    echo "$dir/bin/python"
}

# extra_requirements NAME: the requirements of pyproject.toml's optional dependencies NAME, one a
# line. Each extra is one line there, read without a TOML parser (CPython 3.9 has none).
extra_requirements() {
    python3 - "$REPO/pyproject.toml" "$1" <<'PY'
import ast, re, sys
found = re.search(r"^%s = (\[.*\])$" % re.escape(sys.argv[2]), open(sys.argv[1]).read(), re.M)
print("\n".join(ast.literal_eval(found[1])) if found else "")
PY
}

# suite LABEL COMMAND...: runs a test suite with its output also in build/logs/LABEL.log. pytest's
# exit code 5 (no test collected) fails like any other failure. The runner's closing line and the
# time go to the summary that scripts/test prints at the end.
export VELDSPAR_SUMMARY=${VELDSPAR_SUMMARY:-$REPO/build/logs/summary.txt}
suite() {
    local label=$1 t0 rc closing log=$REPO/build/logs/$1.log
    shift
    mkdir -p "$REPO/build/logs"
    t0=$(date +%s)
    set +e
    "$@" 2>&1 | tee "$log"
    rc=${PIPESTATUS[0]}
    set -e
    closing=$(grep -E '^=*[^=]*[0-9]+ (passed|failed)|^[0-9]+% tests passed' "$log" | tail -1 |
        sed -E 's/^=+ //; s/ =+$//')
    printf '%-24s %5ds  %s\n' "$label" "$(($(date +%s) - t0))" "${closing:-no closing line}" >>"$VELDSPAR_SUMMARY"
    ((rc != 5)) || die "$label: pytest collected no tests"
    ((rc == 0)) || die "$label failed (exit $rc)"
}
