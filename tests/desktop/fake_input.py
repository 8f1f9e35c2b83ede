"""Keys pressed in KWin through its fake-input protocol
(org_kde_kwin_fake_input), over one Wayland connection kept for the run.

    python3 fake_input.py GENERATED_PROTOCOL_DIR

GENERATED_PROTOCOL_DIR holds the module pywayland's scanner made from
plasma-wayland-protocols' fake-input.xml. Prints "ready" once the global is
bound and authenticated (KWin advertises it only to a program that a desktop
file names with X-KDE-Wayland-Interfaces=org_kde_kwin_fake_input), then
reads lines "KEY STATE" (an evdev key code, 1 pressed / 0 released) and
answers "ok" to each once the compositor has taken it (a roundtrip).
"""

import sys

from pywayland.client import Display


def main():
    sys.path.insert(0, sys.argv[1])
    from fake_input import OrgKdeKwinFakeInput

    display = Display()
    display.connect()
    registry = display.get_registry()
    found = {}

    def on_global(reg, name, interface, version):
        if interface == OrgKdeKwinFakeInput.name:
            found["fake"] = reg.bind(name, OrgKdeKwinFakeInput, min(version, 4))
            found["version"] = version

    registry.dispatcher["global"] = on_global
    display.roundtrip()
    if "fake" not in found:
        print("no org_kde_kwin_fake_input global: KWin does not offer it to this program",
              flush=True)
        return 1
    if found["version"] < 4:
        print("org_kde_kwin_fake_input version %d has no keyboard_key" % found["version"],
              flush=True)
        return 1
    fake = found["fake"]
    fake.authenticate("qo desktop-check", "presses F5 in the desktop")
    display.roundtrip()
    print("ready", flush=True)
    for line in sys.stdin:
        words = line.split()
        if len(words) != 2:
            continue
        fake.keyboard_key(int(words[0]), int(words[1]))
        display.roundtrip()
        print("ok", flush=True)
    display.disconnect()
    return 0


if __name__ == "__main__":
    sys.exit(main())
