#!/usr/bin/env bash
# Builds the velmo module and runs demo.py with it.
# The build looks for the oldest version of python_versions.txt on its own (then the next); set
# PYTHON=/path/to/python3.X to choose one (it is read when build/ is first
# configured).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

cmake -S . -B build
cmake --build build --target velmo -j"$(nproc)"

python="$(sed -n 's/^Python3_EXECUTABLE:[A-Z]*=//p' build/CMakeCache.txt)"
if [[ -z "$python" ]]; then
    echo "demo.sh: no Python3_EXECUTABLE in build/CMakeCache.txt" >&2
    exit 1
fi
echo "== demo.py under $python"
PYTHONPATH="$PWD/build" exec "$python" demo.py
