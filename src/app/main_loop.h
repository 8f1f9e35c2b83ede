// The main loop and the frame.
#pragma once

// The program's notion of time in seconds, advanced 1/60 per frame.
extern float frame_clock;
// The 16 floats uploaded as the uniform array "fpar" every frame.
extern float fpar_block[16];

// Checks that the current context offers OpenGL 2.0; writes one stderr line
// and returns 1 when it does not.
int require_opengl_2(void);

// Builds the program, then drains events and draws frames until a quit
// request; the frame of the iteration that took it is still drawn. Returns 0,
// or 1 when the first build found the GL unusable. A stop request (Ctrl+C,
// SIGTERM, ...) ends the process at once, the build lines written out (see
// prepare_process).
int run_main_loop(void);

// One frame: rebuild while F5 is down or when the save watch saw a save of a
// shader since the last frame, clear, advance the clock, fill and upload the
// parameter block to the last program that linked, draw the full-viewport
// rectangle (render_frame), present.
void draw_frame(void);

// The drawing of one frame, what draw_frame does between the rebuild and the
// present: clear, advance the clock, fill and upload the parameter block,
// draw the full-viewport rectangle, flush.
void render_frame(void);
