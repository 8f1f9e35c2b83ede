// The display: one fixed-size window with a current GL context, its events,
// the F5 poll, the buffer swap and the yield of the main loop.
//
// Each window system has one backend file beside this header (X11 + GLX,
// Win32 + WGL); CMake picks the one to build. Nothing outside the backend
// sees a platform type.
#pragma once

// Opens the window, makes the GL context current on this thread and asks
// for the swap interval. Returns 0 on success; on failure it has written one
// line on stderr naming what failed and returns 1. close_display must be
// called in both cases.
int open_display(void);

// Releases the GL context and the window, in the reverse order of their
// creation. Safe after a failed open_display.
void close_display(void);

// Asks the driver for `interval` display refreshes per buffer swap when it
// offers a swap-control extension; otherwise leaves the driver's default.
void enable_swap_interval(int interval);

// Takes every pending window event without waiting and stops at a quit
// request. Returns 1 once a quit request (close, destroy, Esc) was taken.
int drain_window_events(void);

// Whether F5 counts as down for this frame, whichever window has the focus:
// held at this moment, or pressed at any moment since the previous call (and
// released since). Each call clears what the previous presses left, so a tap
// shorter than a frame counts for one frame; a hold counts on every call
// while it lasts. A backend that can only sample the key's state (the X11
// key poll without XInput2) sees a tap only when a call falls within it.
int f5_key_down(void);

// Presents the back buffer of the display window.
void present_frame(void);

// Gives up the rest of the time slice without waiting for a set time.
void yield_processor(void);
