#!/usr/bin/python3
# A fake XDG desktop portal for the viewer's tests, on the session bus given
# by DBUS_SESSION_BUS_ADDRESS: org.freedesktop.portal.Desktop at
# /org/freedesktop/portal/desktop with org.freedesktop.portal.GlobalShortcuts
# (CreateSession, BindShortcuts, Request objects with Response, the
# Activated and Deactivated signals) and org.freedesktop.host.portal.Registry
# (Register), answering as the mode says:
#   ok                  every step succeeds
#   cancel              BindShortcuts's Response is 1 (the user cancelled)
#   error               BindShortcuts's Response is 2 (other error)
#   bind-nothing        BindShortcuts's Response is 0 with no shortcut bound
#                       (KDE Plasma 5.27 given the list in BindShortcuts only)
#   rebound             the desktop binds the shortcut to Ctrl+F5
#   register-refused    Register fails with AccessDenied
#   no-registry         no Registry interface (a portal before 1.19.4)
#   no-globalshortcuts  the Registry only (GlobalShortcuts: unknown method)
#   silent              takes every call and never answers
# Every call is appended to the log, one line each, in order, as is every
# Response once it is sent ("Response PATH CODE"), every connection that
# joins the bus after the fake is ready ("connect :1.N"), and "ready" once
# the fake owns its name.
# The test drives the shortcut through the control interface
# example.qo.test.PortalControl, where `session` "" is the last session bound:
#   Emit(signal, session, id)   Activated or Deactivated for `session`, `id`
#   Tap(session, id)            Activated then Deactivated, back to back
#   Rebind(session, trigger)    ShortcutsChanged with "rebuild" on `trigger`;
#                               "" for an empty list (nothing bound)
#   CloseSession(session)       the session's Closed, as when the desktop
#                               ends it
#   fake_portal.py MODE LOG
import sys

import dbus
import dbus.lowlevel
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

SERVICE = "org.freedesktop.portal.Desktop"
OBJECT = "/org/freedesktop/portal/desktop"
SHORTCUTS = "org.freedesktop.portal.GlobalShortcuts"
REGISTRY = "org.freedesktop.host.portal.Registry"
REQUEST = "org.freedesktop.portal.Request"
CONTROL = "example.qo.test.PortalControl"
MODES = ("ok", "cancel", "error", "bind-nothing", "rebound", "register-refused", "no-registry",
         "no-globalshortcuts", "silent")
SESSION = "org.freedesktop.portal.Session"


def shortcut_list(shortcuts, trigger):
    """What a desktop answers for `shortcuts` bound on `trigger`."""
    return dbus.Array([(shortcut_id, dbus.Dictionary(
        {"description": props.get("description", ""), "trigger_description": trigger},
        signature="sv")) for shortcut_id, props in shortcuts], signature="(sa{sv})")


def sender_element(sender):
    return sender[1:].replace(".", "_")


def describe(value):
    """A stable text for the log: dicts as key=value, lists in brackets."""
    if isinstance(value, dict):
        return "{" + ", ".join("%s=%s" % (k, describe(v)) for k, v in sorted(value.items())) + "}"
    if isinstance(value, (list, tuple)):
        return "[" + ", ".join(describe(v) for v in value) + "]"
    return str(value)


class Request(dbus.service.Object):
    @dbus.service.signal(REQUEST, signature="ua{sv}")
    def Response(self, code, results):
        pass


class Portal(dbus.service.Object):
    def __init__(self, bus, mode, log):
        super().__init__(bus, OBJECT)
        self.bus = bus
        self.mode = mode
        self.log_file = log
        self.session = ""
        self.shortcuts = []
        self.pending = []  # the answers a silent portal keeps to itself

    def log(self, line):
        self.log_file.write(line + "\n")
        self.log_file.flush()

    def respond(self, path, code, results):
        request = Request(self.bus, path)

        def emit():
            request.Response(dbus.UInt32(code), dbus.Dictionary(results, signature="sv"))
            self.log("Response %s %d" % (path, code))
            request.remove_from_connection()
            return False

        # After the method's reply, as a portal does.
        GLib.idle_add(emit)

    # ---- org.freedesktop.host.portal.Registry

    @dbus.service.method(REGISTRY, in_signature="sa{sv}", out_signature="",
                         sender_keyword="sender", async_callbacks=("reply", "fail"))
    def Register(self, app_id, options, sender=None, reply=None, fail=None):
        self.log("Register %s %s from %s" % (app_id, describe(options), sender))
        if self.mode == "silent":
            self.pending.append(reply)
        elif self.mode == "no-registry":
            fail(dbus.exceptions.DBusException(
                "No such interface “%s” on object at path %s" % (REGISTRY, OBJECT),
                name="org.freedesktop.DBus.Error.UnknownMethod"))
        elif self.mode == "register-refused":
            fail(dbus.exceptions.DBusException(
                "An app id is already registered", name="org.freedesktop.DBus.Error.AccessDenied"))
        else:
            reply()

    # ---- org.freedesktop.portal.GlobalShortcuts

    def no_global_shortcuts(self, fail, method):
        fail(dbus.exceptions.DBusException(
            "No such method “%s”" % method, name="org.freedesktop.DBus.Error.UnknownMethod"))

    @dbus.service.method(SHORTCUTS, in_signature="a{sv}", out_signature="o",
                         sender_keyword="sender", async_callbacks=("reply", "fail"))
    def CreateSession(self, options, sender=None, reply=None, fail=None):
        self.log("CreateSession %s from %s" % (describe(options), sender))
        if self.mode == "no-globalshortcuts":
            return self.no_global_shortcuts(fail, "CreateSession")
        if self.mode == "silent":
            return self.pending.append(reply)
        element = sender_element(sender)
        path = "%s/request/%s/%s" % (OBJECT, element, options.get("handle_token", "t"))
        session = "%s/session/%s/%s" % (OBJECT, element, options.get("session_handle_token", "s"))
        reply(dbus.ObjectPath(path))
        # The documented type of session_handle: a string.
        self.respond(path, 0, {"session_handle": dbus.String(session)})

    @dbus.service.method(SHORTCUTS, in_signature="oa(sa{sv})sa{sv}", out_signature="o",
                         sender_keyword="sender", async_callbacks=("reply", "fail"))
    def BindShortcuts(self, session, shortcuts, parent_window, options, sender=None, reply=None,
                      fail=None):
        self.log("BindShortcuts %s %s parent=%r %s from %s" % (
            session, describe(shortcuts), str(parent_window), describe(options), sender))
        if self.mode == "no-globalshortcuts":
            return self.no_global_shortcuts(fail, "BindShortcuts")
        if self.mode == "silent":
            return self.pending.append(reply)
        path = "%s/request/%s/%s" % (OBJECT, sender_element(sender),
                                      options.get("handle_token", "t"))
        reply(dbus.ObjectPath(path))
        code = {"cancel": 1, "error": 2}.get(self.mode, 0)
        if code == 0:
            self.session = str(session)
            self.shortcuts = shortcuts
            if self.mode == "bind-nothing":
                shortcuts = []
            trigger = "Ctrl+F5" if self.mode == "rebound" else "Press F5"
            self.respond(path, 0, {"shortcuts": shortcut_list(shortcuts, trigger)})
        else:
            self.respond(path, code, {})

    @dbus.service.signal(SHORTCUTS, signature="osta{sv}")
    def Activated(self, session, shortcut_id, timestamp, options):
        pass

    @dbus.service.signal(SHORTCUTS, signature="osta{sv}")
    def Deactivated(self, session, shortcut_id, timestamp, options):
        pass

    @dbus.service.signal(SHORTCUTS, signature="oa(sa{sv})")
    def ShortcutsChanged(self, session, shortcuts):
        pass

    # ---- the test's control

    @dbus.service.method(CONTROL, in_signature="sss", out_signature="")
    def Emit(self, signal, session, shortcut_id):
        session = dbus.ObjectPath(session or self.session or "/none")
        stamp = dbus.UInt64(GLib.get_monotonic_time() // 1000)
        options = dbus.Dictionary({}, signature="sv")
        self.log("emit %s %s %s" % (signal, session, shortcut_id))
        if signal == "Activated":
            self.Activated(session, shortcut_id, stamp, options)
        elif signal == "Deactivated":
            self.Deactivated(session, shortcut_id, stamp, options)
        else:
            raise dbus.exceptions.DBusException("unknown signal " + signal,
                                                name="org.freedesktop.DBus.Error.InvalidArgs")

    @dbus.service.method(CONTROL, in_signature="ss", out_signature="")
    def Tap(self, session, shortcut_id):
        self.Emit("Activated", session, shortcut_id)
        self.Emit("Deactivated", session, shortcut_id)

    @dbus.service.method(CONTROL, in_signature="ss", out_signature="")
    def Rebind(self, session, trigger):
        session = dbus.ObjectPath(session or self.session or "/none")
        self.log("rebind %s %r" % (session, str(trigger)))
        self.ShortcutsChanged(session, shortcut_list(self.shortcuts if trigger else [], trigger))

    @dbus.service.method(CONTROL, in_signature="s", out_signature="")
    def CloseSession(self, session):
        session = session or self.session or "/none"
        self.log("close %s" % session)
        closed = dbus.lowlevel.SignalMessage(session, SESSION, "Closed")
        closed.append(dbus.Dictionary({}, signature="sv"), signature="a{sv}")
        self.bus.send_message(closed)


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in MODES:
        sys.stderr.write("usage: fake_portal.py {%s} LOG\n" % "|".join(MODES))
        return 2
    mode, log_path = sys.argv[1], sys.argv[2]
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    log = open(log_path, "a")
    portal = Portal(bus, mode, log)

    def owner_changed(name, old, new):
        if name.startswith(":") and not old and new and name != bus.get_unique_name():
            portal.log("connect " + name)

    bus.add_signal_receiver(owner_changed, signal_name="NameOwnerChanged",
                            dbus_interface="org.freedesktop.DBus", path="/org/freedesktop/DBus")
    # The match is in place once a call after it has been answered.
    bus.get_name_owner("org.freedesktop.DBus")
    name = dbus.service.BusName(SERVICE, bus, do_not_queue=True)
    portal.log("ready mode=%s" % mode)
    loop = GLib.MainLoop()
    bus.call_on_disconnection(lambda connection: loop.quit())
    loop.run()
    del name
    return 0


if __name__ == "__main__":
    sys.exit(main())
