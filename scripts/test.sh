#!/usr/bin/env bash
# Sets up what the tests need, builds everything and runs every test.
# Extra arguments go to ctest, e.g. `bash scripts/test.sh -R python_tests`.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

# pytest and hypothesis come from Debian and run under 3.10 from this folder;
# pytest 7.2 needs exceptiongroup and tomli there too on 3.10.
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
        echo "test.sh: pytest/hypothesis missing from $dist;" \
             "install ${debs[*]} (as root)" >&2
    fi
fi

# VELMO_REQUIRE_CHECK_TOOLS=ON (set by .ci/run) makes the checks whose tools
# are missing fail instead of being skipped.
cmake -S . -B build -DVELMO_WARNINGS_AS_ERRORS=ON \
    ${VELMO_REQUIRE_CHECK_TOOLS:+-DVELMO_REQUIRE_CHECK_TOOLS="$VELMO_REQUIRE_CHECK_TOOLS"}
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j2 "$@"
