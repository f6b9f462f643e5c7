#!/usr/bin/env bash
# Installs what the Python tests need, when it is missing and we are root.
#   bash scripts/install_test_deps.sh [VERSION...]   # the versions to be tested (default: all)
# pytest and hypothesis come from Debian and run under every supported
# version from this folder. Under 3.10 they need exceptiongroup and tomli
# there too (the standard library has both from 3.11 on), which Debian
# releases after 12 no longer carry, so they are wanted only for 3.10.
set -euo pipefail

dist=/usr/lib/python3/dist-packages
mods=(pytest hypothesis)
if (( $# == 0 )) || [[ " $* " == *" 3.10 "* ]]; then
    mods+=(exceptiongroup tomli)
fi
debs=("${mods[@]/#/python3-}")
missing=0
for mod in "${mods[@]}"; do
    [[ -e "$dist/$mod/__init__.py" ]] || missing=1
done
if (( missing )); then
    if [[ "$(id -u)" == 0 ]] && command -v apt-get >/dev/null; then
        export DEBIAN_FRONTEND=noninteractive
        apt-get install -y "${debs[@]}" \
            || { apt-get update && apt-get install -y "${debs[@]}"; }
    else
        echo "$(basename "$0"): pytest/hypothesis missing from $dist;" \
             "install ${debs[*]} (as root)" >&2
    fi
fi
