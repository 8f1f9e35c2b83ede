// A program of the project's own that leaks on purpose, for the sanitizer
// run's leak check (leak_caught_test.cpp): it goes through what the viewer
// does with X11 and the GL driver (a visual, a window, a GLX context made
// current, a cleared frame swapped) and then gives back everything, except
// what the mode names:
//
//   qo_leak_probe none     nothing leaks
//   qo_leak_probe heap     a block of its own (qo_probe_leaked_block)
//   qo_leak_probe visual   glXChooseVisual's XVisualInfo (a forgotten XFree):
//                          Mesa's GLX library allocates it through Xlib
//
// (A forgotten glXDestroyContext is no case: the GL libraries keep the
// context reachable to the end, so no leak check can report it.)
//
// Exits 0 after a full run; the leak check at exit reports what leaked.
#include <GL/gl.h>
#include <GL/glx.h>
#include <X11/Xlib.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void* volatile kept = nullptr;

} // namespace

// Not static, never inlined: the report names it.
__attribute__((noinline)) void qo_probe_leaked_block() {
    kept = std::malloc(4242);
    std::memset(kept, 1, 4242);
    kept = nullptr;
}

int main(int argc, char** argv) {
    const char* mode = argc == 2 ? argv[1] : "";
    if (std::strcmp(mode, "none") != 0 && std::strcmp(mode, "heap") != 0 &&
        std::strcmp(mode, "visual") != 0) {
        std::fprintf(stderr, "usage: qo_leak_probe none|heap|visual\n");
        return 2;
    }
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fprintf(stderr, "qo_leak_probe: cannot open the display\n");
        return 1;
    }
    int attributes[] = {GLX_RGBA, GLX_DOUBLEBUFFER, GLX_RED_SIZE, 8, None};
    XVisualInfo* visual = glXChooseVisual(display, DefaultScreen(display), attributes);
    if (visual == nullptr) {
        std::fprintf(stderr, "qo_leak_probe: no GLX visual\n");
        return 1;
    }
    Window root = RootWindow(display, visual->screen);
    XSetWindowAttributes window_attributes = {};
    window_attributes.colormap = XCreateColormap(display, root, visual->visual, AllocNone);
    Window window = XCreateWindow(display, root, 0, 0, 64, 64, 0, visual->depth, InputOutput,
                                  visual->visual, CWColormap, &window_attributes);
    GLXContext context = glXCreateContext(display, visual, nullptr, True);
    if (context == nullptr || !glXMakeCurrent(display, window, context)) {
        std::fprintf(stderr, "qo_leak_probe: no GLX context\n");
        return 1;
    }
    glClearColor(0.2f, 0.4f, 0.6f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    glXSwapBuffers(display, window);
    glFinish();

    if (std::strcmp(mode, "heap") == 0) {
        qo_probe_leaked_block();
    }
    glXMakeCurrent(display, None, nullptr);
    glXDestroyContext(display, context);
    XDestroyWindow(display, window);
    XFreeColormap(display, window_attributes.colormap);
    if (std::strcmp(mode, "visual") != 0) {
        XFree(visual);
    }
    XCloseDisplay(display);
    return 0;
}
