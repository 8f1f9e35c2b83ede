#!/usr/bin/env bash
# Removes a folder that may have file systems mounted below it (the root
# that fresh-check.sh makes, with /proc, /sys, /dev and /run inside):
#
#   scripts/remove-root.sh FOLDER
#
# Ends the processes whose root directory is FOLDER or below it, unmounts
# every mount point at or below FOLDER (deepest first), and removes FOLDER
# only when nothing is mounted below it any more; otherwise it lists what
# is left on stderr, removes nothing and exits 1. FOLDER is resolved first
# (symbolic links, "..") since the kernel lists mount points by their real
# path. Needs root and findmnt (util-linux).
set -euo pipefail
if [ $# -ne 1 ] || [ -z "$1" ]; then
    echo "usage: remove-root.sh FOLDER" >&2
    exit 2
fi
if ! command -v findmnt >/dev/null; then
    echo "remove-root.sh: findmnt is missing (util-linux)" >&2
    exit 1
fi
[ -e "$1" ] || exit 0
root=$(realpath -e -- "$1")
if [ "$root" = / ]; then
    echo "remove-root.sh: refusing to remove /" >&2
    exit 2
fi

# Every mount point at or below the root, one a line, deepest first.
# findmnt --raw writes a space, a newline or a backslash in a path as \xHH;
# printf %b turns them back.
mounts_below_root() {
    local point
    findmnt --raw --noheadings --output TARGET | while IFS= read -r point; do
        point=$(printf '%b' "$point")
        if [[ $point == "$root" || $point == "$root"/* ]]; then
            printf '%s\n' "$point"
        fi
    done | LC_ALL=C sort -r
}

pid_root=""
for pid in /proc/[0-9]*; do
    pid_root=$(readlink "$pid/root" 2>/dev/null) || continue
    if [[ $pid_root == "$root" || $pid_root == "$root"/* ]]; then
        kill -KILL "${pid#/proc/}" 2>/dev/null || true
    fi
done

# Each one on its own (its submounts come first in the list); lazily when
# it is busy.
while IFS= read -r point; do
    [ -n "$point" ] || continue
    umount "$point" 2>/dev/null || umount -l "$point" 2>/dev/null || true
done < <(mounts_below_root)

left=$(mounts_below_root)
if [ -n "$left" ]; then
    echo "remove-root.sh: still mounted below $root, not removing it:" >&2
    printf '%s\n' "$left" >&2
    exit 1
fi
rm -rf --one-file-system -- "$root"
