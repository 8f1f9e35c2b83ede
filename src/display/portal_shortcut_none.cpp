// The portal path in a build without libsystemd: nothing. F5 comes from the
// X11 key state alone (see portal_shortcut.h).
#include "display/portal_shortcut.h"

void portal_shortcut_start(void) {}

void portal_shortcut_poll(void) {}

int portal_shortcut_held(void) {
    return 0;
}

void portal_shortcut_stop(void) {}
