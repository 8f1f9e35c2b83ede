// Looking at a running viewer from outside, over X11: find its window, read
// its pixels, write them as PNG, ask it to close. Used by the screenshot tool
// of `make run` and by the integration tests.
#pragma once

#include <X11/Xlib.h>
#include <cstdint>
#include <string>
#include <vector>

struct probe_image {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb; // width * height * 3, rows top to bottom
};

// The first window in the tree under the root whose WM_NAME is `name` and
// which is viewable, waiting up to `timeout_ms` for it. 0 when none showed.
Window probe_find_window(Display* display, const char* name, int timeout_ms);

// Reads the window's pixels; false when the window is gone.
bool probe_grab(Display* display, Window window, probe_image* image);

// Reads a rectangle of the drawable's pixels (of the root window: what the
// screen shows there, whichever windows it belongs to); false when the
// drawable is gone or the rectangle leaves it.
bool probe_grab_region(Display* display, Drawable drawable, int x, int y, int width, int height,
                       probe_image* image);

// Writes the image as an 8-bit RGB PNG.
bool probe_write_png(const char* path, const probe_image& image);

// Sends WM_DELETE_WINDOW, as a window manager's close button does.
void probe_send_close_request(Display* display, Window window);

// Reads a window's WM_NAME (empty when it has none).
std::string probe_window_name(Display* display, Window window);
