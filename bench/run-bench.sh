#!/usr/bin/env bash
# make bench: the viewer against the bare GL loop on a private Xvfb.
#   bench/run-bench.sh [BUILD]
# Environment: QO_BENCH_VIEWER (another viewer binary to measure, e.g. an
# older build), QO_BENCH_PAIRS (5), QO_BENCH_STARTS (15), QO_BENCH_SECONDS (2),
# QO_BENCH_REBUILDS (1000), QO_BENCH_CALLGRIND=0 to skip the instruction
# counts, QO_BENCH_PORTAL=1 to measure with the global-shortcuts portal path
# active (a private session bus, the tests' fake portal, WAYLAND_DISPLAY set),
# QO_BENCH_WATCH=1 to run the viewer with --watch, QO_BENCH_SHOTS (15): runs
# of qo --shot and its yardstick, QO_BENCH_RECORDS (3) and
# QO_BENCH_RECORD_FRAMES (60): runs and frames of qo --record's measures.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$top/${1:-build-bench}" && pwd)
viewer=${QO_BENCH_VIEWER:-$build/qo}
bare=$build/bench/qo_bench_bare
hook=$build/bench/libqo_bench_swap_hook.so
shaders=$top/bench/shaders
work=$(mktemp -d)

fd_file=$work/display
Xvfb -displayfd 3 -screen 0 1800x700x24 -nolisten tcp 3>"$fd_file" >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null || true; rm -rf "$work"' EXIT
for _ in $(seq 100); do
    [ -s "$fd_file" ] && break
    sleep 0.1
done
[ -s "$fd_file" ] || { echo "qo bench: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$fd_file")"

portal_log=""
if [ "${QO_BENCH_PORTAL:-0}" = 1 ]; then
    # Every viewer run then registers, binds its shortcut and polls the bus
    # each frame; the bare loop ignores both variables.
    dbus-daemon --session --fork --print-address=1 --print-pid=1 >"$work/bus"
    bus_pid=$(sed -n 2p "$work/bus")
    export DBUS_SESSION_BUS_ADDRESS=$(sed -n 1p "$work/bus")
    export WAYLAND_DISPLAY=wayland-qo-bench
    portal_log=$work/portal.log
    /usr/bin/python3 "$top/tests/portal/fake_portal.py" ok "$portal_log" 2>"$work/portal.err" &
    portal=$!
    trap 'kill $portal $bus_pid $xvfb 2>/dev/null || true; rm -rf "$work"' EXIT
    for _ in $(seq 100); do
        grep -q '^ready' "$portal_log" 2>/dev/null && break
        sleep 0.1
    done
    grep -q '^ready' "$portal_log" 2>/dev/null ||
        { cat "$work/portal.err" >&2; echo "qo bench: the fake portal did not start" >&2; exit 1; }
fi

echo "qo bench, $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
(cd "$shaders" && "$bare" --info) | sed 's/^/  /'
echo "viewer: $viewer"
echo "shader: bench/shaders (vs.fx, ps.fx)"
viewer_args=()
runner_args=()
if [ "${QO_BENCH_WATCH:-0}" = 1 ]; then
    viewer_args=(--watch)
    runner_args=(--viewer-arg --watch)
    echo "viewer arguments: --watch"
fi
[ -n "$portal_log" ] && echo "portal: active (private session bus, fake portal, WAYLAND_DISPLAY set)"
echo

"$build/bench/qo_bench_runner" --viewer "$viewer" --bare "$bare" --hook "$hook" \
    --shaders "$shaders" --server-pid "$xvfb" --pairs "${QO_BENCH_PAIRS:-5}" \
    --starts "${QO_BENCH_STARTS:-15}" --seconds "${QO_BENCH_SECONDS:-2}" \
    --rebuilds "${QO_BENCH_REBUILDS:-1000}" "${runner_args[@]}"

portal_binds() { if [ -n "$portal_log" ]; then grep -c '^BindShortcuts' "$portal_log" || true; fi; }
[ -n "$portal_log" ] && echo "portal: the viewer bound its shortcut $(portal_binds) times"

echo
"$build/bench/qo_bench_seek"

echo
echo "qo --shot against the bare shot; an EGL context against the GLX window"
"$top/bench/shot_bench.py" "$build" "$shaders" "${QO_BENCH_SHOTS:-15}"

echo
echo "qo --record against a bare EGL loop that draws and reads back; where a frame's time goes"
"$top/bench/record_bench.py" "$build" "$shaders" "${QO_BENCH_RECORDS:-3}" \
    "${QO_BENCH_RECORD_FRAMES:-60}"

[ "${QO_BENCH_CALLGRIND:-1}" = 0 ] && exit 0
echo
echo "callgrind: the viewer's loop, F5 up, runs of 30 and 130 frames"
for frames in 30 130; do
    (cd "$shaders" && LD_PRELOAD="$hook" QO_BENCH_QUIT_AFTER=$frames \
        valgrind --tool=callgrind --compress-strings=no --compress-pos=no \
        --callgrind-out-file="$work/callgrind.$frames" "$viewer" "${viewer_args[@]}" >/dev/null 2>"$work/valgrind.log") ||
        { cat "$work/valgrind.log" >&2; exit 1; }
done
python3 "$top/bench/callgrind_steps.py" "$work/callgrind.30" "$work/callgrind.130" "$top"
[ -n "$portal_log" ] && echo "portal: bound $(portal_binds) times in all" || true
