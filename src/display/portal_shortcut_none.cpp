// The portal path in a build without libsystemd: F5 comes from the X11 key
// state alone (see portal_shortcut.h). In a Wayland session the one hint
// line says so, as the sd-bus backend does when its path can't work.
#include "display/portal_shortcut.h"

#include <cstdio>
#include <cstdlib>

void portal_shortcut_start(void) {
    if (is_wayland_session(std::getenv("WAYLAND_DISPLAY"), std::getenv("XDG_SESSION_TYPE"))) {
        char line[256];
        portal_hint_line("qo was built without libsystemd", line, sizeof line);
        std::fputs(line, stderr);
    }
}

void portal_shortcut_poll(void) {}

int portal_shortcut_held(void) {
    return 0;
}

void portal_shortcut_stop(void) {}
