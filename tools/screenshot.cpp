// qo_screenshot OUT.png [--close]: waits for the viewer's window on $DISPLAY,
// saves its picture as PNG and, with --close, then asks it to close.
// qo_screenshot --check: exit status 0 when $DISPLAY can be opened.
#include "x11_probe.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: qo_screenshot OUT.png [--close]\n");
        return 2;
    }
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fprintf(stderr, "qo_screenshot: cannot open display \"%s\"\n", XDisplayName(nullptr));
        return 1;
    }
    if (std::strcmp(argv[1], "--check") == 0) {
        XCloseDisplay(display);
        return 0;
    }
    Window window = probe_find_window(display, "qo", 20000);
    if (window == 0) {
        std::fprintf(stderr, "qo_screenshot: no window titled \"qo\" appeared\n");
        return 1;
    }
    probe_image image;
    if (!probe_grab(display, window, &image) || !probe_write_png(argv[1], image)) {
        std::fprintf(stderr, "qo_screenshot: cannot save %s\n", argv[1]);
        return 1;
    }
    if (argc > 2 && std::strcmp(argv[2], "--close") == 0) {
        probe_send_close_request(display, window);
    }
    XCloseDisplay(display);
    return 0;
}
