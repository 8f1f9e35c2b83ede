#!/usr/bin/env bash
# Runs the viewer on the example shaders. With a display: in a window, until
# Esc or close. Without one: saves the picture of frame 240 as PNG with
# qo --shot (off screen, no X server needed), says where, and exits 0.
#
#   scripts/run-example.sh [BUILD]
#
# BUILD: the build folder, absolute or relative to the clone (default build).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
case "$build" in /*) ;; *) build="$top/$build" ;; esac
qo="$build/qo"
shot_tool="$build/qo_screenshot"
for program in "$qo" "$shot_tool"; do
    if [ ! -x "$program" ]; then
        echo "run-example.sh: no $program (build it first: make build BUILD=...)" >&2
        exit 1
    fi
done
cd "$top/examples"

if [ -n "${DISPLAY:-}" ] && "$shot_tool" --check 2>/dev/null; then
    exec "$qo"
fi

# No display: the picture of frame 240 (four seconds in), drawn off screen.
shot="$build/example.png"
echo "qo: no display; drawing frame 240 of the example off screen (qo --shot)"
status=0
"$qo" --shot "$shot" --frame 240 || status=$?
if [ "$status" -eq 0 ]; then
    echo "qo: the viewer ended with status 0; screenshot saved as $shot"
fi
exit $status
