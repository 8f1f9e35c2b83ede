// The off-screen drawing of `qo --shot` and `qo --record`: a GL context
// current on this thread that draws into a buffer of its own (800x600, or
// the size asked for), never into a window shown, and waits for no display
// refresh.
//
// One backend per platform, picked in CMake: on Linux EGL on Mesa's
// surfaceless platform (offscreen_egl.cpp), no display at all, drawing into
// a pbuffer, a buffer of the window system's kind as the window's back
// buffer is, so the GL rasterizes and rounds exactly as it does for the
// window; on Windows a hidden window's WGL context (offscreen_wgl.cpp)
// drawing into a framebuffer object of its own, the off-screen path every
// Windows driver offers (a hidden window's own pixels are not kept).
#pragma once

// The size of the picture unless another is asked for: the viewer's window.
constexpr int offscreen_width = 800;
constexpr int offscreen_height = 600;

// Makes a compatibility-profile GL context current on this thread with a
// `width` x `height` buffer of 8-bit colour and a 16-bit depth buffer to
// draw into, the viewport set to it, and gives the loader its look-up of
// entry points (set_gl_proc_lookup). Returns 0, or 1 after one stderr line
// naming what failed; a size the GL cannot give is one line naming the
// largest it can ("qo: cannot draw 20000x20000 off screen: the largest this
// GL can give is 16384x16384"). close_offscreen must be called in both cases.
int open_offscreen(int width, int height);

// Releases the buffer and the context. Safe after a failed open_offscreen.
void close_offscreen(void);

// Reads what was drawn as 8-bit RGB, rows top to bottom, into `rgb`
// (width * height * 3 bytes of the size last opened: the viewport
// open_offscreen set, which nothing changes). Plain GL
// (offscreen_pixels.cpp).
void read_offscreen_pixels(unsigned char* rgb);

// The line of a size the GL cannot give, with the largest it can.
void report_offscreen_too_large(int width, int height, int largest_width, int largest_height);
