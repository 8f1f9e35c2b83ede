#!/usr/bin/env bash
# make bench: the viewer against the bare GL loop on a private Xvfb.
#   bench/run-bench.sh [BUILD]
# Environment: QO_BENCH_VIEWER (another viewer binary to measure, e.g. an
# older build), QO_BENCH_PAIRS (5), QO_BENCH_STARTS (15), QO_BENCH_SECONDS (2),
# QO_BENCH_REBUILDS (1000), QO_BENCH_CALLGRIND=0 to skip the instruction
# counts.
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

echo "qo bench, $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
(cd "$shaders" && "$bare" --info) | sed 's/^/  /'
echo "viewer: $viewer"
echo "shader: bench/shaders (vs.fx, ps.fx)"
echo

"$build/bench/qo_bench_runner" --viewer "$viewer" --bare "$bare" --hook "$hook" \
    --shaders "$shaders" --server-pid "$xvfb" --pairs "${QO_BENCH_PAIRS:-5}" \
    --starts "${QO_BENCH_STARTS:-15}" --seconds "${QO_BENCH_SECONDS:-2}" \
    --rebuilds "${QO_BENCH_REBUILDS:-1000}"

[ "${QO_BENCH_CALLGRIND:-1}" = 0 ] && exit 0
echo
echo "callgrind: the viewer's loop, F5 up, runs of 30 and 130 frames"
for frames in 30 130; do
    (cd "$shaders" && LD_PRELOAD="$hook" QO_BENCH_QUIT_AFTER=$frames \
        valgrind --tool=callgrind --compress-strings=no --compress-pos=no \
        --callgrind-out-file="$work/callgrind.$frames" "$viewer" >/dev/null 2>"$work/valgrind.log") ||
        { cat "$work/valgrind.log" >&2; exit 1; }
done
python3 "$top/bench/callgrind_steps.py" "$work/callgrind.30" "$work/callgrind.130" "$top"
