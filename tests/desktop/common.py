"""What the desktop scenarios share: bounded waits, processes with logs, the
viewer with its stdout lines timed, and the session bus."""

import os
import re
import signal
import subprocess
import threading
import time

import dbus
from gi.repository import GLib


class Failure(Exception):
    """A scenario step that did not happen in time, or went wrong."""


def pump(seconds):
    """Runs the GLib main loop (D-Bus signals) for `seconds`."""
    deadline = time.monotonic() + seconds
    context = GLib.MainContext.default()
    while True:
        while context.pending():
            context.iteration(False)
        left = deadline - time.monotonic()
        if left <= 0:
            return
        time.sleep(min(left, 0.01))


def wait_for(what, check, seconds, step=0.1):
    """Polls check() until it returns something true, running the main loop
    in between; Failure naming `what` after `seconds`."""
    deadline = time.monotonic() + seconds
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise Failure("timed out after %g s waiting for %s" % (seconds, what))
        pump(step)


def log(message):
    print("desktop-check: " + message, flush=True)


class Process:
    """A program started in a session of its own, its output in a log file;
    stop() ends it and everything left in its process group."""

    def __init__(self, name, argv, env, logdir, stdin=None, stdout=None):
        self.name = name
        self.log_path = os.path.join(logdir, name + ".log")
        self.log = open(self.log_path, "ab")
        self.proc = subprocess.Popen(
            argv, env=env, stdin=stdin if stdin is not None else subprocess.DEVNULL,
            stdout=stdout if stdout is not None else self.log, stderr=self.log,
            start_new_session=True)

    def alive(self):
        return self.proc.poll() is None

    def stop(self, seconds=5):
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                self.proc.wait(seconds)
            except subprocess.TimeoutExpired:
                pass
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        try:
            self.proc.wait(seconds)
        except subprocess.TimeoutExpired:
            raise Failure("%s (pid %d) did not end" % (self.name, self.proc.pid))
        self.log.close()

    def tail(self, lines=15):
        try:
            with open(self.log_path, "rb") as f:
                text = f.read().decode("utf-8", "replace")
        except OSError:
            return ""
        return "\n".join(text.splitlines()[-lines:])


PROGRAM_LINE = re.compile(r"^[0-9]+$")


class Viewer:
    """qo with its stdout line-buffered (stdbuf -oL): every stdout and stderr
    line kept with the monotonic time it was read."""

    def __init__(self, qo, shader_dir, env, logdir, name="qo", shim=None, frame_ms=33):
        self.name = name
        self.swap_log = None
        if shim:
            # Frames of at least frame_ms (a swap sleeps first), each logged:
            # a tap of a few milliseconds then falls within one frame, as it
            # does for a user at 60 frames a second, whatever the renderer.
            self.swap_log = os.path.join(logdir, name + ".swaps")
            env = dict(env, LD_PRELOAD=shim, QO_SLOW_SWAP_MS=str(frame_ms),
                       QO_SLOW_SWAP_LOG=self.swap_log)
        self.out = []   # (time, line)
        self.err = []
        self.lock = threading.Lock()
        self.proc = subprocess.Popen(
            ["stdbuf", "-oL", "-eL", qo, shader_dir], env=env, stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
        self.log_path = os.path.join(logdir, name + ".log")
        self.threads = [threading.Thread(target=self._read, args=(self.proc.stdout, self.out)),
                        threading.Thread(target=self._read, args=(self.proc.stderr, self.err))]
        for t in self.threads:
            t.daemon = True
            t.start()

    def _read(self, stream, into):
        for raw in stream:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            with self.lock:
                into.append((time.monotonic(), line))

    def builds(self, since=0.0):
        """Times of the program-number lines read at or after `since`."""
        with self.lock:
            return [t for t, line in self.out if t >= since and PROGRAM_LINE.match(line)]

    def swaps(self):
        """Monotonic times (s) at which each frame's swap returned."""
        try:
            with open(self.swap_log) as f:
                return [int(line.split()[1]) / 1000.0 for line in f if len(line.split()) == 2]
        except (OSError, TypeError, ValueError):
            return []

    def frames_between(self, start, end):
        """Frames shown (swaps returned) from `start` to `end`."""
        return sum(1 for t in self.swaps() if start <= t <= end)

    def stderr_lines(self):
        with self.lock:
            return [line for _, line in self.err]

    def wait_builds(self, count, seconds, since=0.0):
        return wait_for("%s's build number %d" % (self.name, count),
                        lambda: len(self.builds(since)) >= count or self._dead(), seconds)

    def _dead(self):
        if self.proc.poll() is not None:
            raise Failure("%s ended (status %s); stderr: %s" %
                          (self.name, self.proc.returncode, self.stderr_lines()))
        return False

    def wait_stderr(self, pattern, seconds):
        rx = re.compile(pattern)
        return wait_for("%s's stderr line matching %r" % (self.name, pattern),
                        lambda: any(rx.search(l) for l in self.stderr_lines()) or self._dead(),
                        seconds)

    def stop(self, seconds=10):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(seconds)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait(seconds)
        for t in self.threads:
            t.join(seconds)
        with open(self.log_path, "w") as f:
            with self.lock:
                for t, line in self.out:
                    f.write("%.3f out %s\n" % (t, line))
                for t, line in self.err:
                    f.write("%.3f err %s\n" % (t, line))


def write_shaders(folder):
    """A shader pair that is cheap on llvmpipe, in greens (no blue: a dialog's
    button is found by its blue)."""
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "vs.fx"), "w") as f:
        f.write("#version 120\nvoid main() { gl_Position = gl_Vertex; }\n")
    with open(os.path.join(folder, "ps.fx"), "w") as f:
        f.write("#version 120\nuniform vec4 fpar[4];\n"
                "void main() { gl_FragColor = vec4(0.3 + 0.3 * fract(fpar[2].x), 0.6, 0.2, 1.0); }\n")


def session_bus():
    return dbus.SessionBus()


def name_has_owner(bus, name):
    try:
        return bool(bus.name_has_owner(name))
    except dbus.DBusException:
        return False


def wait_name(bus, name, seconds):
    proxy = bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus")
    return wait_for("the bus name %s" % name,
                    lambda: proxy.NameHasOwner(name, dbus_interface="org.freedesktop.DBus"),
                    seconds, 0.2)


def update_activation_environment(bus, values):
    proxy = bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus")
    proxy.UpdateActivationEnvironment(dbus.Dictionary(values, signature="ss"),
                                      dbus_interface="org.freedesktop.DBus")


def name_pid(bus, name):
    proxy = bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus")
    return int(proxy.GetConnectionUnixProcessID(name, dbus_interface="org.freedesktop.DBus"))


def processes_with(token):
    """Pids of the processes whose environment holds QO_DESKTOP_RUN=token."""
    wanted = ("QO_DESKTOP_RUN=" + token).encode()
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open("/proc/%s/environ" % entry, "rb") as f:
                if wanted in f.read().split(b"\0"):
                    found.append(int(entry))
        except OSError:
            pass
    return found


def x11_sockets_of(pid):
    """Display numbers of the X11 sockets (/tmp/.X11-unix/XN, also the
    abstract ones) that process `pid` holds open."""
    inodes = set()
    try:
        for fd in os.listdir("/proc/%d/fd" % pid):
            try:
                target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
            except OSError:
                continue
            if target.startswith("socket:["):
                inodes.add(target[8:-1])
    except OSError:
        return []
    found = []
    with open("/proc/net/unix") as f:
        next(f)
        for line in f:
            fields = line.split()
            if len(fields) >= 8 and fields[6] in inodes:
                match = re.match(r"^@?/tmp/\.X11-unix/X([0-9]+)$", fields[7])
                if match and os.path.exists("/tmp/.X11-unix/X" + match.group(1)):
                    found.append(":" + match.group(1))
    return sorted(set(found))


def xwayland_display(token, seconds, compositor=None):
    """DISPLAY and XAUTHORITY of the Xwayland of this run's compositor: from
    Xwayland's command line (:N ... -auth FILE) once it runs (GNOME starts
    it at once), or from the X11 socket the compositor listens on and its
    xauth file in XDG_RUNTIME_DIR if any (KWin starts Xwayland at the first
    X11 client, with no auth file before that)."""
    runtime = os.environ["XDG_RUNTIME_DIR"]

    def find():
        for pid in processes_with(token):
            try:
                with open("/proc/%d/cmdline" % pid, "rb") as f:
                    argv = [a.decode() for a in f.read().split(b"\0") if a]
            except OSError:
                continue
            if not argv:
                continue
            name = os.path.basename(argv[0])
            if name.startswith("Xwayland"):
                display = next((a for a in argv[1:] if re.match(r"^:[0-9]+$", a)), None)
                auth = argv[argv.index("-auth") + 1] if "-auth" in argv[:-1] else None
                if display and os.path.exists("/tmp/.X11-unix/X" + display[1:]):
                    return display, auth
            elif compositor and name == compositor:
                displays = x11_sockets_of(pid)
                auths = [os.path.join(runtime, f) for f in sorted(os.listdir(runtime))
                         if f.startswith("xauth_")]
                if displays:
                    return displays[0], auths[0] if auths else None
        return None

    return wait_for("Xwayland of this desktop", find, seconds, 0.2)
