#!/usr/bin/env bash
# Installs what the build and the tests need, when it is missing and we are
# root; otherwise names the missing packages.
#   bash scripts/install_test_deps.sh [VERSION...]   # the versions to be tested (default: all listed)
# pytest and hypothesis come from Debian and run under every supported
# version from this folder. Under 3.10 they need exceptiongroup and tomli
# there too (the standard library has both from 3.11 on), which Debian
# releases after 12 no longer carry, so they are wanted only for 3.10.
set -euo pipefail

(( $# )) || set -- $(grep -E '^[0-9]+\.[0-9]+$' "$(dirname "${BASH_SOURCE[0]}")/../python_versions.txt")
dist=/usr/lib/python3/dist-packages
mods=(pytest hypothesis)
if [[ " $* " == *" 3.10 "* ]]; then
    mods+=(exceptiongroup tomli)
fi
debs=("${mods[@]/#/python3-}")
missing=0
for mod in "${mods[@]}"; do
    [[ -e "$dist/$mod/__init__.py" ]] || missing=1
done
# The build's and every check's tools, as Debian packages. A check whose tool
# is missing is skipped (and fails under VELMO_REQUIRE_CHECK_TOOLS=ON, as in
# CI); the module itself needs only cmake, g++ and the interpreter's headers.
#   libgtest-dev: the C++ tests          libbenchmark-dev: velmo_bench
#   binutils: shipped_module             clang-format, clang-tidy: the lint
#   valgrind: valgrind_memcheck          mypy, python3-mypy: the stub checks, python_mypy
#   pyflakes3: python_pyflakes (the tests' and the bench's Python)
#   python3-dev, python3-venv: headers_only (Debian's python3 is linked statically)
#   python3-dbg: a debug interpreter, whose lane runs the Python suite and the leak hunt
#   python3-build: installed_package's sdist and the wheel built from it
#   python3-setuptools-whl, python3-wheel-whl: its offline venv on 3.10, 3.11
#   g++-mingw-w64-x86-64-posix, binutils-mingw-w64-x86-64: the Windows cross build
#   debootstrap: the Debian roots (scripts/debian_root.sh): the sid chroot that holds
#     the versions newer than the host's, and those of other machines; ca-certificates:
#     the CA bundle that pip in a foreign root needs to start
#   qemu-user-static, g++-aarch64-linux-gnu: aarch64 (scripts/test_foreign.sh, the
#     aarch64 wheels), and g++-s390x-linux-gnu for s390x with VELMO_S390X=ON (test_foreign.sh
#     installs the cross compiler of any other machine of machines.txt itself); dpkg-dev:
#     dpkg-architecture, which names each Debian architecture's GNU triplet
tools=(cmake make g++ binutils git libgtest-dev libbenchmark-dev clang-format clang-tidy valgrind
       mypy python3-mypy pyflakes3 python3-dev python3-venv python3-dbg python3-build python3-setuptools-whl python3-wheel-whl
       g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 debootstrap ca-certificates qemu-user-static g++-aarch64-linux-gnu
       dpkg-dev)
[[ "${VELMO_S390X:-}" != ON ]] || tools+=(g++-s390x-linux-gnu)
wanted=()
if (( missing )); then
    wanted+=("${debs[@]}")
fi
if command -v dpkg-query >/dev/null; then
    for pkg in "${tools[@]}"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' || wanted+=("$pkg")
    done
else
    echo "$(basename "$0"): not a Debian system; the checks need: ${tools[*]}" >&2
fi
if (( ${#wanted[@]} )); then
    if [[ "$(id -u)" == 0 ]] && command -v apt-get >/dev/null; then
        echo "$(basename "$0"): installing ${wanted[*]}"
        export DEBIAN_FRONTEND=noninteractive
        if ! compgen -G '/var/lib/apt/lists/*_Packages*' >/dev/null; then
            apt-get update
        fi
        apt-get install -y "${wanted[@]}" </dev/null \
            || { apt-get update && apt-get install -y "${wanted[@]}" </dev/null; }
    else
        echo "$(basename "$0"): missing ${wanted[*]}; install them as root" \
             "(the checks that need them are skipped)" >&2
    fi
fi

# pyright, which checks the stub beside mypy, comes from npm (Debian's npm
# where no npm is installed), pinned, into a cache folder that
# tests/CMakeLists.txt looks in.
pyright_version=1.1.414
tools_dir="${XDG_CACHE_HOME:-$HOME/.cache}/velmo-tools"
if ! grep -qs "\"version\": \"$pyright_version\"" "$tools_dir/node_modules/pyright/package.json"; then
    if ! command -v npm >/dev/null && [[ "$(id -u)" == 0 ]] && command -v apt-get >/dev/null; then
        echo "$(basename "$0"): installing npm"
        DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends npm </dev/null || true
    fi
    if command -v npm >/dev/null; then
        echo "$(basename "$0"): installing pyright $pyright_version with npm into $tools_dir"
        npm install --no-audit --no-fund --prefix "$tools_dir" "pyright@$pyright_version" \
            || echo "$(basename "$0"): npm could not install pyright (the stub's pyright check is skipped)" >&2
    else
        echo "$(basename "$0"): no npm; the stub's pyright check is skipped" >&2
    fi
fi
