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

rows=()
if (( $# )); then
    for m in "$@"; do
        row="$(awk -v m="$m" '$1 == m { print $1, $2, $3, $4 }' machines.txt)"
        [[ -n "$row" ]] || { echo "test_foreign: no row for $m in machines.txt" >&2; exit 2; }
        rows+=("$row")
    done
else
    mapfile -t rows < <(foreign_machines)
fi
declare -A triplet=([arm64]=aarch64-linux-gnu [s390x]=s390x-linux-gnu [ppc64el]=powerpc64le-linux-gnu
                    [riscv64]=riscv64-linux-gnu [armhf]=arm-linux-gnueabihf [i386]=i686-linux-gnu)
results=()
status=0
for row in "${rows[@]}"; do
    read -r machine wheel roots suite <<<"$row"
    full_done=""
    [[ "$suite" == all || "${VELMO_FOREIGN_FULL:-}" == all ]] && full_done=never
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
        if ! command -v "${triplet[$arch]:-}-g++" >/dev/null; then
            pkg="g++-${triplet[$arch]:-$arch}"
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
            if [[ "$wheel" == - && "$suite" != none && "$full_done" != done ]]; then
                [[ "$full_done" == never ]] || full_done=done
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
