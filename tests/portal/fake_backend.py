#!/usr/bin/python3
# A stand-in global-shortcuts backend for the real portal frontend
# (xdg-desktop-portal), on the session bus given by DBUS_SESSION_BUS_ADDRESS:
# it owns NAME (org.freedesktop.impl.portal.desktop.<desktop>) and serves
# org.freedesktop.impl.portal.GlobalShortcuts at
# /org/freedesktop/portal/desktop, as a desktop's backend does; the frontend
# finds it through a .portal file of the test's own. Every session it makes
# is an org.freedesktop.impl.portal.Session object (Close, Closed).
# It binds every shortcut it is given, in CreateSession's options and in
# BindShortcuts, with its preferred trigger as the trigger_description.
# Every call is appended to the log, one line each, in order, and "ready"
# once the backend owns its name.
# While a shortcut is held (Activated until Deactivated), Activated repeats as
# the desktops' key repeat does: after 500 ms, then every 30 ms.
# The test drives it through example.qo.test.BackendControl:
#   Emit(signal, id)   Activated or Deactivated for the last session made
#   Tap(id)            Activated then Deactivated, back to back
#   CloseSession()     the last session's Closed, as when the desktop ends it
#   fake_backend.py NAME LOG
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

OBJECT = "/org/freedesktop/portal/desktop"
SHORTCUTS = "org.freedesktop.impl.portal.GlobalShortcuts"
SESSION = "org.freedesktop.impl.portal.Session"
CONTROL = "example.qo.test.BackendControl"


def describe(value):
    """A stable text for the log: dicts as key=value, lists in brackets."""
    if isinstance(value, dict):
        return "{" + ", ".join("%s=%s" % (k, describe(v)) for k, v in sorted(value.items())) + "}"
    if isinstance(value, (list, tuple)):
        return "[" + ", ".join(describe(v) for v in value) + "]"
    return str(value)


def bound_list(shortcuts):
    """The shortcuts, each bound on its preferred trigger."""
    return dbus.Array([(shortcut_id, dbus.Dictionary(
        {"description": props.get("description", ""),
         "trigger_description": props.get("preferred_trigger", "")}, signature="sv"))
        for shortcut_id, props in shortcuts], signature="(sa{sv})")


class Session(dbus.service.Object):
    def __init__(self, backend, path):
        super().__init__(backend.bus, path)
        self.backend = backend
        self.path = path

    @dbus.service.method(SESSION, in_signature="", out_signature="")
    def Close(self):
        self.backend.log("Close %s" % self.path)
        self.remove_from_connection()

    @dbus.service.signal(SESSION, signature="")
    def Closed(self):
        pass


class Backend(dbus.service.Object):
    def __init__(self, bus, log):
        super().__init__(bus, OBJECT)
        self.bus = bus
        self.log_file = log
        self.session = None
        self.repeats = {}  # shortcut id -> GLib source of the key repeat

    def log(self, line):
        self.log_file.write(line + "\n")
        self.log_file.flush()

    @dbus.service.method(SHORTCUTS, in_signature="oosa{sv}", out_signature="ua{sv}")
    def CreateSession(self, handle, session_handle, app_id, options):
        self.log("CreateSession %s %s app_id=%r %s" % (handle, session_handle, str(app_id),
                                                       describe(options)))
        self.session = Session(self, str(session_handle))
        # As KDE's backend answers: the shortcuts of the options, bound.
        bound = bound_list(options.get("shortcuts", []))
        return dbus.UInt32(0), dbus.Dictionary({"shortcuts": bound}, signature="sv")

    @dbus.service.method(SHORTCUTS, in_signature="ooa(sa{sv})sa{sv}", out_signature="ua{sv}")
    def BindShortcuts(self, handle, session_handle, shortcuts, parent_window, options):
        self.log("BindShortcuts %s %s %s parent=%r %s" % (
            handle, session_handle, describe(shortcuts), str(parent_window), describe(options)))
        return dbus.UInt32(0), dbus.Dictionary({"shortcuts": bound_list(shortcuts)}, signature="sv")

    @dbus.service.signal(SHORTCUTS, signature="osta{sv}")
    def Activated(self, session, shortcut_id, timestamp, options):
        pass

    @dbus.service.signal(SHORTCUTS, signature="osta{sv}")
    def Deactivated(self, session, shortcut_id, timestamp, options):
        pass

    # ---- the test's control

    def emit(self, signal, shortcut_id):
        if self.session is None:
            raise dbus.exceptions.DBusException("no session yet",
                                                name="org.freedesktop.DBus.Error.Failed")
        session = dbus.ObjectPath(self.session.path)
        stamp = dbus.UInt64(GLib.get_monotonic_time() // 1000)
        options = dbus.Dictionary({}, signature="sv")
        self.log("emit %s %s %s" % (signal, session, shortcut_id))
        source = self.repeats.pop(shortcut_id, None)
        if source is not None:
            GLib.source_remove(source)
        if signal == "Activated":
            self.Activated(session, shortcut_id, stamp, options)
            self.repeat(session, shortcut_id)
        elif signal == "Deactivated":
            self.Deactivated(session, shortcut_id, stamp, options)
        else:
            raise dbus.exceptions.DBusException("unknown signal " + signal,
                                                name="org.freedesktop.DBus.Error.InvalidArgs")

    def repeat(self, session, shortcut_id):
        """The key repeat of a held shortcut: Activated again, until released."""
        options = dbus.Dictionary({}, signature="sv")

        def again():
            stamp = dbus.UInt64(GLib.get_monotonic_time() // 1000)
            self.Activated(session, shortcut_id, stamp, options)
            return True

        def first():
            again()
            self.repeats[shortcut_id] = GLib.timeout_add(30, again)
            return False

        self.repeats[shortcut_id] = GLib.timeout_add(500, first)

    @dbus.service.method(CONTROL, in_signature="ss", out_signature="")
    def Emit(self, signal, shortcut_id):
        self.emit(signal, shortcut_id)

    @dbus.service.method(CONTROL, in_signature="s", out_signature="")
    def Tap(self, shortcut_id):
        self.emit("Activated", shortcut_id)
        self.emit("Deactivated", shortcut_id)

    @dbus.service.method(CONTROL, in_signature="", out_signature="")
    def CloseSession(self):
        self.log("closing %s" % self.session.path)
        self.session.Closed()


def main():
    if len(sys.argv) != 3:
        sys.stderr.write("usage: fake_backend.py NAME LOG\n")
        return 2
    name, log_path = sys.argv[1], sys.argv[2]
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    log = open(log_path, "a")
    backend = Backend(bus, log)
    owned = dbus.service.BusName(name, bus, do_not_queue=True)
    backend.log("ready")
    loop = GLib.MainLoop()
    bus.call_on_disconnection(lambda connection: loop.quit())
    loop.run()
    del owned
    return 0


if __name__ == "__main__":
    sys.exit(main())
