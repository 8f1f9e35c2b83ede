// The off-screen context of a qo built without EGL: none (qo --shot stops
// in shot_none.cpp). What the window backend asks of it.
#include "display/offscreen.h"

bool offscreen_context_in_use(void) {
    return false;
}

gl_proc offscreen_get_proc_address(const char*) {
    return nullptr;
}
