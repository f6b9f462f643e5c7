#!/usr/bin/env bash
# Makes velmo's release artefacts in dist/: the sdist and a wheel per
# supported version (python_versions.txt) for each machine of machines.txt
# that has a wheel policy: for the host's machine, by the host's interpreters
# for the versions it has and by the Debian sid chroot (scripts/sid_chroot.sh)
# for the newer ones; for another machine, one per version that the row's
# Debian roots carry (scripts/debian_root.sh), cross-compiled against its root
# (cmake/cross/debian-root.cmake) by the same interpreters. Each wheel is
# built from the sdist, tagged and checked by `auditwheel repair` and
# `auditwheel show` (the sid chroot's) with the row's policy, installed into a
# fresh venv of its own interpreter, and velmo's Python suite runs against that
# installed module, not a build tree, as the row's `suite` says: another
# machine's wheel inside its root, under emulation (VELMO_FOREIGN_FULL=all:
# the whole suite on every version). Ends with a table per wheel: size,
# policy, suite, sha256.
#
#   bash scripts/build_dist.sh                        # everything, into dist/
#   bash scripts/build_dist.sh --no-test              # the artefacts only
#   bash scripts/build_dist.sh --check-reproducible   # then again from a clean clone, untested: byte-identical or fail
#
# The suite needs the test-only modules (velmo_peer, the mismatch variant) of
# each interpreter; with VELMO_SUITE_ON_WHEELS=1 (scripts/test.sh's full run) they
# are taken from the lane folders that run has just built (build-py3.X/,
# build-ARCH-py3.X/, the chroot's), else built here.
#
# Reproducible: SOURCE_DATE_EPOCH (default: the last commit's time; in an
# unpacked sdist, its files' time) fixes every timestamp, so two runs from
# clean clones of one commit give the same bytes. One toolchain builds every
# artefact: the sid chroot's setuptools and wheel (PEP 639 licence metadata),
# installed into each interpreter's build venv offline, and the host's or the
# chroot's compiler. Needs root, for the chroot. Works in build-dist/ (host)
# and /root/velmo-dist-<id> (chroot), which it empties first.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/matrix.sh"
cd "$top"
# Each machine's wheel policy and suite, from the matrix.
declare -A policy_of=() suite_of=()
for row in "${machines[@]}"; do
    read -r m wheel _ suite <<<"$row"
    [[ "$wheel" == - ]] || policy_of[$m]=$wheel
    suite_of[$m]=$suite
done

# Builds a wheel of the unpacked sdist $3 with interpreter $1 into $4, in a
# build venv $2 that holds the toolchain's setuptools and wheel from $5; the
# arguments after those (NAME=VALUE) are the build's environment.
build_wheel() {
    local python=$1 venv=$2 source=$3 out=$4 tools=$5
    shift 5
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-index --find-links "$tools" \
        --upgrade setuptools wheel
    # -v: the log holds setuptools' own output, warnings included.
    (cd "$source" && env "$@" "$venv/bin/python" -m pip wheel -v --disable-pip-version-check --no-index \
        --no-build-isolation --no-deps -w "$out" .) >"$venv.log" 2>&1 \
        || { cat "$venv.log" >&2; echo "build_dist: the wheel for $python failed" >&2; return 1; }
}

# The environment in which build_wheel makes a wheel for version $2 of the
# Debian root $1 (SUITE/ARCH, in folder $3) with an interpreter of that
# version from the host: CPython's own cross-build variables give setuptools
# the root's build configuration (its _sysconfigdata module, copied to $5:
# the extension suffix, the platform tag), and CMake the toolchain file of
# the unpacked sdist $4.
cross_env() {
    local name=$1 v=$2 sysroot=$3 source=$4 dir=$5 config
    config="$(ls "$sysroot/usr/lib/python$v"/_sysconfigdata__linux_*.py | head -n 1)"
    mkdir -p "$dir"
    cp "$config" "$dir/"
    config="$(basename "$config" .py)"
    local machine="${config#_sysconfigdata__linux_}"
    echo "_PYTHON_HOST_PLATFORM=linux-${machine%%-*}"
    echo "_PYTHON_SYSCONFIGDATA_NAME=$config"
    echo "PYTHONPATH=$dir"
    echo "VELMO_CMAKE_ARGS=-DCMAKE_TOOLCHAIN_FILE=$source/cmake/cross/debian-root.cmake -DVELMO_DEBIAN_ROOT=$name" \
         "-DVELMO_DEBIAN_ROOT_PATH=$sysroot -DVELMO_CROSS_PYTHON_VERSION=$v"
}

# Prints the folder that holds the test-only modules for interpreter $1: this
# full run's lane folder $3 (VELMO_SUITE_ON_WHEELS=1) when it holds them, else $4,
# where they are built from source tree $2; further arguments configure that
# build (a cross build's).
helpers_for() {
    local python=$1 source=$2 lane=$3 helpers=$4
    shift 4
    if [[ "${VELMO_SUITE_ON_WHEELS:-}" == 1 ]] && compgen -G "$lane/tests/peer/velmo_peer*.so" >/dev/null; then
        echo "$lane"
        return
    fi
    cmake -S "$source" -B "$helpers" -DPython3_EXECUTABLE="$python" -DVELMO_BUILD_BENCHMARKS=OFF "$@" >"$helpers.log" 2>&1 \
        && cmake --build "$helpers" --target velmo_peer -j"$(nproc)" >>"$helpers.log" 2>&1 \
        || { cat "$helpers.log" >&2; echo "build_dist: the test modules for $python failed" >&2; return 1; }
    echo "$helpers"
}

# Installs wheel $2 into a fresh venv $4 of interpreter $1 and runs velmo's
# Python suite (from source tree $3; with a seventh argument, the matrix's
# subset only) against it, with the test-only modules of helpers_for in $5:
# velmo_peer and velmo_sites (the failure sites' rows) installed beside velmo (a folder of its own ahead of
# site-packages on sys.path changes the allocations of `import velmo`, and the
# 3.14 import sweep then misses a failure site), the mismatch variant where
# VELMO_MISMATCH_DIR says; writes pytest's last line to $6. pytest and
# hypothesis come from Debian's dist-packages, as in CTest. Runs inside a
# foreign root as `build_dist.sh --test-installed ARGS...`.
test_installed() {
    local python=$1 wheel=$2 source=$3 venv=$4 helpers=$5 result=$6 subset_only=${7:-}
    local -a selected=("$source/tests/python")
    [[ -z "$subset_only" ]] || selected=("${subset[@]/#/$source/tests/python/}")
    rm -rf "$venv"
    local -a pip=("$venv/bin/python" -m pip)
    if [[ -n "${bare_venv:-}" ]]; then
        # Under emulation, a venv's own pip costs a minute to set up; pip
        # runs as well from Debian's wheel of it, which matches the root's
        # interpreter.
        "$python" -m venv --without-pip "$venv"
        pip=("$venv/bin/python" "$(ls /usr/share/python-wheels/pip-*.whl | head -n 1)/pip")
    else
        "$python" -m venv "$venv"
    fi
    "${pip[@]}" install -q --disable-pip-version-check --no-index --no-deps "$wheel"
    cp "$helpers"/tests/peer/velmo_{peer,sites}*.so "$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')/"
    local status=0
    # From the venv's folder: nothing of the source or build trees is importable
    # as velmo. check_dist.py installed: velmo comes from the venv, its version
    # read back from the wheel's metadata is pyproject.toml's.
    (cd "$venv" && env -u PYTHONPATH -u PYTHONHOME PYTHONDONTWRITEBYTECODE=1 \
        "$venv/bin/python" "$source/tests/package/check_dist.py" installed --source "$source" \
        && env PYTHONPATH=/usr/lib/python3/dist-packages PYTHONDONTWRITEBYTECODE=1 \
            VELMO_MISMATCH_DIR="$helpers/tests/mismatch" \
            "$venv/bin/python" -m pytest -q -p no:cacheprovider "${selected[@]}") >"$venv.log" 2>&1 || status=1
    if (( status )); then
        tail -n 40 "$venv.log" >&2
        echo "FAILED: $(tail -n 1 "$venv.log")" >"$result"
    else
        tail -n 1 "$venv.log" | sed 's/^=* *//; s/ *=*$//' >"$result"
    fi
    return "$status"
}

# Inside a foreign root: test_installed.
#   build_dist.sh --test-installed PYTHON WHEEL SOURCE VENV HELPERS RESULT [subset]
if [[ "${1:-}" == --test-installed ]]; then
    shift
    bare_venv=1
    test_installed "$@"
    exit
fi

# Inside the sid chroot: the host machine's wheels for the versions given and
# other machines' wheels for the VELMO_CROSS_WHEELS given
# (VERSION:SUITE/ARCH:ROOT, the root mounted at its path), then every wheel in
# raw/ tagged and shown by auditwheel.
#   build_dist.sh --in-sid DIR EPOCH VERSION...
if [[ "${1:-}" == --in-sid ]]; then
    dir=$2
    export SOURCE_DATE_EPOCH=$3
    shift 3
    for v in "$@"; do
        build_wheel "python$v" "$dir/build-venv-$v" "$dir/source" "$dir/raw" /usr/share/python-wheels
    done
    for spec in ${VELMO_CROSS_WHEELS:-}; do
        IFS=: read -r v name sysroot <<<"$spec"
        mapfile -t env_vars < <(cross_env "$name" "$v" "$sysroot" "$dir/source" "$dir/sysconfig-$v-${name#*/}")
        build_wheel "python$v" "$dir/build-venv-$v-${name#*/}" "$dir/source" "$dir/raw" /usr/share/python-wheels \
            "${env_vars[@]}"
    done
    mkdir -p "$dir/wheels" "$dir/report"
    for raw in "$dir"/raw/*.whl; do
        machine=$(basename "$raw" .whl | sed 's/.*-linux_//')
        # repair offers the policies of the machine it runs on only; for
        # another, it picks the oldest the wheel meets, which show confirms.
        plat="${policy_of[$machine]}"
        [[ "$machine" == "$(uname -m)" ]] || plat=auto
        auditwheel repair --plat "$plat" -w "$dir/wheels" "$raw" >"$dir/repair.log" 2>&1 \
            || { cat "$dir/repair.log" >&2; exit 1; }
    done
    for wheel in "$dir"/wheels/*.whl; do
        tag=$(basename "$wheel" | cut -d- -f3)
        machine=$(basename "$wheel" .whl | sed -E 's/.*manylinux_[0-9]+_[0-9]+_//')
        auditwheel show "$wheel" >"$dir/report/$tag-$machine.show" 2>&1
    done
    exit 0
fi

# Inside the sid chroot: its wheels of the versions given tested.
#   build_dist.sh --in-sid-test DIR VERSION...
if [[ "${1:-}" == --in-sid-test ]]; then
    dir=$2
    shift 2
    status=0
    for v in "$@"; do
        tag=cp${v/./}
        wheel="$(ls "$dir"/wheels/velmo-*-"$tag"-*_"$(uname -m)".whl)"
        helpers="$(helpers_for "python$v" "$dir/source" "/root/velmo/$(build_dir_for "$v")" "$dir/helpers-$v")" \
            && test_installed "python$v" "$wheel" "$dir/source" "$dir/test-venv-$v" "$helpers" \
                "$dir/report/$tag-$(uname -m).suite" || status=1
    done
    exit "$status"
fi

test=1
case "${1:-}" in
    "") ;;
    --no-test) test=0 ;;
    --check-reproducible)
        # Once here, tested, and again, untested, from a clean clone of this
        # checkout at another path (plus its uncommitted work, so that a clean
        # checkout is exactly a clean clone). The second build runs beside the
        # first, whose tests run a suite at a time and leave a core idle.
        check="$top/build-dist-check"
        rm -rf "$check"
        git clone -q --no-hardlinks "$top" "$check/clone"
        copy_tree "$check/clone"
        bash "$check/clone/scripts/build_dist.sh" --no-test >"$check/second.log" 2>&1 &
        second=$!
        status=0
        bash "$top/scripts/build_dist.sh" || status=1
        wait "$second" || { tail -n 40 "$check/second.log" >&2; status=1; }
        (cd "$top/dist" && sha256sum -- *) >"$check/first.sha256"
        (cd "$check/clone/dist" && sha256sum -- *) >"$check/second.sha256"
        echo "== Reproducibility: sha256 of this build and of a second one from a clean clone"
        join -a 1 -a 2 -e MISSING -o 0,1.1,2.1 -j 2 <(sort -k 2 "$check/first.sha256") <(sort -k 2 "$check/second.sha256") \
            | awk '{ printf "   %s\n     %s\n     %s %s\n", $1, $2, $3, ($2 == $3 ? "same" : "DIFFERENT") }'
        if ! cmp -s "$check/first.sha256" "$check/second.sha256"; then
            echo "build_dist: the two builds differ" >&2
            status=1
        fi
        (( status )) || echo "build_dist: both builds are byte-identical; dist/ holds them"
        exit "$status" ;;
    *) echo "usage: $0 [--no-test | --check-reproducible]" >&2; exit 2 ;;
esac

[[ "$(id -u)" == 0 ]] || { echo "build_dist: needs root, for the sid chroot that builds the newer versions and runs auditwheel" >&2; exit 1; }

# A clone, or else a tree without git of its own (an unpacked sdist, even
# inside another checkout).
if [[ -z "${SOURCE_DATE_EPOCH:-}" ]]; then
    if [[ "$(git rev-parse --show-toplevel 2>/dev/null)" -ef . ]]; then
        SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
    else
        SOURCE_DATE_EPOCH=$(stat -c %Y PKG-INFO)  # an unpacked sdist: every file has the epoch's time
    fi
fi
export SOURCE_DATE_EPOCH
echo "build_dist: SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH ($(date -u -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M:%S UTC'))"

mapfile -t sid_versions < <(bash scripts/sid_chroot.sh --versions | tr ' ' '\n')
host=()      # "<version> <interpreter>"
sid=()
for v in "${versions[@]}"; do
    found="$(cmake -DVELMO_PYTHON_VERSION="$v" -P cmake/FindVelmoPython.cmake)"
    if [[ -n "$found" ]]; then
        host+=("$found")
    elif printf '%s\n' "${sid_versions[@]}" | grep -qx "$v"; then
        sid+=("$v")
    else
        echo "build_dist: no CPython $v here or in the sid chroot: install it (pyenv install $v)" >&2
        exit 1
    fi
done
# Other machines' wheels: "<version> <root> <machine>" for each version that
# the roots of a row with a wheel policy carry (the first root that carries
# it), provisioned here when missing.
cross=()
while read -r m wheel roots _; do
    [[ "$wheel" != - ]] || continue
    for name in ${roots//,/ }; do
        bash scripts/debian_root.sh "$name" >/dev/null
        for v in $(bash scripts/debian_root.sh "$name" --versions); do
            printf '%s\n' "${cross[@]}" | grep -q "^$v [^ ]* $m$" || cross+=("$v $name $m")
        done
    done
done < <(foreign_machines)

work="$top/build-dist"
rm -rf "$work" "$top/dist"
mkdir -p "$work/tools" "$work/source" "$work/raw" "$work/report" "$top/dist"

# The toolchain: the sid chroot's setuptools and wheel, for every artefact.
bash scripts/sid_chroot.sh >/dev/null
sid_root="$(bash scripts/sid_chroot.sh --path)"
cp "$sid_root"/usr/share/python-wheels/{setuptools,wheel,packaging}-*.whl "$work/tools/"

copy_tree "$work/source"

# The sdist, with the oldest host interpreter, through setuptools' PEP 517
# hook (what `python -m build --sdist` calls); the wheels are built from it.
oldest="${host[0]#* }"
"$oldest" -m venv "$work/sdist-venv"
"$work/sdist-venv/bin/python" -m pip install -q --disable-pip-version-check --no-index \
    --find-links "$work/tools" --upgrade setuptools wheel
(cd "$work/source" && "$work/sdist-venv/bin/python" -c \
    'import sys; from setuptools import build_meta; build_meta.build_sdist(sys.argv[1])' "$top/dist") \
    >"$work/build-sdist.log" 2>&1 || { cat "$work/build-sdist.log" >&2; exit 1; }
sdist="$(ls "$top"/dist/velmo-*.tar.gz)"
mkdir "$work/unpacked"
tar -xzf "$sdist" -C "$work/unpacked"
unpacked="$(ls -d "$work"/unpacked/velmo-*)"

for run in "${host[@]}"; do
    echo "build_dist: the wheel for CPython ${run%% *}"
    build_wheel "${run#* }" "$work/build-venv-${run%% *}" "$unpacked" "$work/raw" "$work/tools"
done
# Other machines' wheels of the versions the host has, by its interpreters;
# the sid chroot makes the others, with its cross compilers.
cross_in_sid=()
sid_args=()
for entry in "${cross[@]}"; do
    read -r v name m <<<"$entry"
    sysroot="$(bash scripts/debian_root.sh "$name" --path)"
    python="$(printf '%s\n' "${host[@]}" | sed -n "s/^$v //p")"
    if [[ -n "$python" ]]; then
        echo "build_dist: the $m wheel for CPython $v (against $name)"
        mapfile -t env_vars < <(cross_env "$name" "$v" "$sysroot" "$unpacked" "$work/sysconfig-$v-${name#*/}")
        build_wheel "$python" "$work/build-venv-$v-${name#*/}" "$unpacked" "$work/raw" "$work/tools" "${env_vars[@]}"
    else
        cross_in_sid+=("$v:$name:$sysroot")
        sid_args+=(--bind "$sysroot" --with "g++-$(dpkg-architecture -a "${name#*/}" -qDEB_HOST_GNU_TYPE 2>/dev/null)")
    fi
done

# The chroot: its versions' wheels, auditwheel over every wheel, its tests.
id=$(printf '%s' "$top" | sha256sum | cut -c1-12)
inside="/root/velmo-dist-$id"
rm -rf "${sid_root:?}$inside"
mkdir -p "$sid_root$inside/raw"
cp -a "$unpacked" "$sid_root$inside/source"
cp "$work"/raw/*.whl "$sid_root$inside/raw/"
echo "build_dist: in the sid chroot: the wheels for ${sid[*]} (other machines: ${cross_in_sid[*]%%:*}), and auditwheel"
VELMO_CROSS_WHEELS="${cross_in_sid[*]}" bash scripts/sid_chroot.sh "${sid_args[@]}" -- \
    bash "$inside/source/scripts/build_dist.sh" --in-sid "$inside" "$SOURCE_DATE_EPOCH" "${sid[@]}"
cp "$sid_root$inside"/wheels/*.whl "$top/dist/"
cp "$sid_root$inside"/report/* "$sid_root$inside"/*.log "$work/report/"

# Each other machine's wheel in its root, under emulation (hypothesis
# without its deadlines), with test modules cross-compiled on the host:
# the whole suite where the row's suite says, else its subset.
test_other_machines() {
    local entry v name m tag scope wheel helpers t status=0
    local -A full_done=()
    for entry in "${cross[@]}"; do
        read -r v name m <<<"$entry"
        tag=cp${v/./}
        scope=subset
        if [[ "${suite_of[$m]}" == all || "${VELMO_FOREIGN_FULL:-}" == all || -z "${full_done[$m]:-}" ]]; then
            scope=""
        fi
        full_done[$m]=1
        wheel="$(ls "$top"/dist/velmo-*-"$tag"-*_"$m".whl)"
        echo "build_dist: testing the installed $m wheel for CPython $v in $name${scope:+ (the subset)}"
        t=$SECONDS
        helpers="$(helpers_for "/usr/bin/python$v" "$unpacked" "$top/build-${name#*/}-py$v" "$work/helpers-$v-$m" \
                -DCMAKE_TOOLCHAIN_FILE="$unpacked/cmake/cross/debian-root.cmake" -DVELMO_DEBIAN_ROOT="$name" \
                -DVELMO_CROSS_PYTHON_VERSION="$v")" \
            && VELMO_HYPOTHESIS_PROFILE=slow bash scripts/debian_root.sh "$name" --bind "$top" -- \
                bash "$unpacked/scripts/build_dist.sh" --test-installed "python$v" "$wheel" "$unpacked" \
                "$work/test-venv-$v-$m" "$helpers" "$work/report/$tag-$m.suite" $scope \
            || status=1
        echo "build_dist: the $m wheel for CPython $v tested in $((SECONDS - t)) s"
    done
    return "$status"
}

# The tests: pytest runs on one core, so the other machines' wheels, under
# emulation, are tested beside the host machine's, the sid chroot's and then
# the host's own.
status=0
if (( test )); then
    test_other_machines >"$work/other-machines.log" 2>&1 &
    others=$!
    echo "build_dist: testing the installed wheels for ${sid[*]} in the sid chroot"
    bash scripts/sid_chroot.sh -- bash "$inside/source/scripts/build_dist.sh" --in-sid-test "$inside" "${sid[@]}" \
        || status=1
    cp "$sid_root$inside"/report/*.suite "$work/report/" 2>/dev/null || true
    machine=$(uname -m)
    for run in "${host[@]}"; do
        v=${run%% *} tag=cp${run%% *}
        tag=${tag/./}
        wheel="$(ls "$top"/dist/velmo-*-"$tag"-*_"$machine".whl)"
        echo "build_dist: testing the installed wheel for CPython $v"
        helpers="$(helpers_for "${run#* }" "$unpacked" "$top/$(build_dir_for "$v")" "$work/helpers-$v")" \
            && test_installed "${run#* }" "$wheel" "$unpacked" "$work/test-venv-$v" "$helpers" \
                "$work/report/$tag-$machine.suite" || status=1
    done
    wait "$others" || status=1
    cat "$work/other-machines.log"
fi
rm -rf "${sid_root:?}$inside"

# What every artefact must be (tests/package/check_dist.py): the sdist holds
# what a clone holds; the metadata; the policy that auditwheel shows, on the
# host's machine for every version, on another for those its roots carry.
policies=()
for m in "${!policy_of[@]}"; do
    only="$(printf '%s\n' "${cross[@]}" | awk -v m="$m" '$3 == m { print $1 }' | paste -sd, -)"
    if [[ "$m" == "$(uname -m)" || -n "$only" ]]; then policies+=(--policy "${policy_of[$m]}${only:+=$only}"); fi
done
python3 "$top/tests/package/check_dist.py" artefacts --source "$work/source" --dist "$top/dist" \
    --report "$work/report" "${policies[@]}" --logs "$work" || status=1

echo "== dist/ (SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH)"
printf '| %s | %s | %s | %s | %s | %s |\n' version file bytes "auditwheel show" "installed suite" sha256 \
    --- --- ---: --- --- ---
for file in "$top"/dist/*; do
    name=$(basename "$file")
    if [[ "$name" == *.tar.gz ]]; then
        row=(sdist "-" "-")
    else
        tag=$(cut -d- -f3 <<<"$name")
        machine=$(sed -E 's/\.whl$//; s/.*manylinux_[0-9]+_[0-9]+_//' <<<"$name")
        shown=$(tr '\n' ' ' <"$work/report/$tag-$machine.show" | grep -o 'platform tag: "[^"]*"' | cut -d'"' -f2)
        suite=$(cat "$work/report/$tag-$machine.suite" 2>/dev/null || echo "not run")
        row=("${tag:2:1}.${tag:3} $machine" "${shown:-NONE}" "$suite")
    fi
    printf '| %s | %s | %s | %s | %s | %s |\n' "${row[0]}" "$name" "$(stat -c %s "$file")" "${row[1]}" \
        "${row[2]}" "$(sha256sum "$file" | cut -d' ' -f1)"
done
exit "$status"
