#!/usr/bin/env bash
# Builds velmo for other machines and tests it on them, under emulation: each
# Debian root named (scripts/debian_root.sh; default: bookworm/arm64 and
# sid/arm64, and bookworm/s390x with VELMO_S390X=ON) is provisioned, velmo
# is cross-compiled on the host for every CPython version the root carries
# (cmake/cross/debian-root.cmake: the root is the sysroot) into
# build-ARCH-py3.X/, with -Werror, and the modules are run inside the root.
#
# The Python suite, which takes minutes under emulation, runs in full on one
# version per architecture, the first root's oldest (VELMO_FOREIGN_FULL=all:
# on every version); every other version is built and its module's exports
# checked, and scripts/build_dist.sh (README's test command runs it next)
# runs the smoke subset of the suite against each aarch64 wheel, installed in
# its root.
#
#   bash scripts/test_foreign.sh [SUITE/ARCH...]
# Prints one line per lane with its times; exits non-zero when any failed.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

roots=("$@")
if (( ! ${#roots[@]} )); then
    roots=(bookworm/arm64 sid/arm64)
    [[ "${VELMO_S390X:-}" != ON ]] || roots+=(bookworm/s390x)
fi
declare -A triplet=([arm64]=aarch64-linux-gnu [s390x]=s390x-linux-gnu [ppc64el]=powerpc64le-linux-gnu
                    [riscv64]=riscv64-linux-gnu [armhf]=arm-linux-gnueabihf)
declare -A full_done=()
results=()
status=0
for name in "${roots[@]}"; do
    arch=${name#*/}
    t=$SECONDS
    if ! bash scripts/debian_root.sh "$name"; then
        results+=("$name FAILED: the root could not be provisioned ($((SECONDS - t)) s)")
        status=1
        continue
    fi
    results+=("$name provisioned or checked in $((SECONDS - t)) s")
    compiler="${triplet[$arch]:-}-g++"
    if ! command -v "$compiler" >/dev/null; then
        pkg="g++-${triplet[$arch]:-$arch}"
        echo "test_foreign: installing $pkg on the host"
        DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$pkg" </dev/null \
            || { results+=("$name FAILED: no cross compiler ($pkg)"); status=1; continue; }
    fi
    read -r -a versions <<<"$(bash scripts/debian_root.sh "$name" --versions)"
    for v in "${versions[@]}"; do
        dir="build-$arch-py$v"
        lane="CPython $v on $arch ($name)"
        echo "== $lane in $dir/"
        t=$SECONDS
        mkdir -p "$dir"
        log="$dir/velmo-build.log"
        cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/cross/debian-root.cmake -DVELMO_DEBIAN_ROOT="$name" \
            -DVELMO_CROSS_PYTHON_VERSION="$v" -DVELMO_WARNINGS_AS_ERRORS=ON -DVELMO_BUILD_BENCHMARKS=OFF >"$log" 2>&1 \
            && cmake --build "$dir" -j"$(nproc)" --target velmo_peer >>"$log" 2>&1 \
            || { tail -n 30 "$log"; results+=("$lane FAILED to build ($((SECONDS - t)) s, $log)"); status=1; continue; }
        built=$((SECONDS - t))
        t=$SECONDS
        if [[ "${VELMO_FOREIGN_FULL:-}" == all || -z "${full_done[$arch]:-}" ]]; then
            full_done[$arch]=1
            what="the Python suite"
            ok=0
            ctest --test-dir "$dir" --output-on-failure | tee "$dir/ctest.log" || ok=1
            summary="$(grep -E '[0-9]+ (passed|failed).* in [0-9.]+s' "$dir/Testing/Temporary/LastTest.log" \
                       | tail -n 1 | sed 's/^=* *//; s/ *=*$//' || true)"
        else
            what="the check of its exports"
            ok=0
            ctest --test-dir "$dir" --output-on-failure -R '^shipped_module$' || ok=1
            summary="the suite: VELMO_FOREIGN_FULL=all; the installed wheel: scripts/build_dist.sh"
        fi
        if (( ok == 0 )); then
            results+=("$lane passed: built in $built s, $what in $((SECONDS - t)) s: $summary")
        else
            results+=("$lane FAILED: built in $built s, $what in $((SECONDS - t)) s: $summary")
            status=1
        fi
    done
done

echo "== Foreign machines"
printf '   %s\n' "${results[@]}"
exit "$status"
