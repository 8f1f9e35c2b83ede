// The off-screen context of a qo built without EGL: none. qo --shot then
// stops at shot_none.cpp before it asks for one.
#include "display/offscreen.h"

int open_offscreen_context(void) {
    return 1;
}

void close_offscreen_context(void) {}

bool offscreen_context_in_use(void) {
    return false;
}

gl_proc offscreen_get_proc_address(const char*) {
    return nullptr;
}
