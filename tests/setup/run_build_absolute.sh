#!/usr/bin/env bash
# make run BUILD=/absolute/path (a folder outside the clone, with a space in
# its name) builds there and runs that build: the headless path saves its
# screenshot in that folder, and the clone gets no build folder of its own.
. "$(dirname "$0")/lib.sh"
clone="$work/qo"
build="$work/out dir/build"
copy_tree "$clone"
if ! env -u DISPLAY -u WAYLAND_DISPLAY make -C "$clone" run BUILD="$build" >"$work/run.log" 2>&1; then
    tail -n 40 "$work/run.log" >&2
    fail "make run BUILD=\"$build\" failed"
fi
[ -x "$build/qo" ] || fail "no viewer in $build"
[ -s "$build/example.png" ] || fail "no screenshot in $build: $(tail -n 5 "$work/run.log")"
grep -qF "screenshot saved as $build/example.png" "$work/run.log" ||
    fail "make run did not say where the screenshot is: $(tail -n 5 "$work/run.log")"
[ ! -e "$clone/build" ] || fail "make run made a build folder in the clone"
finish
