#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer into
# build-sanitize/ and runs every test under them: the C++ tests natively, the
# Python tests through the normal interpreter with the sanitizer runtime
# preloaded (tests/CMakeLists.txt sets the environment). Leak detection is
# on, with tests/sanitize/lsan.supp. Extra arguments go to ctest.
# Set PYTHON=/path/to/python3.X before the first run to choose the interpreter.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/install_test_deps.sh

cmake -S . -B build-sanitize -DVELMO_SANITIZE=ON -DVELMO_BUILD_BENCHMARKS=OFF -DVELMO_WARNINGS_AS_ERRORS=ON
cmake --build build-sanitize -j"$(nproc)"
ctest --test-dir build-sanitize --output-on-failure -j2 "$@"
