#!/usr/bin/env bash
# The Debian sid root of the host's architecture (scripts/debian_root.sh),
# which holds the supported CPython versions newer than the host's:
#   bash scripts/sid_chroot.sh                # provision (or check) it
#   bash scripts/sid_chroot.sh -- CMD ARG...  # then run CMD inside it
#   bash scripts/sid_chroot.sh --versions     # print the CPython versions it is for
# It lives in VELMO_SID_ROOT (default ${XDG_CACHE_HOME:-$HOME/.cache}/velmo-sid).
set -euo pipefail
exec bash "$(dirname "${BASH_SOURCE[0]}")/debian_root.sh" "sid/$(dpkg --print-architecture)" "$@"
