#!/usr/bin/env bash
# Installs what the Python tests need, when it is missing and we are root.
# pytest and hypothesis come from Debian and run under every supported
# version from this folder;
# pytest 7.2 needs exceptiongroup and tomli there too on 3.10.
set -euo pipefail

dist=/usr/lib/python3/dist-packages
debs=(python3-pytest python3-hypothesis python3-exceptiongroup python3-tomli)
missing=0
for mod in pytest hypothesis exceptiongroup tomli; do
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
