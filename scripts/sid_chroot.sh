#!/usr/bin/env bash
# The Debian root that holds the supported CPython versions newer than the
# host's: the roots of the host machine's row of machines.txt (sid of its
# architecture; scripts/debian_root.sh):
#   bash scripts/sid_chroot.sh                # provision (or check) it
#   bash scripts/sid_chroot.sh -- CMD ARG...  # then run CMD inside it
#   bash scripts/sid_chroot.sh --versions     # print the CPython versions it is for
# It lives in VELMO_SID_ROOT (default ${XDG_CACHE_HOME:-$HOME/.cache}/velmo-sid).
set -euo pipefail
here="$(dirname "${BASH_SOURCE[0]}")"
exec bash "$here/debian_root.sh" "$(awk -v m="$(uname -m)" '$1 == m { print $3 }' "$here/../machines.txt")" "$@"
