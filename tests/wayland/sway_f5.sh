#!/usr/bin/env bash
# F5 under a real Wayland compositor: headless sway with Xwayland. qo runs
# as an X11 client of sway's Xwayland; wtype presses F5 on a virtual
# keyboard of its own (every wtype run brings a new key map into Xwayland,
# so F5 arrives under another keycode than the X server had when qo started).
#
#   tests/wayland/sway_f5.sh QO_BINARY CASE
#
# CASE:
#   qo-focused      qo's window has the focus: F5 held rebuilds.
#   native-focused  a native Wayland window (wev) has the focus: wev sees F5,
#                   qo gets nothing through X11 and builds once only (set
#                   QO_SWAY_EXPECT_NATIVE=rebuild to expect rebuilds there,
#                   for a path that does not go through X11); then qo's
#                   window is focused and F5 rebuilds, which shows qo is alive
#                   and the test could see a rebuild.
#
# Hooks, through the environment (for a case that ctest passes them to):
#   QO_SWAY_QO_ENV     extra "NAME=value" words, space-separated, for qo only.
#   QO_SWAY_BEFORE_QO  a bash file sourced once sway and Xwayland are up and
#                      before qo starts. It sees: as_user ENV... CMD (runs as
#                      the test's user with exactly that environment),
#                      start_as_user ARRAY_NAME CMD... (in the background as
#                      that user; its pid in $started, ended at exit),
#                      copy_for_user FILE (prints the path of a copy the
#                      user can read: never run the clone's files as the
#                      user, it may not reach them),
#                      wait_for WHAT CMD..., fail, note, builds (qo's
#                      count so far), at_least_builds N, qo_alive, $top (the
#                      test's folder, the user's), $work (qo's folder, with
#                      qo.stdout and qo.stderr), $runtime (its XDG_RUNTIME_DIR),
#                      the arrays user_env (HOME, PATH, XDG_RUNTIME_DIR,
#                      SWAYSOCK, WAYLAND_DISPLAY) and qo_env (user_env and
#                      DISPLAY, XDG_SESSION_TYPE=wayland: append to it), and
#                      may redefine press_and_hold_f5 (default: one wtype run).
#   QO_SWAY_EXPECT_NATIVE=rebuild  the native-focused case expects rebuilds.
# sway refuses to run as root: as root (CI) everything runs as the user
# qo-test, made with useradd when missing, through runuser. Otherwise as the
# invoking user. Needs: sway, Xwayland, swaymsg, wtype, wev, stdbuf (and
# useradd, runuser as root). Fails, never skips, when one is missing.
# Waits for conditions with generous deadlines; no timed assertion.
# shellcheck disable=SC2016 # sh -c scripts take their arguments as $1, $2
set -euo pipefail

qo=${1:?usage: sway_f5.sh QO_BINARY CASE}
case_name=${2:?usage: sway_f5.sh QO_BINARY CASE}
deadline=${QO_SWAY_DEADLINE:-60} # seconds, for every wait
test_user="qo-test"

fail() {
    echo "sway_f5: FAIL: $*" >&2
    exit 1
}
note() {
    echo "sway_f5: $*"
}

case "$case_name" in
qo-focused | native-focused) ;;
*) fail "unknown case '$case_name'" ;;
esac
case "$qo" in /*) ;; *) qo="$PWD/$qo" ;; esac
[ -x "$qo" ] || fail "no viewer at $qo"

for tool in sway Xwayland swaymsg wtype wev stdbuf; do
    command -v "$tool" >/dev/null || fail "$tool is missing (make test installs it)"
done

# ---- the user, and a folder of its own --------------------------------------
if [ "$(id -u)" -eq 0 ]; then
    command -v runuser >/dev/null || fail "runuser is missing (util-linux)"
    if ! id -u "$test_user" >/dev/null 2>&1; then
        command -v useradd >/dev/null || fail "useradd is missing (passwd)"
        useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin \
            "$test_user" || fail "cannot create the user $test_user"
    fi
    run_user=$test_user
else
    run_user=$(id -un)
fi

# Runs a command as the test's user with exactly the environment given
# (NAME=value words first), nothing inherited from the caller.
as_user() {
    if [ "$(id -u)" -eq 0 ]; then
        runuser -u "$run_user" -- env -i "$@"
    else
        env -i "$@"
    fi
}

top=$(mktemp -d "${TMPDIR:-/tmp}/qo-sway.XXXXXX")
chmod 0755 "$top"
runtime=$top/runtime
work=$top/work
home=$top/home
mkdir -p "$runtime" "$work" "$home"
chmod 0700 "$runtime"
# The whole folder is the user's: sway, qo and wev write their files there.
if [ "$(id -u)" -eq 0 ]; then
    chown -R "$run_user" "$top"
fi

# What the user runs from the clone or the build is copied into its folder:
# the clone may live where the user cannot go (root's own clone in /root,
# mode 0700). Prints the copy's path.
copy_for_user() {
    local copy
    mkdir -p "$top/bin"
    chmod 0755 "$top/bin"
    copy="$top/bin/$(basename "$1")"
    cp "$1" "$copy" || fail "cannot copy $1 into $top/bin"
    chmod go+rX "$copy"
    echo "$copy"
}
qo=$(copy_for_user "$qo")

pids=()
cleanup() {
    local status=$?
    local i pid
    # The clients first, sway last (it ends its Xwayland).
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        pid=${pids[i]}
        kill "$pid" 2>/dev/null || true
        # Not our child when started through runuser: wait until it is gone.
        for _ in $(seq 1 100); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -9 "$pid" 2>/dev/null || true
    done
    if [ "$status" -ne 0 ]; then
        for log in sway.log qo.stdout qo.stderr wev.out portal.log fake.out bus.out; do
            [ -f "$top/$log" ] && { echo "---- $log ----"; tail -n 40 "$top/$log"; }
        done
    fi
    rm -rf "$top"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# Starts a command in the background as the user, with the environment in
# the array named first; its pid (of the command itself, not of runuser)
# goes to pids and to $started.
start_as_user() {
    local -n environment=$1
    shift
    local pidfile
    pidfile=$(mktemp "$top/pid.XXXXXX")
    chmod 0666 "$pidfile"
    # runuser's own word when the command ends by a signal goes to a log.
    as_user "${environment[@]}" sh -c 'echo $$ >"$0"; exec "$@"' "$pidfile" "$@" \
        2>>"$top/start.log" &
    disown
    wait_for "a pid in $pidfile" test -s "$pidfile"
    started=$(cat "$pidfile")
    pids+=("$started")
}

wait_for() {
    local what=$1
    shift
    local end=$((SECONDS + deadline))
    until "$@"; do
        [ "$SECONDS" -lt "$end" ] || fail "no $what after ${deadline}s"
        sleep 0.1
    done
}

# Wayland buffers are shared memory files (shm_open): /dev/shm must be a
# folder the user can write (in a chroot: a tmpfs of mode 1777 mounted there,
# or /dev bound with its submounts, mount --rbind).
base_env=(HOME="$home" PATH=/usr/local/bin:/usr/bin:/bin XDG_RUNTIME_DIR="$runtime")
as_user "${base_env[@]}" test -x "$qo" || fail "$run_user cannot run $qo"
as_user "${base_env[@]}" test -w /dev/shm ||
    fail "/dev/shm is missing or not writable for $run_user (sway and its clients need it)"

# ---- sway ----------------------------------------------------------------------
cat >"$top/sway.config" <<'EOF'
xwayland enable
output * resolution 1024x768
default_border none
focus_on_window_activation focus
EOF
chmod 0644 "$top/sway.config"

# shellcheck disable=SC2034 # read through start_as_user's nameref
sway_env=("${base_env[@]}" WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman)
start_as_user sway_env sh -c 'exec sway -c "$1" >"$2" 2>&1' sh "$top/sway.config" "$top/sway.log"
sway_pid=$started

sway_ready() {
    kill -0 "$sway_pid" 2>/dev/null || fail "sway ended at start"
    compgen -G "$runtime/sway-ipc.*.sock" >/dev/null && compgen -G "$runtime/wayland-[0-9]" >/dev/null
}
wait_for "sway IPC and Wayland sockets in $runtime" sway_ready
swaysock=$(compgen -G "$runtime/sway-ipc.*.sock" | head -n 1)
wayland_display=$(basename "$(compgen -G "$runtime/wayland-[0-9]" | head -n 1)")
user_env=("${base_env[@]}" SWAYSOCK="$swaysock" WAYLAND_DISPLAY="$wayland_display")

swaymsg_() {
    as_user "${user_env[@]}" swaymsg "$@"
}

# Xwayland's display, from sway's own environment (never a guess: another
# X server may hold :0).
as_user "${user_env[@]}" swaymsg exec "echo \$DISPLAY > $top/display.tmp && mv $top/display.tmp $top/display" >/dev/null
wait_for "DISPLAY from sway" test -s "$top/display"
x_display=$(cat "$top/display")
[ -n "$x_display" ] || fail "sway has no Xwayland DISPLAY"
note "sway on $wayland_display, Xwayland on $x_display"

# ---- qo ---------------------------------------------------------------------------
cat >"$work/vs.fx" <<'EOF'
void main()
{
    gl_Position = gl_Vertex;
}
EOF
cat >"$work/ps.fx" <<'EOF'
void main()
{
    gl_FragColor = vec4(0.2, 0.4, 0.6, 1.0);
}
EOF
chmod 0644 "$work/vs.fx" "$work/ps.fx"

# ---- what the cases do (a hook may redefine press_and_hold_f5) -------------------
qo_pid=""
builds() {
    grep -c '^prog:' "$work/qo.stdout" 2>/dev/null || true
}
qo_alive() {
    kill -0 "$qo_pid" 2>/dev/null || fail "qo ended: $(cat "$work/qo.stderr" 2>/dev/null)"
}
at_least_builds() {
    qo_alive
    [ "$(builds)" -ge "$1" ]
}
window_listed() {
    qo_alive
    local tree
    tree=$(swaymsg_ -t get_tree) || return 1
    [[ $tree == *"$1"* ]]
}
# Focuses the window matching the criteria and checks that sway did.
focus() {
    local reply
    reply=$(swaymsg_ "$1 focus") || fail "swaymsg $1 focus: $reply"
    case "$reply" in *'"success": false'* | *rror*) fail "swaymsg $1 focus: $reply" ;; esac
}

# F5 held for a while in one wtype run, after a harmless key that lets the
# new virtual keyboard settle in (a key pressed as it appears can be lost).
press_and_hold_f5() {
    as_user "${user_env[@]}" wtype -k F1 -s 500 -P F5 -s 1500 -p F5 ||
        fail "wtype could not type"
}

qo_env=("${user_env[@]}" DISPLAY="$x_display" XDG_SESSION_TYPE=wayland)
# shellcheck disable=SC2206 # words on purpose
qo_env+=(${QO_SWAY_QO_ENV:-})
if [ -n "${QO_SWAY_BEFORE_QO:-}" ]; then
    # shellcheck disable=SC1090
    . "$QO_SWAY_BEFORE_QO"
fi

start_as_user qo_env sh -c 'cd "$1" && exec stdbuf -oL "$2" >qo.stdout 2>qo.stderr' \
    sh "$work" "$qo"
qo_pid=$started
ln -s "$work/qo.stdout" "$top/qo.stdout"
ln -s "$work/qo.stderr" "$top/qo.stderr"

wait_for "qo's first build" at_least_builds 1
wait_for "qo's window in sway's tree" window_listed '"class": "qo"'

case "$case_name" in
qo-focused)
    focus '[class="qo"]'
    press_and_hold_f5
    wait_for "rebuild: F5 went unseen" at_least_builds 2
    note "qo focused: $(builds) builds"
    ;;
native-focused)
    start_as_user user_env sh -c 'exec stdbuf -oL wev >"$1" 2>&1' sh "$top/wev.out"
    wait_for "wev's window in sway's tree" window_listed '"app_id": "wev"'
    focus '[app_id="wev"]'
    press_and_hold_f5
    # wev got the whole press and release: the keys went to the focused
    # native window.
    f5_released() { grep -B1 'sym: F5 ' "$top/wev.out" | grep -q 'released'; }
    wait_for "F5 press and release in wev's output" f5_released
    if [ "${QO_SWAY_EXPECT_NATIVE:-none}" = rebuild ]; then
        wait_for "rebuild with a native window focused" at_least_builds 2
        note "native window focused: $(builds) builds"
    else
        qo_alive
        [ "$(builds)" -eq 1 ] ||
            fail "qo rebuilt ($(builds) builds) while a native Wayland window had the focus"
        note "native window focused: 1 build, as expected through X11"
        # The control: qo focused, F5 rebuilds.
        focus '[class="qo"]'
        press_and_hold_f5
        wait_for "rebuild once qo was focused" at_least_builds 2
        note "then qo focused: $(builds) builds"
    fi
    ;;
esac

qo_alive
note "PASS $case_name"
