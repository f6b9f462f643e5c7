#!/usr/bin/env bash
# Provisions a Debian root (a chroot) of any suite and architecture that holds
# the supported CPython versions Debian carries there (Debian's standard
# builds, with the GIL), then runs a command in it when one is given. A root of
# another architecture runs under qemu's user-mode emulation: binfmt_misc is
# mounted and qemu's handler registered when missing.
#
#   bash scripts/debian_root.sh SUITE/ARCH                # provision (or check) the root
#   bash scripts/debian_root.sh SUITE/ARCH -- CMD ARG...  # then run CMD inside it
#   bash scripts/debian_root.sh SUITE/ARCH --versions     # print the CPython versions it is for
#   bash scripts/debian_root.sh SUITE/ARCH --path         # print its folder
# Before `--`: --with PKG installs a package beyond the root's own (kept, as
# they are), --bind DIR shows CMD the host's folder DIR at the same path.
#
# e.g. sid/amd64 (the versions newer than the host's), bookworm/arm64 (3.11),
# sid/arm64 (the development release's), bookworm/s390x (big-endian).
#
# What a root holds follows from python_versions.txt and the suite: every
# listed version whose interpreter the suite carries for the architecture gets
# its headers and venv module (and, in a root of the host's architecture, its
# debug build). A root of the host's architecture is a full build and test
# machine (compiler, CMake, the checks' tools); a foreign one only runs the
# tests of modules cross-compiled on the host against it (scripts/
# test_foreign.sh): the interpreters, their headers, pytest and hypothesis.
# Adding or dropping a version is python_versions.txt's business alone.
#
# --versions: in a root of the host's architecture, the listed versions newer
# than the newest the host has, as the build's own search finds them (older
# ones are for the host to install; scripts/test.sh names them), answered
# without provisioning; in a foreign root, every listed version the suite
# carries, answered once the root's package lists are there (a first call
# bootstraps it).
#
# Roots live in ${XDG_CACHE_HOME:-$HOME/.cache}/velmo-SUITE-ARCH, the host
# architecture's sid in velmo-sid (or VELMO_SID_ROOT). Idempotent: the
# bootstrap is skipped when the root holds a finished system (a foreign
# root's second stage is resumed), the installation when every package is
# there. Runs as root, and changes neither the host's apt sources nor its
# packages beyond qemu-user-static for a foreign root: the mirror is read from
# the host's apt configuration and written into the root's own sources only.
# /proc, /sys, /dev and the --bind folders are mounted in a private mount
# namespace, so nothing stays mounted when the script ends (binfmt_misc
# excepted: it is the kernel's, system-wide).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
me=debian_root

usage() {
    echo "usage: $0 SUITE/ARCH [--versions | --path] [--with PKG]... [--bind DIR]... [-- CMD ARG...]" >&2
    exit 2
}
[[ "${1:-}" =~ ^([a-z]+)/([a-z0-9]+)$ ]] || usage
suite=${BASH_REMATCH[1]} arch=${BASH_REMATCH[2]}
shift
ask=""       # --versions or --path
extra=()     # --with: packages beyond the root's own
binds=()     # --bind: host folders that CMD sees at their own paths
while (( $# )); do
    case "$1" in
        --versions|--path) ask=$1; shift ;;
        --with) (( $# > 1 )) || usage; extra+=("$2"); shift 2 ;;
        --bind) [[ "${2:-}" == /?* && -d "${2:-}" ]] || { echo "$0: --bind needs an existing absolute folder" >&2; exit 2; }
                binds+=("$2"); shift 2 ;;
        --) shift; break ;;
        *) usage ;;
    esac
done
host_arch="$(dpkg --print-architecture 2>/dev/null || echo amd64)"
foreign=0
[[ "$arch" == "$host_arch" ]] || foreign=1

cache="${XDG_CACHE_HOME:-$HOME/.cache}"
if [[ "$suite/$arch" == "sid/$host_arch" ]]; then
    root="${VELMO_SID_ROOT:-$cache/velmo-sid}"
else
    root="$cache/velmo-$suite-$arch"
fi
if [[ "$ask" == --path ]]; then echo "$root"; exit 0; fi

mapfile -t listed < <(grep -E '^[0-9]+\.[0-9]+$' "$here/python_versions.txt")

# The listed versions newer than the newest one installed on the host.
newer_than_host() {
    local i found out=()
    for (( i = ${#listed[@]} - 1; i >= 0; i-- )); do
        found="$(env -u PYTHON -u VIRTUAL_ENV cmake -DVELMO_PYTHON_VERSION="${listed[i]}" \
                 -P "$here/cmake/FindVelmoPython.cmake")"
        [[ -z "$found" ]] || break
        out=("${listed[i]}" "${out[@]}")
    done
    echo "${out[*]}"
}

# The listed versions whose interpreter the root's package lists carry.
carried() {
    local v out=()
    for v in "${listed[@]}"; do
        if grep -qsx "Package: python$v-dev" "$root"/var/lib/apt/lists/*_Packages; then
            out+=("$v")
        fi
    done
    echo "${out[*]}"
}

if [[ "$ask" == --versions ]] && (( ! foreign )); then newer_than_host; exit 0; fi

[[ "$(id -u)" == 0 ]] || { echo "$me: run as root" >&2; exit 1; }
[[ "$root" == /?*/?* ]] || { echo "$me: the root must be an absolute path below a folder, not '$root'" >&2; exit 1; }
start=$SECONDS
say() { echo "$me $suite/$arch: $* ($((SECONDS - start)) s)" >&2; }

# Debian architecture -> qemu's name for it.
qemu_arch() {
    case "$1" in
        arm64) echo aarch64 ;; armhf|armel) echo arm ;; ppc64el) echo ppc64le ;;
        i386) echo i386 ;; *) echo "$1" ;;
    esac
}

# A foreign root needs qemu-user-static and its binfmt_misc handler, whose F
# flag makes the kernel open the emulator when it is registered, so that it
# also runs inside the root.
ensure_emulation() {
    local q conf handler
    q="$(qemu_arch "$arch")"
    conf="/usr/lib/binfmt.d/qemu-$q.conf"
    if [[ ! -f "$conf" ]]; then
        command -v apt-get >/dev/null || { echo "$me: install qemu-user-static first" >&2; exit 1; }
        say "installing qemu-user-static on the host"
        DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends qemu-user-static </dev/null
        [[ -f "$conf" ]] || { echo "$me: qemu-user-static brings no $conf: no emulator for $arch" >&2; exit 1; }
    fi
    local mnt=/proc/sys/fs/binfmt_misc
    if [[ ! -e "$mnt/register" ]]; then
        mount -t binfmt_misc binfmt_misc "$mnt" 2>/dev/null || {
            echo "$me: cannot mount binfmt_misc at $mnt (the kernel lacks it, or this container may not mount it);" \
                 "a $arch root needs it to run its programs under qemu-$q" >&2
            exit 1
        }
    fi
    if [[ "$(cat "$mnt/status")" != enabled ]]; then
        echo 1 >"$mnt/status" 2>/dev/null || { echo "$me: binfmt_misc is disabled and cannot be enabled" >&2; exit 1; }
    fi
    handler="$mnt/qemu-$q"
    if [[ -e "$handler" ]] && ! grep -qx enabled "$handler"; then
        echo 1 >"$handler" || { echo "$me: cannot enable the binfmt_misc handler $handler" >&2; exit 1; }
    fi
    if [[ ! -e "$handler" ]]; then
        grep -v '^#' "$conf" | head -n 1 >"$mnt/register" 2>/dev/null || {
            echo "$me: the kernel refused qemu-$q's binfmt_misc handler ($conf)" >&2
            exit 1
        }
    fi
    grep -qx 'flags: .*F.*' "$handler" || {
        echo "$me: the binfmt_misc handler $handler lacks the F flag: its emulator cannot run inside a root;" \
             "remove it (echo -1 > $handler) and run again" >&2
        exit 1
    }
}

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

# Runs "$@" chrooted into $root with /proc, /sys, /dev and the --bind folders
# mounted privately, in a clean environment plus the VELMO_* variables of this
# one.
in_root() {
    local -a keep=()
    local name
    for name in $(compgen -e); do
        [[ "$name" == VELMO_* ]] && keep+=("$name=${!name}")
    done
    unshare --mount --fork --propagation private -- bash -euc '
        root=$1 nbinds=$2; shift 2
        mount -t proc proc "$root/proc"
        mount --rbind /sys "$root/sys"
        mount --rbind /dev "$root/dev"
        for (( i = 0; i < nbinds; i++ )); do
            mkdir -p "$root$1"
            mount --rbind "$1" "$root$1"
            shift
        done
        exec chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 \
            PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
            DEBIAN_FRONTEND=noninteractive "$@"' in_root "$root" "${#binds[@]}" "${binds[@]}" "${keep[@]}" "$@"
}

# The host's apt working on the root: its sources, keys, lists, dpkg status
# and archive folder. For a foreign root, reading the lists, resolving and
# downloading then run at native speed; only dpkg runs inside, under
# emulation, where apt takes minutes merely to read the lists.
root_apt() {
    apt-get -o Dir="$root" -o Dir::State::status="$root/var/lib/dpkg/status" \
        -o APT::Architecture="$arch" -o APT::Architectures::="$arch" -o APT::Sandbox::User=root \
        -o Acquire::Check-Valid-Until=false -o Acquire::Languages=none "$@"
}

# Updates the root's lists and installs packages "$@" into it.
install_into_root() {
    if (( ! foreign )); then
        in_root apt-get update
        in_root apt-get install -y --no-install-recommends "$@" </dev/null
        return
    fi
    rm -f "$root"/var/cache/apt/archives/*.deb
    root_apt update
    root_apt install -y --no-install-recommends --download-only "$@" </dev/null
    # dpkg unpacks the lot, then configures it in dependency order; should it
    # stop, apt inside finishes the job.
    if compgen -G "$root/var/cache/apt/archives/*.deb" >/dev/null; then
        in_root sh -c 'dpkg -i /var/cache/apt/archives/*.deb' \
            || in_root apt-get install -y -f --no-install-recommends </dev/null
    fi
    rm -f "$root"/var/cache/apt/archives/*.deb
}

(( ! foreign )) || ensure_emulation

# One provisioning of a root at a time (scripts/test.sh starts the foreign
# ones early, in the background): a second waits for the first, then finds
# the root ready. Commands run in the root side by side.
mkdir -p "$(dirname "$root")"
exec 9>"$root.lock"
flock 9

# 1. The base system. debootstrap leaves /debootstrap behind until it has
# finished. A foreign root is bootstrapped in two stages: the first unpacks
# on the host, the second configures the packages inside, under emulation; a
# root whose first stage finished resumes at the second, anything else
# half-done is started over.
first_done="$root/debootstrap/velmo-first-stage-done"
if [[ ! -x "$root/usr/bin/apt-get" || -e "$root/debootstrap" ]]; then
    if [[ ! -e "$first_done" ]]; then
        command -v debootstrap >/dev/null || { echo "$me: install debootstrap first" >&2; exit 1; }
        mirror="$(find_mirror)" || { echo "$me: no Debian mirror in /etc/apt" >&2; exit 1; }
        say "bootstrapping $suite (minbase) for $arch into $root from $mirror"
        rm -rf "$root"
        mkdir -p "$root"
        stages=()
        (( ! foreign )) || stages=(--foreign)
        debootstrap --variant=minbase --arch="$arch" "${stages[@]}" "$suite" "$root" "$mirror"
        printf 'deb %s %s main\n' "$mirror" "$suite" >"$root/etc/apt/sources.list"
        if (( foreign )); then
            touch "$first_done"
        fi
        say "first stage done"
    fi
    if [[ -e "$first_done" ]]; then
        say "second stage, under emulation"
        chroot "$root" /debootstrap/debootstrap --second-stage
    fi
    say "bootstrapped"
fi
# A foreign root only runs tests: documentation is never read there, and
# every file costs time to unpack under emulation. Nor does anything there
# speak TLS (apt fetches over plain HTTP, pip installs local wheels), and
# without the certificates that pip's wheel pulls in, their package no
# longer runs a process per certificate, under emulation, when it is set up
# (pip still wants a CA bundle to start: see below).
if (( foreign )); then
    printf '%s\n' 'path-exclude=/usr/share/doc/*' 'path-include=/usr/share/doc/*/copyright' \
        'path-exclude=/usr/share/man/*' 'path-exclude=/usr/share/info/*' 'path-exclude=/usr/share/locale/*' \
        'path-exclude=/usr/share/ca-certificates/*' >"$root/etc/dpkg/dpkg.cfg.d/01velmo-nodoc"
fi
# The mirror may be a frozen copy whose Release is past its Valid-Until (a
# week after its Date, for sid); the signature is still checked.
echo 'Acquire::Check-Valid-Until "false";' >"$root/etc/apt/apt.conf.d/99velmo-no-valid-until"
# Package descriptions in other languages are never read.
echo 'Acquire::Languages "none";' >"$root/etc/apt/apt.conf.d/99velmo-no-translations"

if ! compgen -G "$root/var/lib/apt/lists/*_Packages" >/dev/null; then
    say "reading the package lists"
    if (( foreign )); then root_apt update; else in_root apt-get update; fi
fi
mapfile -t versions < <(carried | tr ' ' '\n' | grep .)
if [[ "$ask" == --versions ]]; then echo "${versions[*]}"; exit 0; fi
(( ${#versions[@]} )) || { echo "$me: $suite carries none of the listed versions (${listed[*]}) for $arch" >&2; exit 1; }

# 2. The packages, when any is missing.
packages=(python3-pytest python3-hypothesis)
for v in "${versions[@]}"; do packages+=("python$v-dev" "python$v-venv"); done
if (( ! foreign )); then
    # The build and every check the chroot runs (scripts/test_sid.sh), the
    # release toolchain (scripts/build_dist.sh: setuptools, wheel, auditwheel),
    # and a debug interpreter for each version.
    packages+=(g++ cmake make binutils git libgtest-dev libbenchmark-dev valgrind mypy python3-mypy
               python3-setuptools-whl python3-wheel-whl python3-auditwheel patchelf nodejs)
    for v in "${versions[@]}"; do packages+=("python$v-dbg"); done
fi
packages+=("${extra[@]}")
# Read from dpkg's database on the host (asking dpkg inside would run it
# under emulation, once a package): its status file, then the journal of the
# changes not yet folded into it, where the last word on a package counts
# (one whose triggers are still to run is installed all the same).
mapfile -t installed < <(
    cd "$root/var/lib/dpkg"
    awk 'BEGIN { RS = "" }
         match($0, /(^|\n)Package: [^\n]+/) {
             name = substr($0, RSTART, RLENGTH); sub(/^\n?Package: /, "", name)
             state[name] = ($0 ~ /\nStatus: install ok (installed|triggers-pending|triggers-awaited)(\n|$)/) }
         END { for (name in state) if (state[name]) print name }' \
        status $(ls updates 2>/dev/null | grep -E '^[0-9]+$' | sort -n | sed 's|^|updates/|'))
missing=()
for pkg in "${packages[@]}"; do
    printf '%s\n' "${installed[@]}" | grep -qxF "$pkg" || missing+=("$pkg")
done
if (( ${#missing[@]} )); then
    say "installing ${missing[*]}"
    install_into_root "${missing[@]}"
    say "installed"
fi

# pip (Debian's wheel of it, which the installed-wheel tests run) builds its
# TLS context on every run, --no-index or not, from the system CA bundle that
# the certificates' package would make; a foreign root leaves that package's
# certificates out (above), so the host's bundle stands in: the same set of
# certificates, plain text on every architecture, and nothing to run under
# emulation. Checked on every call, so that a root an earlier version of this
# script provisioned is mended too.
bundle=etc/ssl/certs/ca-certificates.crt
if (( foreign )) && [[ ! -s "$root/$bundle" ]]; then
    [[ -s "/$bundle" ]] || { echo "$me: the host has no CA bundle (/$bundle) to give pip in the root;" \
                                   "install ca-certificates" >&2; exit 1; }
    mkdir -p "$root/${bundle%/*}"
    cp "/$bundle" "$root/$bundle"
fi

# 3. Each interpreter runs, is the standard build and imports the test tools:
# checked after every installation (each costs seconds under emulation).
checked="$root/var/lib/velmo-root-checked"
if (( ${#missing[@]} )) || [[ ! -e "$checked" ]]; then
    for v in "${versions[@]}"; do
        in_root "python$v" -c '
import sys, sysconfig, pytest, hypothesis
assert not sysconfig.get_config_var("Py_GIL_DISABLED"), "free-threaded"
print("'"$me $suite/$arch"': Python", sys.version.split()[0], "pytest", pytest.__version__)'
    done
    touch "$checked"
fi
echo "$me $suite/$arch: ready in $((SECONDS - start)) s ($root)" >&2
exec 9>&-

if (( $# )); then
    in_root "$@"
fi
