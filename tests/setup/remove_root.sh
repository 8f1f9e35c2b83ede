#!/usr/bin/env bash
# scripts/remove-root.sh, the clean-up of make fresh-check, on a root made
# the way fresh-check.sh mounts its own (proc, a recursive bind with
# submounts, a tmpfs) in a folder whose name has a space, reached through a
# symbolic link. Afterwards nothing is mounted below it and it is gone, and
# what was bound into it is untouched. With an umount that fails, it removes
# nothing and says what is still mounted. Runs in a mount namespace of its
# own (unshare) where it can, so that nothing it mounts outlives it; in a
# chroot (make fresh-check), whose / is no mount point, unshare cannot make
# one private and it runs in place, its mounts undone at exit. Needs root
# or password-less sudo.
set -euo pipefail
if [ -z "${QO_IN_MOUNT_NAMESPACE:-}" ]; then
    as_root=()
    [ "$(id -u)" -eq 0 ] || as_root=(sudo -n)
    namespace=(unshare --mount --propagation private)
    "${as_root[@]}" "${namespace[@]}" true 2>/dev/null || namespace=()
    exec "${as_root[@]}" env QO_IN_MOUNT_NAMESPACE=1 "${namespace[@]}" "$0" "$@"
fi
. "$(dirname "$0")/lib.sh"
remove_root="$source_dir/scripts/remove-root.sh"

# What gets bound into the root: a folder with a file and a submount, the
# way /dev holds /dev/pts.
host="$work/host dev"
mkdir -p "$host/pts"
echo keep >"$host/file"
mount -t tmpfs tmpfs "$host/pts"
echo keep >"$host/pts/file"

# make_root NAME: a root in "$work/a folder/NAME/root" with mounts below it
# (one with a space in its own name); prints the same root's path through a
# symbolic link.
make_root() {
    local real="$work/a folder/$1/root"
    mkdir -p "$real/proc" "$real/dev" "$real/run" "$real/run/x y" "$real/etc"
    echo data >"$real/etc/file"
    ln -s "$work/a folder/$1" "$work/link $1"
    local root="$work/link $1/root"
    mount -t proc proc "$root/proc"
    mount --rbind "$host" "$root/dev"
    mount --make-rslave "$root/dev"
    mount -t tmpfs -o mode=755 tmpfs "$root/run"
    mkdir -p "$root/run/x y"
    mount -t tmpfs tmpfs "$root/run/x y"
    echo "$root"
}

# mounted_below PATH: the mount points below PATH's real path, one a line.
mounted_below() {
    local real
    real=$(realpath -m "$1")
    findmnt --raw --noheadings --output TARGET | while IFS= read -r point; do
        point=$(printf '%b' "$point")
        [[ $point == "$real"/* ]] && printf '%s\n' "$point"
    done
    return 0
}

# Whatever a failure left mounted goes before the folder is removed.
unmount_work() {
    mounted_below "$work" | sort -r | while IFS= read -r point; do umount -l "$point"; done
}
cleanups+=(unmount_work)

host_intact() {
    [ "$(cat "$host/file" 2>/dev/null)" = keep ] && [ "$(cat "$host/pts/file" 2>/dev/null)" = keep ]
}

# Removed: through the link, everything unmounted, the folder gone.
root=$(make_root ok)
[ "$(mounted_below "$root" | wc -l)" -eq 5 ] || fail "the fixture mounted: $(mounted_below "$root")"
if ! "$remove_root" "$root" 2>"$work/ok.err"; then
    fail "remove-root.sh failed: $(cat "$work/ok.err")"
fi
left=$(mounted_below "$work/a folder/ok")
[ -z "$left" ] || fail "still mounted after remove-root.sh: $left"
[ ! -e "$work/a folder/ok/root" ] || fail "the root is still there"
host_intact || fail "what was bound into the root lost its files"

# Refused: umount fails every time, so the mounts stay and nothing is removed.
root=$(make_root refused)
mkdir -p "$work/stub"
printf '#!/bin/sh\nexit 32\n' >"$work/stub/umount"
chmod 755 "$work/stub/umount"
status=0
PATH="$work/stub:$PATH" "$remove_root" "$root" 2>"$work/refused.err" || status=$?
[ "$status" -eq 1 ] || fail "with umount failing, remove-root.sh exited $status, not 1"
grep -q "still mounted below $work/a folder/refused/root" "$work/refused.err" ||
    fail "no word on what is still mounted: $(cat "$work/refused.err")"
grep -qF "$work/a folder/refused/root/run/x y" "$work/refused.err" ||
    fail "the mount point with a space is not listed: $(cat "$work/refused.err")"
[ -f "$work/a folder/refused/root/etc/file" ] || fail "files were removed although mounts were left"
host_intact || fail "the removal went into what was bound into the root"
# Then with the real umount.
"$remove_root" "$root" || fail "remove-root.sh failed on the second try"
[ -z "$(mounted_below "$work/a folder/refused")" ] || fail "still mounted after the second try"
[ ! -e "$work/a folder/refused/root" ] || fail "the root is still there after the second try"

# Nothing to do: a missing folder is not an error.
"$remove_root" "$work/missing" || fail "remove-root.sh failed on a missing folder"
finish
