#!/usr/bin/env bash
# Runs the viewer on the example shaders. With a display: in a window, until
# Esc or close. Without one: on a virtual display (Xvfb) for a few seconds,
# then saves a screenshot as PNG, says where, and exits 0.
set -euo pipefail
build=${1:-build}
top=$(cd "$(dirname "$0")/.." && pwd)
qo="$top/$build/qo"
shot_tool="$top/$build/qo_screenshot"
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
shot="$top/$build/example.png"
"$shot_tool" "$shot" --close
status=0
wait $viewer || status=$?
echo "qo: the viewer ended with status $status; screenshot saved as $shot"
exit $status
