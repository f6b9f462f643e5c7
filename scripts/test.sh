#!/usr/bin/env bash
# Sets up what the tests need, then builds everything and runs every test of
# the test matrix (python_versions.txt by machines.txt). Each supported
# CPython that is installed gets a lane, one build directory per version:
# build/ for the oldest (the one scripts/demo.sh uses), build-py3.X/ for the
# others. The oldest must be there; other versions that are missing are named
# and skipped (scripts/test_sid.sh tests those newer than any the host has).
# Each debug interpreter (Py_DEBUG: python3.Xd, Debian's python3.X-dbg) gets
# a lane of its own in build-py3.Xd/: the module built for it, a debug build,
# and the Python suite with its leak hunt, run under the interpreter's own
# checks. In the full run a lane runs what needs the build tree (the C++
# suite, the checks of the sources, the build and the install routes); the
# Python suite runs once per interpreter, against its installed wheel, in the
# release step at the end. PYTHON=/path/to/python3.X runs that interpreter's
# lane only, with the Python suite against the build tree.
# `--quick` first: the quick lane alone (see below).
# Extra arguments go to ctest, e.g. `bash scripts/test.sh -R shipped_module`.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/matrix.sh"
cd "$top"

quick=0
if [[ "${1:-}" == --quick ]]; then
    quick=1
    shift
fi

# A build folder configured for another interpreter is configured afresh.
configure_afresh_if_other() {
    local cached
    cached="$(sed -n 's/^Python3_EXECUTABLE:[A-Z]*=//p' "$1/CMakeCache.txt" 2>/dev/null || true)"
    if [[ -n "$cached" && "$cached" != "$2" ]]; then
        echo "test.sh: $1/ was configured for $cached; configuring it afresh for $2"
        rm -rf "$1/CMakeCache.txt" "$1/CMakeFiles"
    fi
}

is_debug() {
    "$1" -c 'import sys, sysconfig; sys.exit(not sysconfig.get_config_var("Py_DEBUG"))' 2>/dev/null
}

# The quick lane (--quick), for a contributor who changed a line: one version,
# the newest listed one that the build's search finds (or PYTHON's), built
# without link-time optimisation and without the benchmarks in a folder of its
# own, build-quick-py3.X/ (so that a second run rebuilds only what changed and
# the full run's folders keep their settings). Every suite and check runs but
# what costs most and a change in the code seldom breaks: the install routes
# and the installed stub (a venv and pip builds of the whole tree), valgrind,
# headers_only, clang-tidy, the benchmark's answers, and of the allocation
# sweeps the user paths' and the mode that fails every allocation from the
# n-th on (the import and the failing call are swept failing one allocation at
# a time). Everything else (other versions, debug lanes, the sid chroot,
# Windows, the release artefacts) is the full run's. A debug interpreter's
# lane is already this short: PYTHON= one runs it as usual.
if (( quick )) && [[ -n "${PYTHON:-}" ]] && is_debug "$PYTHON"; then
    quick=0
fi
if (( quick )); then
    found=""
    if [[ -n "${PYTHON:-}" ]]; then
        found="$(cmake -P cmake/FindVelmoPython.cmake)"
    else
        for (( i = ${#versions[@]} - 1; i >= 0; i-- )); do
            found="$(cmake -DVELMO_PYTHON_VERSION="${versions[i]}" -P cmake/FindVelmoPython.cmake)"
            [[ -z "$found" ]] || break
        done
    fi
    if [[ -z "$found" ]]; then
        echo "test.sh: no CPython of python_versions.txt with its headers was found" >&2
        exit 1
    fi
    version="${found%% *}"
    python="${found#* }"
    dir="build-quick-py$version"
    bash scripts/install_test_deps.sh "$version"
    configure_afresh_if_other "$dir" "$python"
    echo "== CPython $version ($python) in $dir/: the quick lane"
    start=$SECONDS
    status=0
    cmake -S . -B "$dir" -DPython3_EXECUTABLE="$python" -DVELMO_WARNINGS_AS_ERRORS=ON \
            -DVELMO_LTO=OFF -DVELMO_BUILD_BENCHMARKS=OFF \
            ${VELMO_REQUIRE_CHECK_TOOLS:+-DVELMO_REQUIRE_CHECK_TOOLS="$VELMO_REQUIRE_CHECK_TOOLS"} \
        && cmake --build "$dir" -j"$(nproc)" \
        && PYTEST_ADDOPTS="${PYTEST_ADDOPTS:+$PYTEST_ADDOPTS }-k 'not fail-all-from and not user_path_under_memory'" \
            ctest --test-dir "$dir" --output-on-failure -j2 \
                -E '^(installed_package|installed_stub|valgrind_memcheck|headers_only|clang_tidy_.*)$' "$@" \
        || status=1
    echo "== Summary"
    echo "   $version quick lane $( ((status)) && echo FAILED || echo passed) ($((SECONDS - start)) s, $dir/);" \
         "the full run (bash scripts/test.sh) tests the rest"
    exit "$status"
fi

# The build's own search (cmake/FindVelmoPython.cmake) finds each interpreter:
# it prints "<major.minor> <interpreter>", or nothing when none is installed.
runs=()
absent=()
if [[ -n "${PYTHON:-}" ]]; then
    found="$(cmake -P cmake/FindVelmoPython.cmake)"  # says why, and fails, for an unusable PYTHON
    runs+=("$found")
else
    for version in "${versions[@]}"; do
        found="$(cmake -DVELMO_PYTHON_VERSION="$version" -P cmake/FindVelmoPython.cmake)"
        if [[ -n "$found" ]]; then
            runs+=("$found")
        else
            absent+=("$version")
        fi
    done
    if [[ "${absent[0]:-}" == "${versions[0]}" ]]; then
        echo "test.sh: no CPython ${versions[0]} with its headers was found;" \
             "install one (pyenv install ${versions[0]}) or name one with PYTHON=" >&2
        exit 1
    fi
fi

bash scripts/install_test_deps.sh "${runs[@]%% *}"

# An unpacked sdist (PKG-INFO, no git) is a distributor's tree: it tests the
# host's interpreters and leaves out the Debian roots, the Windows cross build
# and the release artefacts, which are the project's own.
in_sdist=0
if [[ -f PKG-INFO && ! "$(git rev-parse --show-toplevel 2>/dev/null)" -ef . ]]; then
    in_sdist=1
    if [[ -z "${PYTHON:-}" ]]; then
        echo "test.sh: an unpacked sdist: the Debian roots, the Windows cross build and the" \
             "release artefacts are left out; a clone of the repository runs them"
        absent+=("the Debian roots, the Windows cross build and the release artefacts (an unpacked sdist)")
    fi
fi
# The full run: every interpreter of a clone. With root and debootstrap (the
# Debian roots) its release step tests each interpreter's Python suite once,
# against the installed wheel, with the test-only modules its lanes built;
# the lanes, here and in the sid chroot, leave the suite to it.
full=0
[[ -n "${PYTHON:-}" ]] || (( in_sdist )) || full=1
roots_usable=0
[[ "$(id -u)" != 0 ]] || ! command -v debootstrap >/dev/null || roots_usable=1
if (( full && roots_usable )); then
    export VELMO_SUITE_ON_WHEELS=1
fi
mapfile -t foreign < <(foreign_machines)

# ---- Other machines: their Debian roots, provisioned in the background ----
# Bootstrapping and filling the roots of scripts/test_foreign.sh takes
# minutes, much of it waiting for the mirror, so it starts now, beside the
# host's lanes; the lanes below wait for it (scripts/debian_root.sh takes a
# lock per root).
if (( full && roots_usable )); then
    mkdir -p build-foreign
    (for row in "${foreign[@]}"; do
         read -r _ _ roots _ <<<"$row"
         for name in ${roots//,/ }; do
             bash scripts/debian_root.sh "$name" >"build-foreign/provision-${name/\//-}.log" 2>&1 || true
         done
     done) &
fi
# ---- end of the other machines' roots ----

results=()
status=0
# The debug interpreters, looked for once the dependencies (python3-dbg among
# them) are installed.
if [[ -z "${PYTHON:-}" ]]; then
    debug_found=0
    for version in "${versions[@]}"; do
        candidate="$(command -v "python${version}d" || true)"
        if [[ -n "$candidate" ]] && is_debug "$candidate" \
                && found="$(PYTHON="$candidate" cmake -P cmake/FindVelmoPython.cmake)"; then
            runs+=("$found")
            debug_found=1
        fi
    done
    if (( ! debug_found )); then
        if [[ "${VELMO_REQUIRE_CHECK_TOOLS:-}" == ON ]]; then
            results+=("debug lanes FAILED: no debug interpreter (python3-dbg) was found")
            status=1
        else
            absent+=("a debug interpreter (python3-dbg: the leak hunt)")
        fi
    fi
fi

for run in "${runs[@]}"; do
    version="${run%% *}"
    python="${run#* }"
    dir="$(build_dir_for "$version")"
    lane="$version"
    build_args=()
    # What the full run runs elsewhere, by its labels in tests/CMakeLists.txt:
    # the Python suite (against the wheels); for the oldest version the
    # install routes (from the unpacked sdist, at the end); for the others
    # clang-tidy, which reads the sources once, in the oldest version's lane
    # (whose build compiles the most backports of common/python_compat.h).
    ctest_args=()
    [[ "${VELMO_SUITE_ON_WHEELS:-}" != 1 ]] || ctest_args=(-LE '^python_suite$')
    if (( full && roots_usable )) && [[ "$version" == "${versions[0]}" ]]; then
        ctest_args=(-LE '^(python_suite|install_routes)$')
    elif (( full && roots_usable )); then
        ctest_args=(-LE '^(python_suite|lint)$')
    fi
    if is_debug "$python"; then
        # What the Python suite imports: the module, the peer extension (which
        # depends on the module and its mismatch variant).
        dir="build-py${version}d"
        lane="$version debug"
        build_args=(--target velmo_peer)
        ctest_args=(-R '^python_tests$')
    fi
    configure_afresh_if_other "$dir" "$python"
    echo "== CPython $lane ($python) in $dir/"
    start=$SECONDS
    # VELMO_REQUIRE_CHECK_TOOLS=ON (set by .ci/run) makes the checks whose
    # tools are missing fail instead of being skipped.
    if cmake -S . -B "$dir" -DPython3_EXECUTABLE="$python" -DVELMO_WARNINGS_AS_ERRORS=ON \
            ${VELMO_REQUIRE_CHECK_TOOLS:+-DVELMO_REQUIRE_CHECK_TOOLS="$VELMO_REQUIRE_CHECK_TOOLS"} \
        && cmake --build "$dir" -j"$(nproc)" "${build_args[@]}" \
        && ctest --test-dir "$dir" --output-on-failure -j2 "${ctest_args[@]}" "$@"; then
        results+=("$lane passed ($((SECONDS - start)) s, $dir/)")
    else
        results+=("$lane FAILED ($((SECONDS - start)) s, $dir/)")
        status=1
    fi
done

# Whether the Debian roots can be used (they need root and debootstrap); if
# not, says that `what` is left out, which fails the run under
# VELMO_REQUIRE_CHECK_TOOLS=ON.
can_use_roots() {
    (( roots_usable )) && return 0
    echo "test.sh: the Debian roots need root and debootstrap; $1 left out" >&2
    if [[ "${VELMO_REQUIRE_CHECK_TOOLS:-}" == ON ]]; then
        results+=("$1 FAILED: no root or no debootstrap for the Debian roots")
        status=1
    else
        absent+=("$1 (the Debian roots need root and debootstrap)")
    fi
    return 1
}

# The listed versions newer than any the host has, in a Debian sid chroot
# (provisioned on the first run: minutes and 1.5 GB).
sid_versions="$( (( ! full )) || bash scripts/sid_chroot.sh --versions)"
if [[ -n "$sid_versions" ]]; then
    sid_names="${sid_versions// /, }"
    echo "== CPython $sid_names in a Debian sid chroot"
    start=$SECONDS
    if ! can_use_roots "$sid_names"; then
        :  # left out, as can_use_roots said
    elif bash scripts/test_sid.sh "$@"; then
        results+=("$sid_names passed ($((SECONDS - start)) s, in the sid chroot)")
        if (( ${#absent[@]} )); then
            mapfile -t absent < <(printf '%s\n' "${absent[@]}" | grep -vxF -f <(tr ' ' '\n' <<<"$sid_versions"))
        fi
    else
        results+=("$sid_names FAILED ($((SECONDS - start)) s, in the sid chroot)")
        status=1
    fi
fi

# ---- Other machines, under emulation (scripts/test_foreign.sh) ----
# velmo cross-compiled for each other Linux machine of machines.txt against
# its Debian roots and checked there; their Python suites run against their
# wheels in the release step below (or, for a machine without wheels, there).
if (( full && ${#foreign[@]} )); then
    names="$(printf '%s\n' "${foreign[@]%% *}" | paste -sd, - | sed 's/,/, /g')"
    echo "== $names under emulation (scripts/test_foreign.sh)"
    start=$SECONDS
    if ! can_use_roots "$names under emulation"; then
        :  # left out, as can_use_roots said
    elif mkdir -p build-foreign && bash scripts/test_foreign.sh | tee build-foreign/lanes.log; then
        results+=("$names passed ($((SECONDS - start)) s, build-ARCH-py3.X/):")
    else
        results+=("$names FAILED ($((SECONDS - start)) s, build-foreign/lanes.log):")
        status=1
    fi
    mapfile -t -O "${#results[@]}" results < <(sed -n '/^== Foreign machines$/,$ { /^   /s/^   /     /p }' build-foreign/lanes.log 2>/dev/null)
fi
# ---- end of the other machines ----

# The Windows module, cross-compiled for every version and inspected.
if (( full )) && printf '%s\n' "${machines[@]}" | grep -q '^win_amd64 '; then
    echo "== Windows x64 cross build"
    start=$SECONDS
    if bash scripts/build_windows.sh; then
        results+=("Windows cross build passed ($((SECONDS - start)) s, build-windows-py3.X/)")
    else
        results+=("Windows cross build FAILED ($((SECONDS - start)) s)")
        status=1
    fi
fi

# Whether every file of the unpacked sdist $1 is byte for byte this tree's
# (setuptools' own PKG-INFO, setup.cfg and egg-info aside); build_dist.sh's
# check_dist.py has compared the names already.
sdist_holds_this_tree() {
    local file status=0
    while IFS= read -r -d '' file; do
        cmp -s "$1/$file" "$file" || { echo "test.sh: the sdist's $file differs from this tree's" >&2; status=1; }
    done < <(cd "$1" && find . -type f ! -path './velmo.egg-info/*' ! -name PKG-INFO ! -path ./setup.cfg -print0)
    return "$status"
}

# The release artefacts (scripts/build_dist.sh): the sdist and every wheel,
# each installed into a fresh venv and tested there (this run's Python suite
# of each interpreter), then made a second time from a clean clone, untested,
# and compared byte for byte; then the test command run in the unpacked sdist,
# for the oldest version: it builds everything there, and of the tests runs
# those whose outcome depends on the tree being an sdist rather than a clone,
# the install routes that the oldest lane left to it (installed_package,
# which copies the tree without git and builds an sdist and a wheel from it,
# and installed_stub, which reads the stub installed there). The others test
# the same bytes as the oldest lane above, with the same interpreter and
# compiler, once sdist_holds_this_tree has shown that the files are the same.
if (( full )); then
    echo "== Release artefacts (scripts/build_dist.sh), each wheel tested installed; built again and compared; the tests run from the sdist"
    start=$SECONDS
    sdist_tree=build-dist-check/sdist
    if ! can_use_roots "the release artefacts and the installed wheels' Python suites"; then
        :  # left out, as can_use_roots said
    elif bash scripts/build_dist.sh --check-reproducible | tee build-dist.log \
            && rm -rf "$sdist_tree" && mkdir -p "$sdist_tree" \
            && tar -xzf dist/velmo-*.tar.gz -C "$sdist_tree" --strip-components=1 \
            && sdist_holds_this_tree "$sdist_tree" \
            && PYTHON="${runs[0]#* }" bash "$sdist_tree/scripts/test.sh" -L '^install_routes$'; then
        results+=("release artefacts passed: each wheel's suite, byte-identical twice, the sdist's tests ($((SECONDS - start)) s, dist/):")
    else
        results+=("release artefacts FAILED ($((SECONDS - start)) s, build-dist.log, build-dist-check/):")
        status=1
    fi
    mapfile -t -O "${#results[@]}" results < <(awk '/^== dist\// { n++ } n == 1 && /^\| [0-9]/ { print "  " $0 }' build-dist.log 2>/dev/null)
fi

echo "== Summary"
for line in "${results[@]}"; do
    echo "   $line"
done
if (( ${#absent[@]} )); then
    echo "   not installed, not tested: ${absent[*]}"
fi
exit "$status"
