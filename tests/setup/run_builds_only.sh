#!/usr/bin/env bash
# make run on a clone (no display: the headless path, its own Xvfb) builds
# the viewer and the screenshot tool and no test program.
. "$(dirname "$0")/lib.sh"
clone="$work/qo"
copy_tree "$clone"
if ! env -u DISPLAY -u WAYLAND_DISPLAY make -C "$clone" run >"$work/run.log" 2>&1; then
    tail -n 40 "$work/run.log" >&2
    fail "make run failed"
fi
[ -s "$clone/build/example.png" ] || fail "make run saved no screenshot"
programs=$(cd "$clone/build" && find . -path ./CMakeFiles -prune -o -type f -perm -u+x -print |
    sort | tr '\n' ' ')
[ "$programs" = "./qo ./qo_screenshot " ] ||
    fail "make run built more than the viewer and the screenshot tool: $programs"
finish
