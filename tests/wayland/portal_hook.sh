# shellcheck shell=bash
# shellcheck disable=SC2154 # top, runtime, work, started: set by sway_f5.sh
# shellcheck disable=SC2016 # sh -c scripts take their arguments as $1, $2
# Sourced by sway_f5.sh (QO_SWAY_BEFORE_QO) once sway and Xwayland are up and
# before qo starts: F5 through the desktop's global-shortcuts portal while a
# native Wayland window has the focus. A private session bus runs as the
# test's user with the fake portal of tests/portal/fake_portal.py on it
# (QO_FAKE_PORTAL, run from a copy in the test's folder; its mode
# QO_SWAY_PORTAL_MODE, default ok), and qo is
# given that bus. sway has no portal of its own, and the fake cannot see
# wtype's keys: press_and_hold_f5 runs the same wtype line (so the native
# window still gets F5) and has the fake emit Activated while F5 is down and
# Deactivated once it is up. It expects rebuilds while activated, none after
# Deactivated, and no portal hint on qo's stderr.
#
# The bus is not at $XDG_RUNTIME_DIR/bus, where sd-bus looks when
# DBUS_SESSION_BUS_ADDRESS is unset: qo reaches it only through the variable.

if [ -z "${QO_FAKE_PORTAL:-}" ] || [ ! -r "$QO_FAKE_PORTAL" ]; then
    fail "no fake portal at '${QO_FAKE_PORTAL:-}' (set QO_FAKE_PORTAL)"
fi
for tool in dbus-daemon gdbus /usr/bin/python3; do
    command -v "$tool" >/dev/null ||
        fail "$tool is missing (make test installs dbus-daemon, libglib2.0-bin, python3)"
done

fake_portal=$(copy_for_user "$QO_FAKE_PORTAL")
portal_mode=${QO_SWAY_PORTAL_MODE:-ok}
portal_bus=$runtime/portal-bus
portal_log=$top/portal.log

# A bus configuration without the standard service folders: a portal
# installed on the machine is never started on this bus.
cat >"$top/portal-bus.conf" <<'EOF'
<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=/tmp</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
chmod 0644 "$top/portal-bus.conf"
# shellcheck disable=SC2034 # read through start_as_user's nameref
bus_env=("${user_env[@]}")
start_as_user bus_env sh -c 'exec dbus-daemon --config-file="$3" --nofork --nopidfile \
    --address="$1" >"$2" 2>&1' sh "unix:path=$portal_bus" "$top/bus.out" "$top/portal-bus.conf"
wait_for "session bus socket at $portal_bus" test -S "$portal_bus"

portal_env=("${user_env[@]}" DBUS_SESSION_BUS_ADDRESS="unix:path=$portal_bus")
start_as_user portal_env sh -c 'exec /usr/bin/python3 "$1" "$2" "$3" >"$4" 2>&1' \
    sh "$fake_portal" "$portal_mode" "$portal_log" "$top/fake.out"
portal_pid=$started
portal_ready() {
    kill -0 "$portal_pid" 2>/dev/null ||
        fail "the fake portal ended (it needs python3-dbus and python3-gi): $(cat "$top/fake.out")"
    grep -q "^ready mode=$portal_mode\$" "$portal_log" 2>/dev/null
}
wait_for "fake portal on the bus" portal_ready

qo_env+=(DBUS_SESSION_BUS_ADDRESS="unix:path=$portal_bus")

# A call on the private bus as the test's user.
portal_call() {
    as_user "${portal_env[@]}" gdbus call --session "$@" >/dev/null ||
        fail "gdbus call --session $*"
}
# Has the fake emit Activated or Deactivated for the session it bound last.
# Once gdbus returns, the signal is on its way to qo (the fake sent it before
# its reply, and the bus keeps a connection's messages in order).
portal_emit() {
    portal_call --dest org.freedesktop.portal.Desktop --object-path /org/freedesktop/portal/desktop \
        --method example.qo.test.PortalControl.Emit "$1" "" rebuild
}
# Pings qo's own connection (sd-bus answers org.freedesktop.DBus.Peer itself,
# in qo's once-a-frame poll). Sent after an emission, its answer means qo
# has taken that signal, and the frame that took it has decided on its build.
ping_qo() {
    portal_call --dest "$qo_bus_name" --object-path / --method org.freedesktop.DBus.Peer.Ping
}

bind_answered() {
    qo_alive
    grep -q "^Response /org/freedesktop/portal/desktop/request/[^ ]*/qo_bind_shortcuts " \
        "$portal_log"
}
f5_in_wev() { grep -B1 'sym: F5 ' "$top/wev.out" 2>/dev/null | grep -q "$1"; }
no_portal_hint() {
    if grep -q 'F5 is seen only' "$work/qo.stderr"; then
        fail "qo wrote the portal hint: $(cat "$work/qo.stderr")"
    fi
}

press_and_hold_f5() {
    # The binding is done: the fake answered BindShortcuts.
    wait_for "answer to qo's BindShortcuts in the fake portal's log" bind_answered
    qo_bus_name=$(sed -n 's/^Register .* from \(:[0-9.]*\)$/\1/p' "$portal_log" | head -n 1)
    [ -n "$qo_bus_name" ] || fail "no Register from qo in the fake portal's log"
    no_portal_hint

    as_user "${user_env[@]}" wtype -k F1 -s 500 -P F5 -s 1500 -p F5 &
    local wtype_pid=$!
    wait_for "F5 press in wev's output" f5_in_wev pressed
    local before
    before=$(builds)
    portal_emit Activated
    # Several builds, all while the native window has the focus.
    wait_for "rebuilds after Activated (builds: $before before it)" at_least_builds $((before + 5))
    wait "$wtype_pid" || fail "wtype could not type"
    portal_emit Deactivated
    ping_qo
    local released
    released=$(builds)
    note "portal: $before builds before Activated, $released once Deactivated was taken"

    # None after it: qo answers 20 more pings, one poll of a frame each,
    # and builds nothing more.
    for _ in $(seq 1 20); do
        ping_qo
    done
    qo_alive
    [ "$(builds)" -eq "$released" ] ||
        fail "qo rebuilt after Deactivated: $released builds then, $(builds) now"
    no_portal_hint
}
