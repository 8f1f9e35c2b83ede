// Preloaded into the viewer (LD_PRELOAD) by the shot scenarios: the window
// is held on one frame. The swap of frame $QO_STOP_AT_FRAME (counted from 1,
// as the viewer's frame clock counts) is made, the X server is waited for
// until it shows it, the file $QO_STOP_READY is created, and the viewer then
// sleeps in that swap until it is killed: the window keeps that frame for as
// long as a test looks at it.
#include <GL/glx.h>
#include <X11/Xlib.h>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

extern "C" void glXSwapBuffers(Display* display, GLXDrawable drawable) {
    typedef void (*swap_buffers_fn)(Display*, GLXDrawable);
    static swap_buffers_fn real =
        reinterpret_cast<swap_buffers_fn>(dlsym(RTLD_NEXT, "glXSwapBuffers"));
    static long stop_at = [] {
        const char* text = std::getenv("QO_STOP_AT_FRAME");
        return text != nullptr ? std::strtol(text, nullptr, 10) : 0L;
    }();
    static long frames = 0;
    ++frames;
    if (frames == stop_at) {
        // The window's map request has been taken by now (no window
        // manager): the frame goes to a window that shows it.
        XSync(display, False);
    }
    if (real != nullptr) {
        real(display, drawable);
    }
    if (frames != stop_at) {
        return;
    }
    XSync(display, False);
    const char* ready = std::getenv("QO_STOP_READY");
    if (ready != nullptr) {
        int fd = open(ready, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) {
            close(fd);
        }
    }
    for (;;) {
        pause();
    }
}
