#!/usr/bin/python3
# A fake XDG desktop portal for the viewer's tests, on the session bus given
# by DBUS_SESSION_BUS_ADDRESS: org.freedesktop.portal.Desktop at
# /org/freedesktop/portal/desktop with org.freedesktop.portal.GlobalShortcuts
# (CreateSession, BindShortcuts, Request objects with Response, the
# Activated and Deactivated signals) and org.freedesktop.host.portal.Registry
# (Register), answering as the mode says (words joined by commas, e.g.
# "register-refused,bind-nothing"):
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
#   gnome48             BindShortcuts as xdg-desktop-portal-gnome 48.0 answers:
#                       ShortcutsChanged listing the shortcut, then Response 2
#                       with a correct result
#   gnome48-changed     the same, but the Response's results are empty: only
#                       ShortcutsChanged lists the shortcut
#   dialog              BindShortcuts' Response waits for Answer (the user's
#                       answer in the desktop's dialog)
#   held                ListShortcuts lists "rebuild" on F5, as a desktop that
#                       already holds it for the app id (else it lists none)
# While a shortcut is held (Activated until Deactivated), Activated repeats as
# the desktops' key repeat does: after 500 ms, then every 30 ms.
# Every call is appended to the log, one line each, in order, as is every
# Response once it is sent ("Response PATH CODE"), every connection that
# joins the bus after the fake is ready ("connect :1.N") and leaves it
# ("disconnect :1.N", after every message it sent), and "ready" once the
# fake owns its name.
# The test drives the shortcut through the control interface
# example.qo.test.PortalControl, where `session` "" is the last session bound:
#   Emit(signal, session, id)   Activated or Deactivated for `session`, `id`
#   Tap(session, id)            Activated then Deactivated, back to back
#   Invoke(session, id)         Activated alone, never repeated nor released
#                               (KDE's invokeShortcut)
#   Answer(how)                 the user answers the dialog: "accept" (then as
#                               gnome48) or "cancel" (Response 1)
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
         "no-globalshortcuts", "silent", "gnome48", "gnome48-changed", "dialog", "held")
REPEAT_DELAY_MS = 500
REPEAT_INTERVAL_MS = 30
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
        self.modes = set(mode.split(","))
        self.log_file = log
        self.session = ""
        self.shortcuts = []
        self.pending = []  # the answers a silent portal keeps to itself
        self.dialog = None  # (request path, session, shortcuts) awaiting Answer
        self.repeats = {}  # (session, id) -> GLib source of the key repeat

    def log(self, line):
        self.log_file.write(line + "\n")
        self.log_file.flush()

    def respond(self, path, code, results, before=None):
        request = Request(self.bus, path)

        def emit():
            if before is not None:
                before()
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
        if "silent" in self.modes:
            self.pending.append(reply)
        elif "no-registry" in self.modes:
            fail(dbus.exceptions.DBusException(
                "No such interface “%s” on object at path %s" % (REGISTRY, OBJECT),
                name="org.freedesktop.DBus.Error.UnknownMethod"))
        elif "register-refused" in self.modes:
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
        if "no-globalshortcuts" in self.modes:
            return self.no_global_shortcuts(fail, "CreateSession")
        if "silent" in self.modes:
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
        if "no-globalshortcuts" in self.modes:
            return self.no_global_shortcuts(fail, "BindShortcuts")
        if "silent" in self.modes:
            return self.pending.append(reply)
        path = "%s/request/%s/%s" % (OBJECT, sender_element(sender),
                                      options.get("handle_token", "t"))
        reply(dbus.ObjectPath(path))
        code = 1 if "cancel" in self.modes else 2 if "error" in self.modes else 0
        if "dialog" in self.modes:
            self.dialog = (path, session, shortcuts)
        elif self.modes & {"gnome48", "gnome48-changed"}:
            self.answer_as_gnome48(path, session, shortcuts, "gnome48-changed" in self.modes)
        elif code == 0:
            self.session = str(session)
            self.shortcuts = shortcuts
            if "bind-nothing" in self.modes:
                shortcuts = []
            trigger = "Ctrl+F5" if "rebound" in self.modes else "Press F5"
            self.respond(path, 0, {"shortcuts": shortcut_list(shortcuts, trigger)})
        else:
            self.respond(path, code, {})

    def answer_as_gnome48(self, path, session, shortcuts, changed_only):
        """Bound: ShortcutsChanged, then Response 2 with (or without) the list."""
        self.session = str(session)
        self.shortcuts = shortcuts
        bound = shortcut_list(shortcuts, "Press F5")

        def changed():
            self.log("changed %s" % session)
            self.ShortcutsChanged(dbus.ObjectPath(session), bound)

        self.respond(path, 2, {} if changed_only else {"shortcuts": bound}, before=changed)

    @dbus.service.method(SHORTCUTS, in_signature="oa{sv}", out_signature="o",
                         sender_keyword="sender")
    def ListShortcuts(self, session, options, sender=None):
        self.log("ListShortcuts %s %s from %s" % (session, describe(options), sender))
        path = "%s/request/%s/%s" % (OBJECT, sender_element(sender),
                                      options.get("handle_token", "t"))
        held = [("rebuild", {"description": "Rebuild the shaders"})] if "held" in self.modes else []
        if held:
            self.session = str(session)
            self.shortcuts = held
        self.respond(path, 0, {"shortcuts": shortcut_list(held, "F5")})
        return dbus.ObjectPath(path)

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

    def send(self, signal, session, shortcut_id):
        stamp = dbus.UInt64(GLib.get_monotonic_time() // 1000)
        options = dbus.Dictionary({}, signature="sv")
        getattr(self, signal)(session, shortcut_id, stamp, options)

    def stop_repeat(self, key):
        source = self.repeats.pop(key, None)
        if source is not None:
            GLib.source_remove(source)

    def start_repeat(self, key):
        """The key repeat of a held shortcut: Activated again, until released."""
        self.stop_repeat(key)

        def again():
            self.send("Activated", key[0], key[1])
            return True

        def first():
            self.send("Activated", key[0], key[1])
            self.repeats[key] = GLib.timeout_add(REPEAT_INTERVAL_MS, again)
            return False

        self.repeats[key] = GLib.timeout_add(REPEAT_DELAY_MS, first)

    @dbus.service.method(CONTROL, in_signature="sss", out_signature="")
    def Emit(self, signal, session, shortcut_id):
        session = dbus.ObjectPath(session or self.session or "/none")
        self.log("emit %s %s %s" % (signal, session, shortcut_id))
        if signal not in ("Activated", "Deactivated"):
            raise dbus.exceptions.DBusException("unknown signal " + signal,
                                                name="org.freedesktop.DBus.Error.InvalidArgs")
        self.send(signal, session, shortcut_id)
        if signal == "Activated":
            self.start_repeat((session, shortcut_id))
        else:
            self.stop_repeat((session, shortcut_id))

    @dbus.service.method(CONTROL, in_signature="ss", out_signature="")
    def Invoke(self, session, shortcut_id):
        session = dbus.ObjectPath(session or self.session or "/none")
        self.log("invoke %s %s" % (session, shortcut_id))
        self.send("Activated", session, shortcut_id)

    @dbus.service.method(CONTROL, in_signature="s", out_signature="")
    def Answer(self, how):
        if self.dialog is None:
            raise dbus.exceptions.DBusException("no dialog open",
                                                name="org.freedesktop.DBus.Error.Failed")
        path, session, shortcuts = self.dialog
        self.dialog = None
        self.log("answer %s" % how)
        if how == "accept":
            self.answer_as_gnome48(path, session, shortcuts, False)
        else:
            self.respond(path, 1, {})

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
        for key in [key for key in self.repeats if str(key[0]) == session]:
            self.stop_repeat(key)
        closed = dbus.lowlevel.SignalMessage(session, SESSION, "Closed")
        closed.append(dbus.Dictionary({}, signature="sv"), signature="a{sv}")
        self.bus.send_message(closed)


def main():
    if len(sys.argv) != 3 or not set(sys.argv[1].split(",")) <= set(MODES):
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
        elif name.startswith(":") and old and not new:
            portal.log("disconnect " + name)

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
