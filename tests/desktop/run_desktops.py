"""The viewer on the real GNOME and KDE Plasma, headless, one after the other,
each on a session bus of its own (dbus-run-session) with its own
XDG_RUNTIME_DIR and HOME, as root. Prints a table of what passed and what was
measured; exit status 0 only when every check passed.

    python3 tests/desktop/run_desktops.py BUILD [gnome] [plasma]

BUILD: a configured and built folder of this tree (cmake --install puts the
viewer and its desktop entry into a prefix of the run's own, named by the
sessions' PATH and XDG_DATA_DIRS). Runs only inside a root that
`make desktop-check` made (it installs desktops' packages and runs a system
bus there): /etc/qo-fresh-root, which fresh-check.sh writes, must exist.
"""

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import common  # noqa: E402

MARKER = "/etc/qo-fresh-root"
# A desktop's whole run, bring-up included, at most.
DESKTOP_SECONDS = 420


def system_bus():
    """Starts the root's system bus when none answers (gnome-shell and
    kwin need one); returns its pid to end, or None."""
    path = "/run/dbus/system_bus_socket"
    probe = socket.socket(socket.AF_UNIX)
    try:
        probe.connect(path)
        return None
    except OSError:
        pass
    finally:
        probe.close()
    os.makedirs("/run/dbus", exist_ok=True)
    out = subprocess.run(["dbus-daemon", "--system", "--fork", "--print-pid"],
                         capture_output=True, text=True, timeout=30, check=True).stdout
    common.wait_for("the system bus", lambda: os.path.exists(path), 10)
    return int(out.split()[0])


def end_processes(token):
    for sig in (signal.SIGTERM, signal.SIGKILL):
        for pid in common.processes_with(token):
            try:
                os.kill(pid, sig)
            except ProcessLookupError:
                pass
        deadline = time.monotonic() + 5
        while common.processes_with(token) and time.monotonic() < deadline:
            time.sleep(0.1)
    left = common.processes_with(token)
    if left:
        raise common.Failure("processes of this run still there: %s" % left)


def run_desktop(which, top, prefix):
    run = os.path.join(top, which)
    os.makedirs(run)
    home = os.path.join(run, "home")
    runtime = os.path.join(run, "xdg-runtime")
    xdg = os.path.join(run, "xdg")
    os.makedirs(home)
    os.makedirs(xdg)
    os.mkdir(runtime, 0o700)
    token = uuid.uuid4().hex
    env = {
        "PATH": "%s/bin:/usr/local/bin:/usr/bin:/bin:/usr/local/sbin:/usr/sbin:/sbin" % prefix,
        "HOME": home, "XDG_RUNTIME_DIR": runtime, "LANG": "C.UTF-8",
        "XDG_DATA_DIRS": "%s/share:/usr/local/share:/usr/share" % prefix,
        "XDG_CONFIG_DIRS": "%s:/etc/xdg" % xdg,
        "XDG_SESSION_TYPE": "wayland",
        "XDG_CURRENT_DESKTOP": "GNOME" if which == "gnome" else "KDE",
        "QT_LOGGING_RULES": "xdp-kde*=true;kf.globalaccel*=true",
        "QO_DESKTOP_RUN": token,
        "PYTHONPATH": HERE,
        "NO_AT_BRIDGE": "1",
        "QO_DESKTOP_SHIM": os.environ["QO_DESKTOP_SHIM"],
    }
    bus_log = os.path.join(run, "bus.log")
    started = time.monotonic()
    common.log("%s: starting (logs in %s)" % (which, run))
    with open(bus_log, "wb") as log:
        proc = subprocess.Popen(
            ["dbus-run-session", "--", sys.executable, os.path.join(HERE, "session.py"), which,
             run, os.path.join(prefix, "bin", "qo"), bus_log],
            env=env, stdin=subprocess.DEVNULL, stderr=log, start_new_session=True)
        try:
            proc.wait(DESKTOP_SECONDS)
            timed_out = False
        except subprocess.TimeoutExpired:
            timed_out = True
    end_processes(token)
    proc.wait(10)
    try:
        with open(os.path.join(run, "results.json")) as f:
            results = json.load(f)
    except (OSError, ValueError):
        results = {"checks": [], "measures": {}, "notes": []}
    if timed_out:
        results["checks"].append(["%s finished within %d s" % (which, DESKTOP_SECONDS), False,
                                  "ended by the harness"])
    if not results["checks"]:
        results["checks"].append(["%s ran" % which, False,
                                  "no results (status %s); see %s" % (proc.returncode, bus_log)])
    results["measures"]["%s: whole run" % which] = "%.0f s" % (time.monotonic() - started)
    return results


def table(all_results):
    lines = ["", "desktop-check summary", "=" * 21]
    failed = 0
    for which, results in all_results:
        lines.append("")
        lines.append("[%s]" % which)
        for name, passed, detail in results["checks"]:
            failed += not passed
            lines.append("  %-4s %s%s" % ("ok" if passed else "FAIL", name,
                                          (" (%s)" % detail) if detail and not passed else ""))
        for name, value in results["measures"].items():
            lines.append("  %-4s %s: %s" % ("--", name, value))
        for note in results["notes"]:
            lines.append("  note %s" % note)
    lines.append("")
    lines.append("%d check(s) failed" % failed if failed else "every check passed")
    return "\n".join(lines), failed


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    if not os.path.exists(MARKER) or os.getuid() != 0:
        print("desktop-check: this runs only as root inside the root that `make desktop-check` "
              "makes (%s is missing): it installs desktops and starts a system bus" % MARKER,
              file=sys.stderr)
        return 2
    build = os.path.abspath(sys.argv[1])
    desktops = sys.argv[2:] or ["gnome", "plasma"]
    # gnome-shell fails to start while a logind seat folder exists without
    # logind (a package's tmpfiles made it in this root).
    seats = "/run/systemd/seats"
    if os.path.isdir(seats) and not os.listdir(seats):
        os.rmdir(seats)
    top = tempfile.mkdtemp(prefix="qo-desktop-check-")
    os.chmod(top, 0o755)
    prefix = os.path.join(top, "prefix")
    subprocess.run(["cmake", "--install", build, "--prefix", prefix], check=True,
                   stdout=subprocess.DEVNULL, timeout=120)
    # The viewer's frames slowed to 30 a second and logged (the shim the
    # slow-frame tests preload), whatever the renderer's own speed.
    shim = os.path.join(top, "slow_swap_shim.so")
    subprocess.run(["g++", "-shared", "-fPIC", "-O2", "-o", shim,
                    os.path.join(HERE, "..", "integration", "slow_swap_shim.cpp"), "-ldl"],
                   check=True, timeout=300)
    os.environ["QO_DESKTOP_SHIM"] = shim
    bus_pid = system_bus()
    all_results = []
    try:
        for which in desktops:
            all_results.append((which, run_desktop(which, top, prefix)))
    finally:
        if bus_pid:
            os.kill(bus_pid, signal.SIGTERM)
    text, failed = table(all_results)
    print(text, flush=True)
    if not failed and os.environ.get("QO_DESKTOP_KEEP") != "1":
        shutil.rmtree(top, ignore_errors=True)
    else:
        print("desktop-check: logs and screenshots are in %s" % top)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
