#!/usr/bin/env bash
# Runs the viewer on the example shaders. With a display: in a window, until
# Esc or close. Without one: on a virtual display (Xvfb) for a few seconds,
# then saves a screenshot as PNG, says where, and exits 0.
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

"$top/scripts/install-deps.sh" xvfb xauth
echo "qo: no display; running the example on a virtual display for a few seconds"
fd_file=$(mktemp)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fd_file" >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null || true; rm -f "$fd_file"' EXIT
for _ in $(seq 100); do
    [ -s "$fd_file" ] && break
    sleep 0.1
done
export DISPLAY=":$(head -n1 "$fd_file")"
"$qo" &
viewer=$!
sleep 4
shot="$build/example.png"
"$shot_tool" "$shot" --close
status=0
wait $viewer || status=$?
echo "qo: the viewer ended with status $status; screenshot saved as $shot"
exit $status
