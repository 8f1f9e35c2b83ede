// The off-screen drawing of `qo --shot`: a GL context current on this thread
// that draws into an 800x600 buffer of its own, never into a window shown,
// and waits for no display refresh.
//
// One backend per platform, picked in CMake: on Linux EGL on Mesa's
// surfaceless platform (offscreen_egl.cpp), no display at all, drawing into
// a pbuffer, a buffer of the window system's kind as the window's back
// buffer is, so the GL rasterizes and rounds exactly as it does for the
// window; on Windows a hidden window's WGL context (offscreen_wgl.cpp)
// drawing into a framebuffer object of its own, the off-screen path every
// Windows driver offers (a hidden window's own pixels are not kept).
#pragma once

// The size of the picture: the viewer's window.
constexpr int offscreen_width = 800;
constexpr int offscreen_height = 600;

// Makes a compatibility-profile GL context current on this thread with an
// offscreen_width x offscreen_height buffer of 8-bit colour and a 16-bit
// depth buffer to draw into, the viewport set to it, and gives the loader
// its look-up of entry points (set_gl_proc_lookup). Returns 0, or 1 after
// one stderr line naming what failed. close_offscreen must be called in
// both cases.
int open_offscreen(void);

// Releases the buffer and the context. Safe after a failed open_offscreen.
void close_offscreen(void);

// Reads what was drawn as 8-bit RGB, rows top to bottom, into `rgb`
// (offscreen_width * offscreen_height * 3 bytes). Plain GL
// (offscreen_pixels.cpp).
void read_offscreen_pixels(unsigned char* rgb);
