// Preloaded into the viewer (LD_PRELOAD) by the key-poll scenarios: the X
// server then seems to offer no XInput extension, so the viewer polls F5
// with XQueryKeymap, as it does on a server without XInput2 2.1. Every
// refused query appends a line to the file $QO_NO_XINPUT2_LOG names, so a
// test can tell the shim was loaded and asked.
//
// Only the query for "XInputExtension" is answered here; every other one
// goes to Xlib's own XQueryExtension.
#include <X11/Xlib.h>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

void note_refusal(void) {
    const char* path = std::getenv("QO_NO_XINPUT2_LOG");
    if (path == nullptr || path[0] == '\0') {
        return;
    }
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    static const char line[] = "XInputExtension refused\n";
    ssize_t written = write(fd, line, sizeof line - 1);
    (void)written;
    close(fd);
}

} // namespace

extern "C" Bool XQueryExtension(Display* display, const char* name, int* major_opcode,
                                int* first_event, int* first_error) {
    if (name != nullptr && std::strcmp(name, "XInputExtension") == 0) {
        *major_opcode = 0;
        *first_event = 0;
        *first_error = 0;
        note_refusal();
        return False;
    }
    typedef Bool (*query_extension)(Display*, const char*, int*, int*, int*);
    static query_extension real =
        reinterpret_cast<query_extension>(dlsym(RTLD_NEXT, "XQueryExtension"));
    if (real == nullptr) {
        return False;
    }
    return real(display, name, major_opcode, first_event, first_error);
}
