"""A small native Wayland window (GTK 4) that takes the desktop's keyboard
focus away from the viewer: it prints "active" or "inactive" each time that
changes, and ends when its standard input closes.

    GDK_BACKEND=wayland python3 focus_window.py
"""

import sys

import gi

gi.require_version("Gtk", "4.0")
from gi.repository import GLib, Gtk  # noqa: E402


def main():
    app = Gtk.Application(application_id="example.qo.DesktopCheckFocus")

    def report(window, _param):
        print("active" if window.is_active() else "inactive", flush=True)

    def on_activate(application):
        window = Gtk.ApplicationWindow(application=application, title="desktop-check focus")
        window.set_default_size(160, 90)
        window.connect("notify::is-active", report)
        window.present()

    def on_stdin(_source, _condition):
        if not sys.stdin.buffer.read1(64):
            app.quit()
            return False
        return True

    GLib.io_add_watch(GLib.IOChannel.unix_new(sys.stdin.fileno()),
                      GLib.PRIORITY_DEFAULT, GLib.IO_IN | GLib.IO_HUP, on_stdin)
    app.connect("activate", on_activate)
    app.hold()
    return app.run([])


if __name__ == "__main__":
    sys.exit(main())
