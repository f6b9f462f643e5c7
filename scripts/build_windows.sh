#!/usr/bin/env bash
# Cross-compiles velmo for 64-bit Windows with MinGW-w64, with the project's
# strict warnings as errors, and inspects each module it makes (CTest
# `windows_module`: what it imports and exports). Nothing is run: no Windows
# interpreter is to be had here.
#
#   bash scripts/build_windows.sh              # for every supported CPython installed here
#   bash scripts/build_windows.sh PYTHON...    # for these: interpreters, or folders holding Python.h
#
# Only the headers of the interpreter are used (its pyconfig.h replaced by
# cmake/windows/pyconfig.h), so a Linux installation of the same version
# serves, and so does a bare include folder. One build directory per version,
# build-windows-py3.X/; the summary gives the path of each module made.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/matrix.sh"
cd "$top"
packages=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64)

if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null || ! command -v x86_64-w64-mingw32-dlltool >/dev/null; then
    if [[ "$(id -u)" == 0 ]] && command -v apt-get >/dev/null; then
        export DEBIAN_FRONTEND=noninteractive
        apt-get install -y "${packages[@]}" </dev/null \
            || { apt-get update && apt-get install -y "${packages[@]}" </dev/null; }
    else
        echo "build_windows.sh: MinGW-w64 not found; install ${packages[*]} (as root)." \
             "Skipped: no Windows build was made." >&2
        # CI (.ci/run) fails rather than skips, as for the other checks' tools.
        [[ "${VELMO_REQUIRE_CHECK_TOOLS:-}" == ON ]] && exit 1
        exit 0
    fi
fi

# The folder of Python.h for an interpreter or for a folder named.
headers_of() {
    if [[ -f "$1/Python.h" ]]; then
        echo "$1"
    else
        "$1" -c 'import sysconfig; print(sysconfig.get_paths()["include"])'
    fi
}

targets=()
absent=()
if (( $# )); then
    for named in "$@"; do
        targets+=("$(headers_of "$named")")
    done
else
    # The build's own search finds each version's interpreter, as for the tests.
    for version in "${versions[@]}"; do
        found="$(cmake -DVELMO_PYTHON_VERSION="$version" -P cmake/FindVelmoPython.cmake)"
        # Versions Debian 12 lacks have their headers in the sid chroot of
        # scripts/sid_chroot.sh, once scripts/test_sid.sh has made it.
        sid_headers="$(bash scripts/sid_chroot.sh --path)/usr/include/python$version"
        if [[ -n "$found" ]]; then
            targets+=("$(headers_of "${found#* }")")
        elif [[ -f "$sid_headers/Python.h" ]]; then
            targets+=("$sid_headers")
        else
            absent+=("$version")
        fi
    done
    if (( ! ${#targets[@]} )); then
        echo "build_windows.sh: no supported CPython (${versions[*]}) found to take the headers from;" \
             "name an interpreter or a folder holding Python.h" >&2
        exit 1
    fi
fi

results=()
status=0
for headers in "${targets[@]}"; do
    minor="$(sed -n 's/^#define[[:space:]]*PY_MINOR_VERSION[[:space:]]*\([0-9]*\).*/\1/p' "$headers/patchlevel.h")"
    dir="build-windows-py3.$minor"
    echo "== Windows x64, CPython 3.$minor headers from $headers, in $dir/"
    if cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/windows/mingw-w64-x86_64.cmake \
            -DVELMO_WINDOWS_PYTHON_INCLUDE_DIR="$headers" -DVELMO_WARNINGS_AS_ERRORS=ON \
        && cmake --build "$dir" -j"$(nproc)" \
        && ctest --test-dir "$dir" --output-on-failure; then
        results+=("3.$minor passed: $(ls "$PWD/$dir"/velmo.cp3*-win_amd64.pyd)")
    else
        results+=("3.$minor FAILED ($dir/)")
        status=1
    fi
done

echo "== Summary"
printf '   %s\n' "${results[@]}"
(( ! ${#absent[@]} )) || echo "   not installed, not built: ${absent[*]}"
exit "$status"
