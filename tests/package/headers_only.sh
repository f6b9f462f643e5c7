#!/usr/bin/env bash
# velmo built as a user with only an interpreter and its headers builds it:
# README's CMake command, run in an activated venv, with no libpython of any
# kind, no GoogleTest, no Google Benchmark and no pytest. The configure must
# pass and name the suites it leaves out; the module must install into the
# venv, run the demo there and leave again with `pip uninstall`.
#
# The interpreter is Debian's own python3.X, which is linked statically with
# libpython (as pyenv's default builds and the manylinux ones are), so it
# runs with every libpython file hidden. They are hidden in a private mount
# namespace by an overlay of whiteouts on each folder that holds one; the
# machine itself is left as it is. Needs root, unshare and overlayfs.
#
#   headers_only.sh <source dir> <work dir> <python3.X> <status when it cannot run>
set -euo pipefail
source_dir=$1 work=$2 python=$3 cannot_run=$4

cannot() {
    echo "headers_only: $*"
    exit "$cannot_run"
}

if [[ -z "${VELMO_IN_NAMESPACE:-}" ]]; then
    [[ -x "$python" ]] || cannot "no $python: install python3-dev"
    if ldd "$python" | grep libpython >/dev/null; then
        cannot "$python links a shared libpython, so it cannot run without one"
    fi
    [[ "$(id -u)" == 0 ]] && command -v unshare >/dev/null || cannot "needs root and unshare to hide libpython"
    rm -rf "$work"
    mkdir -p "$work"
    VELMO_IN_NAMESPACE=1 exec unshare --mount --propagation private bash "$0" "$@"
fi

version="$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
[[ -e "$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')/Python.h" ]] \
    || cannot "$python has no headers: install python$version-dev"
mount -t tmpfs velmo-overlays "$work"
# The interpreter's own library folders, and every configuration folder of
# its version: a debug interpreter installed beside it (python3.X-dbg) keeps
# its libraries in a folder of its own, which the check below looks at too.
folders="$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("LIBDIR")); print(sysconfig.get_config_var("LIBPL"))')"
n=0
for folder in $folders /usr/lib/python"$version"/config-*/; do
    folder="${folder%/}"
    libraries=("$folder"/libpython*)
    [[ -e "${libraries[0]}" || -L "${libraries[0]}" ]] || continue
    n=$((n + 1))
    mkdir -p "$work/$n/upper" "$work/$n/work"
    for library in "${libraries[@]}"; do
        mknod "$work/$n/upper/$(basename "$library")" c 0 0  # a whiteout: the file is gone
    done
    mount -t overlay velmo-hidden -o "lowerdir=$folder,upperdir=$work/$n/upper,workdir=$work/$n/work" "$folder" \
        || cannot "overlayfs is not available to hide $folder/libpython*"
done
if compgen -G "/usr/lib/*/libpython$version*" >/dev/null || compgen -G "/usr/lib/python$version/config-*/libpython*" >/dev/null; then
    echo "headers_only: a libpython is still in sight" >&2
    exit 1
fi

"$python" -m venv "$work/venv" || cannot "$python cannot make a venv with pip: install python3-venv"
export VIRTUAL_ENV="$work/venv" PATH="$work/venv/bin:$PATH"
unset PYTHON PYTHONPATH PYTHONHOME
set -x
cmake -S "$source_dir" -B "$work/build" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
    -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON -DVELMO_PYTEST_PATH="$work/no-pytest" | tee "$work/configure.log"
set +x
for expected in "building for $work/venv/bin/python" "cpp_tests: .*no libpython" \
        "python_tests: pytest not found" "velmo_bench"; do
    grep -q "$expected" "$work/configure.log" || { echo "headers_only: the configure did not say: $expected" >&2; exit 1; }
done
set -x
cmake --build "$work/build" --target velmo
cmake --install "$work/build"
cd "$work"
python -c 'import velmo, sys; assert velmo.__file__.startswith(sys.prefix), velmo.__file__; print(velmo.fun_hello(2))'
python "$source_dir/demo.py" | grep 'File "velmo.py", line 2, in velmo.fun_hello'
python -m pip --disable-pip-version-check uninstall --yes velmo
left="$(find "$work/venv" -name '*velmo*')"
[[ -z "$left" ]] || { echo "headers_only: pip uninstall left $left" >&2; exit 1; }
