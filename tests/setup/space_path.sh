#!/usr/bin/env bash
# A clone in a folder whose name has a space, configured the way make test
# does (make test-configure): the cache holds qo.exe's whole path.
. "$(dirname "$0")/lib.sh"
clone="$work/qo space/qo"
copy_tree "$clone"
if ! make -C "$clone" test-configure >"$work/configure.log" 2>&1; then
    cat "$work/configure.log" >&2
    fail "make test-configure failed in \"$clone\""
fi
cached=$(sed -n 's/^QO_WINDOWS_EXE:[A-Z]*=//p' "$clone/build/CMakeCache.txt" 2>/dev/null || true)
[ "$cached" = "$clone/build-win/qo.exe" ] ||
    fail "QO_WINDOWS_EXE in the cache is \"$cached\", not \"$clone/build-win/qo.exe\""
finish
