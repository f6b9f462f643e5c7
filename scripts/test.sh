#!/usr/bin/env bash
# Sets up what the tests need, builds everything and runs every test.
# Extra arguments go to ctest, e.g. `bash scripts/test.sh -R python_tests`.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/install_test_deps.sh

# VELMO_REQUIRE_CHECK_TOOLS=ON (set by .ci/run) makes the checks whose tools
# are missing fail instead of being skipped.
cmake -S . -B build -DVELMO_WARNINGS_AS_ERRORS=ON \
    ${VELMO_REQUIRE_CHECK_TOOLS:+-DVELMO_REQUIRE_CHECK_TOOLS="$VELMO_REQUIRE_CHECK_TOOLS"}
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j2 "$@"
