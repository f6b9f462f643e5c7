# shellcheck shell=bash
# Sourced by the scripts: the test matrix (python_versions.txt's versions by
# machines.txt's machines), read in one place, and the copy of the tree that
# the chroot, the release artefacts and the second build start from.
#   versions   the supported versions, oldest first
#   machines   the rows of machines.txt that this run covers, "MACHINE WHEEL ROOTS SUITE"
#              (a row whose `when` names a variable only when that is ON)
#   subset     the files of tests/python/ that a version outside "all" runs
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
mapfile -t versions < <(grep -E '^[0-9]+\.[0-9]+$' "$top/python_versions.txt")
mapfile -t machines < <(awk 'NF == 5 && $1 !~ /^#/ && ($5 == "always" || ENVIRON[$5] == "ON") { print $1, $2, $3, $4 }' \
                        "$top/machines.txt")
read -r -a subset <<<"$(sed -n 's/^subset //p' "$top/machines.txt")"

# A host lane's build folder for version $1: build/ for the oldest (the one
# scripts/demo.sh uses), build-py3.X/ for the others.
build_dir_for() {
    if [[ "$1" == "${versions[0]}" ]]; then echo build; else echo "build-py$1"; fi
}

# The rows of the other Linux machines: those with Debian roots, not the host's.
foreign_machines() {
    local row m roots
    for row in "${machines[@]}"; do
        read -r m _ roots _ <<<"$row"
        [[ "$roots" == - || "$m" == "$(uname -m)" ]] || echo "$row"
    done
}

# Copies what a clean clone of the tree holds, plus uncommitted work, into
# $1; without git (an unpacked sdist), the tree less its build output.
copy_tree() {
    if [[ "$(git -C "$top" rev-parse --show-toplevel 2>/dev/null)" -ef "$top" ]]; then
        (cd "$top" && git ls-files -z --cached --others --exclude-standard \
            | while IFS= read -r -d '' f; do [[ -e "$f" ]] && printf '%s\0' "$f"; done \
            | tar --null -T - -cf -) | tar -xpf - -C "$1"
    else
        (cd "$top" && tar --exclude='./build*' --exclude='./dist' --exclude='*.so' -cf - .) | tar -xpf - -C "$1"
    fi
}
