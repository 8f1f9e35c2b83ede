// The program's gl_get_proc_address: the look-up of the context made current
// last, whichever window system made it. Not in the unit tests, which define
// gl_get_proc_address with their fake GL.
#include "shader/gl_entry_points.h"

namespace {

gl_proc_lookup current_lookup = nullptr;

} // namespace

void set_gl_proc_lookup(gl_proc_lookup lookup) {
    current_lookup = lookup;
}

gl_proc gl_get_proc_address(const char* name) {
    return current_lookup != nullptr ? current_lookup(name) : nullptr;
}
