#!/usr/bin/env bash
# Provisions a Debian sid chroot holding the supported CPython versions that
# are newer than any the host has (Debian's standard builds, with the GIL) and
# everything velmo's build and tests use there, then runs a command in it when
# one is given.
#
#   bash scripts/sid_chroot.sh                # provision (or check) the chroot
#   bash scripts/sid_chroot.sh -- CMD ARG...  # then run CMD inside it
#   bash scripts/sid_chroot.sh --versions     # print the CPython versions it provides
#
# The chroot lives in VELMO_SID_ROOT (default ${XDG_CACHE_HOME:-$HOME/.cache}/
# velmo-sid): about 1.5 GB and 3.5 to 6 minutes on a first run, seconds on a run
# that finds it ready. Idempotent: the bootstrap is skipped when the root
# holds a finished system, the installation when every package is there.
# Runs as root, and changes neither the host's apt sources nor its packages:
# the mirror is read from the host's apt configuration and written into the
# chroot's own sources only. /proc, /sys and /dev are mounted in a private
# mount namespace, so nothing stays mounted when the script ends.
set -euo pipefail

# The versions that the chroot provides and scripts/test_sid.sh tests there:
# those of python_versions.txt newer than the newest one installed on the
# host, as the build's own search finds it. Debian's development release
# carries the newest CPython releases only; an older version that the host
# lacks is for the host to install (scripts/test.sh names it).
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
mapfile -t listed < <(grep -E '^[0-9]+\.[0-9]+$' "$here/python_versions.txt")
versions=()
for (( i = ${#listed[@]} - 1; i >= 0; i-- )); do
    found="$(env -u PYTHON -u VIRTUAL_ENV cmake -DVELMO_PYTHON_VERSION="${listed[i]}" \
             -P "$here/cmake/FindVelmoPython.cmake")"
    [[ -z "$found" ]] || break
    versions=("${listed[i]}" "${versions[@]}")
done
if [[ "${1:-}" == --versions ]]; then echo "${versions[*]}"; exit 0; fi

root="${VELMO_SID_ROOT:-${XDG_CACHE_HOME:-$HOME/.cache}/velmo-sid}"
if [[ "${1:-}" == -- ]]; then shift; fi
packages=(g++ cmake make binutils git libgtest-dev libbenchmark-dev valgrind
          python3-pytest python3-hypothesis mypy python3-mypy python3-setuptools-whl python3-wheel-whl
          python3-auditwheel patchelf python3.13-dbg python3.13-dev nodejs)
for v in "${versions[@]}"; do packages+=("python$v-dev" "python$v-venv" "python$v-dbg"); done

# The host's Debian mirror: the URIs of the first deb822 stanza that is not a
# security suite, else the first "deb" line of the one-line format.
find_mirror() {
    local f uri=""
    for f in /etc/apt/sources.list.d/*.sources; do
        [[ -r "$f" ]] || continue
        uri=$(awk 'BEGIN { RS = ""; FS = "\n" }
                   { u = ""; s = ""; t = ""
                     for (i = 1; i <= NF; i++) {
                         if ($i ~ /^URIs:/)   { split($i, a, /[ \t]+/); u = a[2] }
                         if ($i ~ /^Suites:/) { s = $i }
                         if ($i ~ /^Types:/)  { t = $i } }
                     if (u != "" && s !~ /security/ && t ~ /(^|[ \t])deb([ \t]|$)/) { print u; exit } }' "$f")
        [[ -n "$uri" ]] && { echo "$uri"; return; }
    done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [[ -r "$f" ]] || continue
        uri=$(awk '$1 == "deb" && $0 !~ /security/ {
                       for (i = 2; i <= NF; i++) if ($i ~ /^[a-z+]+:\/\//) { print $i; exit } }' "$f")
        [[ -n "$uri" ]] && { echo "$uri"; return; }
    done
    return 1
}

# Runs "$@" chrooted into $root with /proc, /sys and /dev mounted privately,
# in a clean environment plus the VELMO_* variables of this one.
in_root() {
    local -a keep=()
    local name
    for name in $(compgen -e); do
        [[ "$name" == VELMO_* ]] && keep+=("$name=${!name}")
    done
    unshare --mount --fork --propagation private -- bash -euc '
        root=$1; shift
        mount -t proc proc "$root/proc"
        mount --rbind /sys "$root/sys"
        mount --rbind /dev "$root/dev"
        exec chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 \
            PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
            DEBIAN_FRONTEND=noninteractive "$@"' in_root "$root" "${keep[@]}" "$@"
}

[[ "$(id -u)" == 0 ]] || { echo "sid_chroot.sh: run as root" >&2; exit 1; }
[[ "$root" == /?*/?* ]] || { echo "sid_chroot.sh: VELMO_SID_ROOT must be an absolute path below a folder, not '$root'" >&2; exit 1; }
start=$SECONDS

# 1. The base system. debootstrap leaves /debootstrap behind until it has
# finished, so a half-done root is started over.
if [[ ! -x "$root/usr/bin/apt-get" || -e "$root/debootstrap" ]]; then
    command -v debootstrap >/dev/null || { echo "sid_chroot.sh: install debootstrap first" >&2; exit 1; }
    mirror="$(find_mirror)" || { echo "sid_chroot.sh: no Debian mirror in /etc/apt" >&2; exit 1; }
    echo "sid_chroot: bootstrapping sid (minbase) into $root from $mirror"
    rm -rf "$root"
    mkdir -p "$root"
    debootstrap --variant=minbase sid "$root" "$mirror"
    printf 'deb %s sid main\n' "$mirror" >"$root/etc/apt/sources.list"
fi
# The mirror may be a frozen copy whose sid Release is past its Valid-Until
# (a week after its Date); the signature is still checked.
echo 'Acquire::Check-Valid-Until "false";' >"$root/etc/apt/apt.conf.d/99velmo-no-valid-until"

# 2. The packages, when any is missing.
missing=()
for pkg in "${packages[@]}"; do
    if ! chroot "$root" dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed'; then
        missing+=("$pkg")
    fi
done
if (( ${#missing[@]} )); then
    echo "sid_chroot: installing ${missing[*]}"
    in_root apt-get update
    in_root apt-get install -y --no-install-recommends "${missing[@]}" </dev/null
fi

# 3. Each interpreter runs, is the standard build and imports the test tools.
for v in "${versions[@]}"; do
    in_root "python$v" -c '
import sys, sysconfig, pytest, hypothesis
assert not sysconfig.get_config_var("Py_GIL_DISABLED"), "free-threaded"
print("sid_chroot: Python", sys.version.split()[0], "pytest", pytest.__version__)'
done
echo "sid_chroot: ready in $((SECONDS - start)) s ($root)"

if (( $# )); then
    in_root "$@"
fi
