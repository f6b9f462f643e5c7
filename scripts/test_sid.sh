#!/usr/bin/env bash
# Builds and tests velmo for the supported CPython versions newer than any the
# host has (`scripts/sid_chroot.sh --versions`) inside the Debian sid chroot
# of scripts/sid_chroot.sh (provisioned first when absent): for each,
# scripts/test.sh configures, builds and runs every CTest test, with -Werror
# and with the checks' tools required. clang-format and clang-tidy are the
# host's only: their versions decide the formatting and the lint, so those
# checks stay with the host's run; so does headers_only, whose private mount
# namespace cannot be made inside a chroot (its root is no mount point).
# Then each debug interpreter there whose version velmo supports (python3.Xd)
# gets its lane: scripts/test.sh builds the module for it and runs the Python
# suite with the leak hunt.
#
# The working tree is copied to /root/velmo in the chroot (build folders
# excepted, file times kept, so builds stay incremental); the build folders
# live there too, apart from the host's. Extra arguments go to ctest.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/matrix.sh"
cd "$top"

bash scripts/sid_chroot.sh
root="$(bash scripts/sid_chroot.sh --path)"

# What a fresh clone holds, plus uncommitted work.
tree="$root/root/velmo"
mkdir -p "$tree"
find "$tree" -mindepth 1 -maxdepth 1 ! -name 'build*' -exec rm -rf {} +
copy_tree "$tree"

# npm's pyright as the host installed it (scripts/install_test_deps.sh), for
# the stub check: plain JavaScript that the chroot's nodejs runs, where the
# chroot's own npm may not reach the registry (the host's certificate
# authorities are not the chroot's).
tools="${XDG_CACHE_HOME:-$HOME/.cache}/velmo-tools"
if [[ -d "$tools/node_modules/pyright" ]]; then
    mkdir -p "$root/root/.cache"
    rm -rf "$root/root/.cache/velmo-tools"
    cp -a "$tools" "$root/root/.cache/velmo-tools"
fi

status=0
for v in $(bash scripts/sid_chroot.sh --versions); do
    bash scripts/sid_chroot.sh -- env PYTHON="/usr/bin/python$v" VELMO_REQUIRE_CHECK_TOOLS=ON \
        bash /root/velmo/scripts/test.sh -E '^(source_format|clang_tidy.*|headers_only)$' "$@" || status=1
done
for python in "$root"/usr/bin/python3.*d; do
    python="/usr/bin/${python##*/}"
    v="${python#/usr/bin/python}"
    v="${v%d}"
    [[ "$python" =~ ^/usr/bin/python3\.[0-9]+d$ ]] && printf '%s\n' "${versions[@]}" | grep -qx "$v" || continue
    bash scripts/sid_chroot.sh -- env PYTHON="$python" VELMO_REQUIRE_CHECK_TOOLS=ON \
        bash /root/velmo/scripts/test.sh "$@" || status=1
done
exit "$status"
