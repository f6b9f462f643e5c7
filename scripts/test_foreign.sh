#!/usr/bin/env bash
# Builds velmo for the other Linux machines of machines.txt (default: every
# row of this run with Debian roots but the host's; or the machines named,
# opt-in rows included) and checks it there, under emulation: each of the
# row's roots is provisioned (scripts/debian_root.sh), and velmo is
# cross-compiled on the host for every CPython version the roots carry
# (cmake/cross/debian-root.cmake: the root is the sysroot) into
# build-ARCH-py3.X/, with -Werror, with the test-only modules beside it.
# Every module's exports are checked. The Python suite runs where the row's
# `suite` says: for a machine with wheels, against each installed wheel in its
# root (scripts/build_dist.sh, which takes the test-only modules from here);
# for one without, here, against the build tree, in full on the versions that
# `suite` runs in full (VELMO_FOREIGN_FULL=all: on every version).
#
#   bash scripts/test_foreign.sh [MACHINE...]
# Prints one line per lane with its times; exits non-zero when any failed.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/matrix.sh"
cd "$top"

if (( $# )); then
    mapfile -t rows < <(awk -v named=" $* " 'NF == 5 && index(named, " " $1 " ") { print $1, $2, $3, $4 }' machines.txt)
    (( ${#rows[@]} == $# )) || { echo "test_foreign: machines.txt has no row for some of: $*" >&2; exit 2; }
else
    mapfile -t rows < <(foreign_machines)
fi
results=()
status=0
for row in "${rows[@]}"; do
    read -r machine wheel roots suite <<<"$row"
    # Whether the next version runs the suite here: a machine without wheels
    # runs it on its oldest version, or on every one (all, VELMO_FOREIGN_FULL=all).
    suite_here=0
    [[ "$wheel" != - || "$suite" == none ]] || suite_here=1
    declare -A built=()
    for name in ${roots//,/ }; do
        arch=${name#*/}
        t=$SECONDS
        if ! bash scripts/debian_root.sh "$name"; then
            results+=("$name FAILED: the root could not be provisioned ($((SECONDS - t)) s)")
            status=1
            continue
        fi
        results+=("$name provisioned or checked in $((SECONDS - t)) s")
        pkg="g++-$(dpkg-architecture -a "$arch" -qDEB_HOST_GNU_TYPE 2>/dev/null)"
        if ! command -v "${pkg#g++-}-g++" >/dev/null; then
            echo "test_foreign: installing $pkg on the host"
            DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$pkg" </dev/null \
                || { results+=("$name FAILED: no cross compiler ($pkg)"); status=1; continue; }
        fi
        for v in $(bash scripts/debian_root.sh "$name" --versions); do
            [[ -z "${built[$v]:-}" ]] || continue  # an earlier root of the row serves it
            built[$v]=1
            dir="build-$arch-py$v"
            lane="CPython $v on $machine ($name)"
            echo "== $lane in $dir/"
            t=$SECONDS
            mkdir -p "$dir"
            log="$dir/velmo-build.log"
            cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/cross/debian-root.cmake -DVELMO_DEBIAN_ROOT="$name" \
                -DVELMO_CROSS_PYTHON_VERSION="$v" -DVELMO_WARNINGS_AS_ERRORS=ON -DVELMO_BUILD_BENCHMARKS=OFF >"$log" 2>&1 \
                && cmake --build "$dir" -j"$(nproc)" --target velmo_peer >>"$log" 2>&1 \
                || { tail -n 30 "$log"; results+=("$lane FAILED to build ($((SECONDS - t)) s, $log)"); status=1; continue; }
            built_in=$((SECONDS - t))
            t=$SECONDS
            tests='^shipped_module$'
            what="the check of its exports"
            summary="the suite: against its installed wheel (scripts/build_dist.sh)"
            if (( suite_here )); then
                [[ "$suite" == all || "${VELMO_FOREIGN_FULL:-}" == all ]] || suite_here=0
                tests='^(shipped_module|python_tests)$'
                what="the Python suite and the check of its exports"
            elif [[ "$wheel" == - ]]; then
                summary="the suite: VELMO_FOREIGN_FULL=all"
            fi
            if ctest --test-dir "$dir" --output-on-failure -R "$tests" | tee "$dir/ctest.log"; then
                word=passed
            else
                word=FAILED
                status=1
            fi
            [[ "$tests" == '^shipped_module$' ]] || summary="$(grep -E '[0-9]+ (passed|failed).* in [0-9.]+s' \
                "$dir/Testing/Temporary/LastTest.log" | tail -n 1 | sed 's/^=* *//; s/ *=*$//' || true)"
            results+=("$lane $word: built in $built_in s, $what in $((SECONDS - t)) s: $summary")
        done
    done
    unset built
done

echo "== Foreign machines"
printf '   %s\n' "${results[@]}"
exit "$status"
