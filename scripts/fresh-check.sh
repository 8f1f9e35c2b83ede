#!/usr/bin/env bash
# The README's two commands on a machine that has nothing else: a minimal
# Debian root (debootstrap --variant=minbase; QO_DEBIAN=12, the default, or
# 13) with git and make, the
# committed tree cloned into it, then `make run` (no display: the headless
# path) and `make test` inside it with chroot.
#
#   scripts/fresh-check.sh [folder [command...]]
#
# folder: where the root is made (default build-fresh); command: what runs in
# it instead of the two commands (a shell command, as root, in the clone).
# The clone is /root/qo, in root's home of mode 0700 as a root user's clone
# is: what a test runs as another user cannot reach it there.
#
# Needs root (it re-runs itself through sudo), debootstrap and the network
# path to a Debian mirror. The mirror is the one this machine's apt sources
# name (QO_FRESH_MIRROR overrides it). The root is made anew on every run and
# removed at the end, after everything mounted in it has been unmounted.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
if [ "$(id -u)" -ne 0 ]; then
    # sudo resets the environment: the mirror override is kept by name.
    exec sudo --preserve-env=QO_FRESH_MIRROR,QO_DEBIAN "$0" "$@"
fi
folder=${1:-build-fresh}
[ $# -gt 0 ] && shift
steps=("make run" "make test")
[ $# -eq 0 ] || steps=("$*")
case "$folder" in /*) ;; *) folder="$top/$folder" ;; esac
root="$folder/root"
case "${QO_DEBIAN:-12}" in
    12) suite=bookworm ;;
    13) suite=trixie ;;
    *)
        echo "fresh-check: QO_DEBIAN=${QO_DEBIAN} is not a release this knows (12 or 13)" >&2
        exit 2
        ;;
esac
started=$(date +%s)

say() { echo "fresh-check: $*"; }
elapsed() { echo "$(($(date +%s) - started)) s"; }

# The suite's mirror from this machine's apt sources: deb822 files first
# (URIs: of an entry whose Suites: has the suite), then one-line sources.
find_mirror() {
    local file
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        awk -v suite="$suite" 'BEGIN { RS = ""; FS = "\n" }
            {
                uris = ""; suites = ""; types = ""
                for (i = 1; i <= NF; i++) {
                    line = $i
                    if (line ~ /^[ \t]*#/) continue
                    if (line ~ /^URIs:/) { sub(/^URIs:[ \t]*/, "", line); uris = line }
                    if (line ~ /^Suites:/) { sub(/^Suites:[ \t]*/, "", line); suites = " " line " " }
                    if (line ~ /^Types:/) { types = " " line " " }
                }
                if (types ~ /[ \t]deb[ \t]/ && suites ~ ("[ \t]" suite "[ \t]") && uris != "") {
                    split(uris, u, /[ \t]+/); print u[1]; exit
                }
            }' "$file"
    done | head -n1
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$file" ] || continue
        awk -v suite="$suite" '$1 == "deb" {
                i = 2
                if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
                if ($(i + 1) == suite) { print $i; exit }
            }' "$file"
    done | head -n1
}

# Ends what still runs inside the root (a virtual display, a Wine server),
# unmounts everything in it, and only then removes it (remove-root.sh: it
# refuses while anything is still mounted below it).
cleanup() {
    "$top/scripts/remove-root.sh" "$root"
}

if [ -d "$root" ]; then
    cleanup
fi
mkdir -p "$folder"
trap 'status=$?; cleanup || status=1; say "total $(elapsed)"; exit $status' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

mirror=${QO_FRESH_MIRROR:-$(find_mirror)}
if [ -z "$mirror" ]; then
    # Another release of the same archive: the mirror this machine's own
    # release comes from.
    wanted=$suite
    suite=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
    [ -z "$suite" ] || mirror=$(find_mirror)
    suite=$wanted
fi
if [ -z "$mirror" ]; then
    echo "fresh-check: no $suite mirror in /etc/apt/sources.list{,.d}: set QO_FRESH_MIRROR" >&2
    exit 1
fi

say "debootstrap --variant=minbase $suite from $mirror"
debootstrap --variant=minbase "$suite" "$root" "$mirror" >"$folder/debootstrap.log" 2>&1 || {
    tail -n 30 "$folder/debootstrap.log" >&2
    exit 1
}
say "root made ($(elapsed))"

# The committed tree, as a clone (not the work tree's uncommitted files).
clone=/root/qo
mkdir -p "$root/root"
chmod 0700 "$root/root"
git clone -q "$top" "$root$clone"
git -C "$root$clone" checkout -q "$(git -C "$top" rev-parse HEAD)"
say "cloned $(git -C "$root$clone" log -1 --format='%h %s') into $clone"

# What a running system has and a bare root lacks: the kernel's file
# systems, devices (with /dev/pts and /dev/shm), a /run, the X11 socket
# folder systemd-tmpfiles makes (X servers run by other users need it),
# name resolution.
mount -t proc proc "$root/proc"
mount --rbind /sys "$root/sys"
mount --make-rslave "$root/sys"
mount --rbind /dev "$root/dev"
mount --make-rslave "$root/dev"
mount -t tmpfs -o mode=755 tmpfs "$root/run"
mkdir -p "$root/run/lock" && chmod 1777 "$root/run/lock"
chmod 1777 "$root/tmp"
mkdir -p "$root/tmp/.X11-unix" && chmod 1777 "$root/tmp/.X11-unix"
cp /etc/resolv.conf "$root/etc/resolv.conf"
cp /etc/hosts "$root/etc/hosts"
# What tells a root thrown away at the end from a developer's own machine:
# make desktop-scenarios installs desktops only where this is.
touch "$root/etc/qo-fresh-root"

in_root() {
    env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
        TERM=dumb LANG=C.UTF-8 chroot "$root" "$@"
}

say "installing git and make"
in_root apt-get update -qq
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    git make >/dev/null

# Each step waited for in the background, so that a SIGTERM to this script
# (a CI time limit) reaches the trap at once, which ends what runs inside.
for step in "${steps[@]}"; do
    say "$step ($(elapsed))"
    in_root sh -c "cd $clone && $step" &
    wait $!
done
say "passed on a fresh $suite root: ${steps[*]}"
