// `qo --shot FILE [--frame N] [--size WxH]`: one frame of the viewer drawn
// off screen and written as a PNG.
#pragma once

// In the shader folder (the working directory): builds the program as the
// viewer does (the same two stdout lines, the same stderr), advances the
// frame clock `frame` times, draws that frame as the viewer's draw_frame
// does into a `width` x `height` off-screen buffer, and writes it to `path`
// (made absolute by resolve_png_path; `file` as the user gave it, for
// messages). Returns 0, or 1 after stderr lines: no context, a size the GL
// cannot give, a program that did not link (no file is written then), a
// file that cannot be written.
int take_shot(const char* path, const char* file, int frame, int width, int height);
