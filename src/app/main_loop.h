// The main loop and the frame.
#pragma once

#include "app/frame_time.h"

// The program's notion of time in seconds: the clock of the frame drawn,
// frame_clock_at of its number (frame n's clock is 1/60 added n times).
extern float frame_clock;
// The 16 floats uploaded as the uniform array "fpar" every frame.
extern float fpar_block[16];

// Checks that the current context offers OpenGL 2.0; writes one stderr line
// and returns 1 when it does not.
int require_opengl_2(void);

// Builds the program, then drains events and draws frames from `start` on
// until a quit request; the frame of the iteration that took it is still
// drawn. Each iteration takes at most one time key, which sets the frame
// drawn; after that frame is presented one stderr line names it:
// "qo: frame N (T s)", with ", paused" while paused. Returns 0, or 1 when
// the first build found the GL unusable. A stop request (Ctrl+C, SIGTERM,
// ...) ends the process at once, the build lines written out (see
// prepare_process).
int run_main_loop(frame_time start);

// One frame: rebuild while F5 is down or when the save watch saw a save of a
// shader since the last frame, set the clock to the frame to draw (the
// viewer's time), fill and upload the parameter block to the last program
// that linked, draw the full-viewport rectangle (render_frame), present; then
// the next frame is the one after it unless paused.
void draw_frame(void);

// The drawing of one frame at the clock `frame_clock` holds, what draw_frame
// does between the rebuild and the present: clear, fill and upload the
// parameter block, draw the full-viewport rectangle, flush.
void render_frame(void);
