#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer into
# build-sanitize/ and runs the test suites under them: the C++ tests natively,
# the Python tests and the demo through the normal interpreter with the
# sanitizer runtime preloaded (tests/CMakeLists.txt sets the environment).
# Leak detection is on, with tests/sanitize/lsan.supp. Extra arguments go to
# ctest. Set PYTHON=/path/to/python3.X before the first run to choose the
# interpreter.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/install_test_deps.sh

# Line numbers in reports, and no link-time optimisation, which would only
# slow the build down.
cmake -S . -B build-sanitize -DVELMO_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMO_LTO=OFF \
    -DVELMO_BUILD_BENCHMARKS=OFF -DVELMO_WARNINGS_AS_ERRORS=ON
cmake --build build-sanitize -j"$(nproc)"
# The checks of the sources, the stub, the shipped file and the installed package say
# nothing new under sanitizers; scripts/test.sh runs them.
ctest --test-dir build-sanitize --output-on-failure -j2 \
    -E '^(layer_includes|shipped_module|source_format|clang_tidy_.*|installed_package|installed_stub|stub_matches_module|source_stub)$' \
    "$@"
