"""A GlobalShortcuts client of the harness's own, for what the viewer does
not show from outside: whether a session binds without Register, and
whether a shortcut the desktop already holds fires in a session that never
called BindShortcuts. Runs on the harness's GLib main loop."""

import time

import dbus

PORTAL = "org.freedesktop.portal.Desktop"
PORTAL_PATH = "/org/freedesktop/portal/desktop"
SHORTCUTS = "org.freedesktop.portal.GlobalShortcuts"


def shortcut_list(trigger="F5"):
    return dbus.Array([dbus.Struct((
        "rebuild", dbus.Dictionary({"description": dbus.String("Rebuild the shaders"),
                                    "preferred_trigger": dbus.String(trigger)},
                                   signature="sv")))], signature="(sa{sv})")


class Probe:
    def __init__(self, token, trigger="F5"):
        # A connection of its own: the portal sees another client.
        self.bus = dbus.bus.BusConnection(dbus.bus.BUS_SESSION)
        self.token = token
        self.trigger = trigger
        self.portal = self.bus.get_object(PORTAL, PORTAL_PATH)
        self.responses = {}
        self.activated = []
        self.deactivated = []
        self.session = None
        self.bus.add_signal_receiver(self._on_response, "Response",
                                     "org.freedesktop.portal.Request", path_keyword="path")
        self.bus.add_signal_receiver(lambda s, i, t, o: self.activated.append(time.monotonic()),
                                     "Activated", SHORTCUTS)
        self.bus.add_signal_receiver(lambda s, i, t, o: self.deactivated.append(time.monotonic()),
                                     "Deactivated", SHORTCUTS)

    def _on_response(self, code, results, path=None):
        self.responses[str(path)] = (int(code), results)

    def register(self, app_id):
        """None when Register was taken, else the error's text."""
        try:
            self.portal.Register(app_id, dbus.Dictionary({}, signature="sv"),
                                 dbus_interface="org.freedesktop.host.portal.Registry")
            return None
        except dbus.DBusException as error:
            return "%s: %s" % (error.get_dbus_name(), error.get_dbus_message())

    def create_session(self, with_shortcuts=True):
        options = {"handle_token": dbus.String(self.token + "c"),
                   "session_handle_token": dbus.String(self.token + "s")}
        if with_shortcuts:
            options["shortcuts"] = shortcut_list(self.trigger)
        return str(self.portal.CreateSession(dbus.Dictionary(options, signature="sv"),
                                             dbus_interface=SHORTCUTS))

    def bind(self):
        return str(self.portal.BindShortcuts(
            self.session, shortcut_list(self.trigger), "",
            dbus.Dictionary({"handle_token": dbus.String(self.token + "b")}, signature="sv"),
            dbus_interface=SHORTCUTS))

    def list_shortcuts(self):
        return str(self.portal.ListShortcuts(
            self.session,
            dbus.Dictionary({"handle_token": dbus.String(self.token + "l")}, signature="sv"),
            dbus_interface=SHORTCUTS))

    def response(self, request):
        return self.responses.get(request)

    def close(self):
        if self.session:
            try:
                self.bus.get_object(PORTAL, self.session).Close(
                    dbus_interface="org.freedesktop.portal.Session")
            except dbus.DBusException:
                pass
        # The connection itself stays until the process ends: closing a
        # private connection under the GLib main loop has crashed dbus-python.


def describe_results(results):
    """A short text of a Response's results: the shortcut ids and triggers."""
    if results is None:
        return "no Response"
    code, values = results
    parts = ["response %d" % code]
    for shortcut in values.get("shortcuts", []):
        parts.append("%s=%r" % (shortcut[0], str(shortcut[1].get("trigger_description", ""))))
    if "session_handle" in values:
        parts.append("session")
    return " ".join(parts)
