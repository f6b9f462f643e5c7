#!/usr/bin/env bash
# Makes velmo's release artefacts in dist/: the sdist and one manylinux wheel
# per supported version (python_versions.txt), the host's interpreters for
# the versions it has and the Debian sid chroot (scripts/sid_chroot.sh) for
# the newer ones (sid_chroot.sh --versions). Each wheel is built from the sdist, tagged and checked by
# `auditwheel repair --plat manylinux_2_5_x86_64` and `auditwheel show`
# (the sid chroot's), installed into a fresh venv of its own interpreter, and
# velmo's Python suite runs against that installed module, not a build tree.
# Ends with a table per version: wheel, size, policy, suite, sha256.
#
#   bash scripts/build_dist.sh                        # everything, into dist/
#   bash scripts/build_dist.sh --no-test              # the artefacts only
#   bash scripts/build_dist.sh --check-reproducible   # twice, from two clones; byte-identical or fail
#
# Reproducible: SOURCE_DATE_EPOCH (default: the last commit's time; in an
# unpacked sdist, its files' time) fixes every timestamp, so two runs from
# clean clones of one commit give the same bytes. One toolchain builds every
# artefact: the sid chroot's setuptools and wheel (PEP 639 licence metadata),
# installed into each interpreter's build venv offline, and the host's or the
# chroot's compiler. Needs root, for the chroot. Works in build-dist/ (host)
# and /root/velmo-dist-<id> (chroot), which it empties first.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
top=$PWD
policy=manylinux_2_5_x86_64

# Builds a wheel of the unpacked sdist $3 with interpreter $1 into $4, in a
# build venv $2 that holds the toolchain's setuptools and wheel from $5.
build_wheel() {
    local python=$1 venv=$2 source=$3 out=$4 tools=$5
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-index --find-links "$tools" \
        --upgrade setuptools wheel
    # -v: the log holds setuptools' own output, warnings included.
    (cd "$source" && "$venv/bin/python" -m pip wheel -v --disable-pip-version-check --no-index \
        --no-build-isolation --no-deps -w "$out" .) >"$venv.log" 2>&1 \
        || { cat "$venv.log" >&2; echo "build_dist: the wheel for $python failed" >&2; return 1; }
}

# Installs wheel $2 into a fresh venv $4 of interpreter $1 and runs velmo's
# Python suite (from source tree $3) against it, with the test-only modules
# built into $5: velmo_peer installed beside velmo (a folder of its own ahead
# of site-packages on sys.path changes the allocations of `import velmo`, and
# the 3.14 import sweep then misses a failure site), the mismatch variant
# where VELMO_MISMATCH_DIR says; writes pytest's last line to $6. pytest and
# hypothesis come from Debian's dist-packages, as in CTest.
test_wheel() {
    local python=$1 wheel=$2 source=$3 venv=$4 helpers=$5 result=$6
    cmake -S "$source" -B "$helpers" -DPython3_EXECUTABLE="$python" -DVELMO_BUILD_BENCHMARKS=OFF >"$helpers.log" 2>&1 \
        && cmake --build "$helpers" --target velmo_peer -j"$(nproc)" >>"$helpers.log" 2>&1 \
        || { cat "$helpers.log" >&2; echo "build_dist: the test modules for $python failed" >&2; return 1; }
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-index --no-deps "$wheel"
    cp "$helpers"/tests/peer/velmo_peer*.so "$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')/"
    local status=0
    # From the venv's folder: nothing of the source or build trees is importable
    # as velmo. check_dist.py installed: velmo comes from the venv, its version
    # read back from the wheel's metadata is pyproject.toml's.
    (cd "$venv" && env -u PYTHONPATH -u PYTHONHOME PYTHONDONTWRITEBYTECODE=1 \
        "$venv/bin/python" "$source/tests/package/check_dist.py" installed --source "$source" \
        && env PYTHONPATH=/usr/lib/python3/dist-packages PYTHONDONTWRITEBYTECODE=1 \
            VELMO_MISMATCH_DIR="$helpers/tests/mismatch" \
            "$venv/bin/python" -m pytest -q -p no:cacheprovider "$source/tests/python") >"$venv.log" 2>&1 || status=1
    if (( status )); then
        tail -n 40 "$venv.log" >&2
        echo "FAILED: $(tail -n 1 "$venv.log")" >"$result"
    else
        tail -n 1 "$venv.log" | sed 's/^=* *//; s/ *=*$//' >"$result"
    fi
    return "$status"
}

# Inside the sid chroot: wheels for the versions given, then every wheel in
# raw/ tagged and shown by auditwheel, then the chroot's wheels tested.
#   build_dist.sh --in-sid DIR EPOCH TEST VERSION...
if [[ "${1:-}" == --in-sid ]]; then
    dir=$2 test=$4
    export SOURCE_DATE_EPOCH=$3
    shift 4
    status=0
    for v in "$@"; do
        build_wheel "python$v" "$dir/build-venv-$v" "$dir/source" "$dir/raw" /usr/share/python-wheels
    done
    mkdir -p "$dir/wheels" "$dir/report"
    for raw in "$dir"/raw/*.whl; do
        auditwheel repair --plat "$policy" -w "$dir/wheels" "$raw" >"$dir/repair.log" 2>&1 \
            || { cat "$dir/repair.log" >&2; exit 1; }
    done
    for wheel in "$dir"/wheels/*.whl; do
        tag=$(basename "$wheel" | cut -d- -f3)
        auditwheel show "$wheel" >"$dir/report/$tag.show" 2>&1
    done
    for v in "$@"; do
        tag=cp${v/./}
        (( test )) || continue
        test_wheel "python$v" "$(ls "$dir"/wheels/velmo-*-"$tag"-*.whl)" "$dir/source" "$dir/test-venv-$v" \
            "$dir/helpers-$v" "$dir/report/$tag.suite" || status=1
    done
    exit "$status"
fi

test=1
case "${1:-}" in
    "") ;;
    --no-test) test=0 ;;
    --check-reproducible)
        # Two clones of this checkout at different paths (plus its uncommitted
        # work, so that a clean checkout is exactly a clean clone), one run each.
        check="$top/build-dist-check"
        rm -rf "$check"
        for side in a b; do
            git clone -q --no-hardlinks "$top" "$check/$side"
            git ls-files -z --cached --others --exclude-standard \
                | while IFS= read -r -d '' f; do [[ -e "$f" ]] && printf '%s\0' "$f"; done \
                | tar --null -T - -cf - | tar -xpf - -C "$check/$side"
        done
        bash "$check/a/scripts/build_dist.sh"
        bash "$check/b/scripts/build_dist.sh" --no-test
        (cd "$check/a/dist" && sha256sum -- *) >"$check/a.sha256"
        (cd "$check/b/dist" && sha256sum -- *) >"$check/b.sha256"
        echo "== Reproducibility: sha256 of two builds from clean clones"
        join -j 2 <(sort -k 2 "$check/a.sha256") <(sort -k 2 "$check/b.sha256") \
            | awk '{ printf "   %s\n     %s\n     %s %s\n", $1, $2, $3, ($2 == $3 ? "same" : "DIFFERENT") }'
        if ! cmp -s "$check/a.sha256" "$check/b.sha256"; then
            echo "build_dist: the two builds differ" >&2
            exit 1
        fi
        rm -rf "$top/dist"
        cp -r "$check/a/dist" "$top/dist"
        echo "build_dist: both builds are byte-identical; dist/ holds them"
        exit 0 ;;
    *) echo "usage: $0 [--no-test | --check-reproducible]" >&2; exit 2 ;;
esac

[[ "$(id -u)" == 0 ]] || { echo "build_dist: needs root, for the sid chroot that builds the newer versions and runs auditwheel" >&2; exit 1; }

# A clone, or else a tree without git of its own (an unpacked sdist, even
# inside another checkout).
clone=0
if [[ "$(git rev-parse --show-toplevel 2>/dev/null)" -ef . ]]; then clone=1; fi
if [[ -z "${SOURCE_DATE_EPOCH:-}" ]]; then
    if (( clone )); then
        SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
    else
        SOURCE_DATE_EPOCH=$(stat -c %Y PKG-INFO)  # an unpacked sdist: every file has the epoch's time
    fi
fi
export SOURCE_DATE_EPOCH
echo "build_dist: SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH ($(date -u -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M:%S UTC'))"

mapfile -t versions < <(grep -E '^[0-9]+\.[0-9]+$' python_versions.txt)
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

work="$top/build-dist"
rm -rf "$work" "$top/dist"
mkdir -p "$work/tools" "$work/source" "$work/raw" "$work/report" "$top/dist"

# The toolchain: the sid chroot's setuptools and wheel, for every artefact.
bash scripts/sid_chroot.sh >/dev/null
sid_root="${VELMO_SID_ROOT:-${XDG_CACHE_HOME:-$HOME/.cache}/velmo-sid}"
cp "$sid_root"/usr/share/python-wheels/{setuptools,wheel,packaging}-*.whl "$work/tools/"

# What a clean clone holds, plus uncommitted work (without git: the tree less
# build output).
if (( clone )); then
    git ls-files -z --cached --others --exclude-standard \
        | while IFS= read -r -d '' f; do [[ -e "$f" ]] && printf '%s\0' "$f"; done \
        | tar --null -T - -cf - | tar -xpf - -C "$work/source"
else
    tar --exclude='./build*' --exclude='./dist' --exclude='*.so' -cf - . | tar -xpf - -C "$work/source"
fi

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

# The chroot: its versions' wheels, auditwheel over every wheel, its tests.
id=$(printf '%s' "$top" | sha256sum | cut -c1-12)
inside="/root/velmo-dist-$id"
rm -rf "${sid_root:?}$inside"
mkdir -p "$sid_root$inside/raw"
cp -a "$unpacked" "$sid_root$inside/source"
cp "$work"/raw/*.whl "$sid_root$inside/raw/"
echo "build_dist: in the sid chroot: the wheels for ${sid[*]}, auditwheel, and their tests"
status=0
bash scripts/sid_chroot.sh -- bash "$inside/source/scripts/build_dist.sh" --in-sid "$inside" "$SOURCE_DATE_EPOCH" \
    "$test" "${sid[@]}" || status=1
cp "$sid_root$inside"/wheels/*.whl "$top/dist/"
cp "$sid_root$inside"/report/* "$sid_root$inside"/*.log "$work/report/"
rm -rf "${sid_root:?}$inside"

if (( test )); then
    for run in "${host[@]}"; do
        v=${run%% *} tag=cp${run%% *}
        tag=${tag/./}
        echo "build_dist: testing the installed wheel for CPython $v"
        test_wheel "${run#* }" "$(ls "$top"/dist/velmo-*-"$tag"-*.whl)" "$unpacked" "$work/test-venv-$v" \
            "$work/helpers-$v" "$work/report/$tag.suite" || status=1
    done
fi

# What every artefact must be (tests/package/check_dist.py): the sdist holds
# what a clone holds; the metadata; the policy that auditwheel shows.
python3 "$top/tests/package/check_dist.py" artefacts --source "$work/source" --dist "$top/dist" \
    --report "$work/report" --policy "$policy" --logs "$work" || status=1

echo "== dist/ (SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH)"
printf '| %s | %s | %s | %s | %s | %s |\n' version file bytes "auditwheel show" "installed suite" sha256 \
    --- --- ---: --- --- ---
for file in "$top"/dist/*; do
    name=$(basename "$file")
    if [[ "$name" == *.tar.gz ]]; then
        row=(sdist "-" "-")
    else
        tag=$(cut -d- -f3 <<<"$name")
        shown=$(tr '\n' ' ' <"$work/report/$tag.show" | grep -o 'platform tag: "[^"]*"' | cut -d'"' -f2)
        suite=$(cat "$work/report/$tag.suite" 2>/dev/null || echo "not run")
        row=("${tag:2:1}.${tag:3}" "${shown:-NONE}" "$suite")
    fi
    printf '| %s | %s | %s | %s | %s | %s |\n' "${row[0]}" "$name" "$(stat -c %s "$file")" "${row[1]}" \
        "${row[2]}" "$(sha256sum "$file" | cut -d' ' -f1)"
done
exit "$status"
