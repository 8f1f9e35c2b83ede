#!/usr/bin/env bash
# scripts/install-deps.sh where apt-get and dpkg-query are missing prints
# what the build needs (upstream and Debian names) and exits 0; where
# apt-get fails, it names the packages and fails.
. "$(dirname "$0")/lib.sh"

# A PATH with the usual tools but neither apt-get nor dpkg-query.
bare="$work/bare"
mkdir -p "$bare"
for dir in /usr/local/bin /usr/bin /bin; do
    for tool in "$dir"/*; do
        name=${tool##*/}
        case "$name" in apt-get | dpkg-query) continue ;; esac
        [ -e "$bare/$name" ] || ln -s "$tool" "$bare/$name"
    done
done
status=0
PATH="$bare" "$source_dir/scripts/install-deps.sh" libx11-dev libopengl-dev zlib1g-dev cmake \
    qo-unknown-package >"$work/bare.log" 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "without apt-get it exited $status"
for line in "libX11 (Debian: libx11-dev)" "libOpenGL (libglvnd) (Debian: libopengl-dev)" \
    "zlib (Debian: zlib1g-dev)" "CMake 3.20 or later (Debian: cmake)" \
    "qo-unknown-package (Debian: qo-unknown-package)"; do
    grep -qF "  $line" "$work/bare.log" || fail "the list lacks \"$line\""
done
cat "$work/bare.log"

# apt-get fails: the packages are named and the script fails.
stub="$work/stub"
mkdir -p "$stub"
printf '#!/bin/sh\necho "E: Unable to locate package" >&2\nexit 100\n' >"$stub/apt-get"
printf '#!/bin/sh\nexit 1\n' >"$stub/dpkg-query"
printf '#!/bin/sh\nexec "$@"\n' >"$stub/sudo"
chmod +x "$stub"/*
status=0
PATH="$stub:$PATH" TMPDIR="$work" "$source_dir/scripts/install-deps.sh" qo-no-such-package \
    >"$work/failed.log" 2>&1 || status=$?
[ "$status" -ne 0 ] || fail "a failed apt-get was reported as success"
grep -q "could not install.*qo-no-such-package" "$work/failed.log" ||
    fail "a failed apt-get does not name the package: $(cat "$work/failed.log")"
finish
