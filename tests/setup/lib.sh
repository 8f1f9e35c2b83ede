# shellcheck shell=bash
# Shared by the set-up tests: a temporary folder removed at exit, failure
# messages, and a copy of the source tree's tracked files.
set -euo pipefail
source_dir=$(cd "$1" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/qo-setup.XXXXXX")
cleanups=("rm -rf '$work'")
run_cleanups() {
    local i
    for ((i = ${#cleanups[@]} - 1; i >= 0; i--)); do
        eval "${cleanups[$i]}" || true
    done
}
trap run_cleanups EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
finish() {
    if [ "$failures" -ne 0 ]; then
        echo "$failures check(s) failed" >&2
        exit 1
    fi
    echo "all checks passed"
}
# copy_tree DEST: the tracked and new files of the source tree as they are now (so
# that uncommitted changes are what is tested), without its build folders.
copy_tree() {
    mkdir -p "$1"
    git -C "$source_dir" ls-files -z --cached --others --exclude-standard |
        (cd "$source_dir" && tar --null --ignore-failed-read -T - -cf - 2>/dev/null) |
        tar -xf - -C "$1"
}
