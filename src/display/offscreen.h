// The off-screen context of `qo --shot`: a GL context current on this thread
// that draws into a framebuffer object of its own, never into a window, and
// needs no display refresh.
//
// The context comes from one backend file per platform, picked in CMake
// (Linux: EGL on Mesa's surfaceless platform, no display at all; Windows: a
// hidden window's WGL context, never shown). The framebuffer on it is plain
// GL, the same on both (offscreen_target.cpp).
#pragma once

#include "shader/gl_entry_points.h"

// The size of the picture: the viewer's window.
constexpr int offscreen_width = 800;
constexpr int offscreen_height = 600;

// ---- the context (the platform's backend) ------------------------------------

// Makes a compatibility-profile GL context current on this thread, with no
// window shown. Returns 0, or 1 after one stderr line naming what failed.
// close_offscreen_context must be called in both cases.
int open_offscreen_context(void);

// Releases the context and what it was made on. Safe after a failed open.
void close_offscreen_context(void);

// Whether the off-screen context is the one in use (gl_get_proc_address then
// asks its API, on a platform where the window's API differs).
bool offscreen_context_in_use(void);

// Looks an entry point up through the off-screen context's API.
gl_proc offscreen_get_proc_address(const char* name);

// ---- the framebuffer (plain GL, offscreen_target.cpp) ----------------------------

// Makes an offscreen_width x offscreen_height framebuffer with 8-bit RGBA
// colour and a 16-bit depth buffer (what the viewer's window asks for), binds
// it for drawing and reading and sets the viewport to it. Returns 0, or 1
// after one stderr line.
int open_offscreen_target(void);

// Reads the framebuffer back as 8-bit RGB, rows top to bottom, into `rgb`
// (offscreen_width * offscreen_height * 3 bytes).
void read_offscreen_pixels(unsigned char* rgb);

// Deletes the framebuffer. Safe when open_offscreen_target failed or never ran.
void close_offscreen_target(void);
