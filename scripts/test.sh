#!/usr/bin/env bash
# Sets up what the tests need, builds everything and runs every test.
# Extra arguments go to ctest, e.g. `bash scripts/test.sh -R python_tests`.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/install_test_deps.sh

cmake -S . -B build -DVELMO_WARNINGS_AS_ERRORS=ON
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j2 "$@"
