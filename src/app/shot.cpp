#include "app/shot.h"

#include "app/frame_clock.h"
#include "app/main_loop.h"
#include "picture/offscreen.h"
#include "picture/png_file.h"
#include "shader/program_builder.h"

#include <cstdio>

namespace {

// The picture read back from the off-screen buffer, rows top to bottom.
unsigned char shot_pixels[offscreen_width * offscreen_height * 3];

// The clock as the viewer's draw_frame leaves it after `frames` frames.
// Frames before the one drawn change nothing of its picture (each frame
// clears and sets all it draws with), so only the clock is advanced for
// them. Once the clock no longer moves (from 2^19 seconds on) the rest of
// the frames are skipped.
void advance_clock_by(int frames) {
    for (int i = 0; i < frames; ++i) {
        float next = advance_frame_clock(frame_clock);
        if (next == frame_clock) {
            return;
        }
        frame_clock = next;
    }
}

// Builds and draws the frame into the off-screen buffer and reads it back.
// Returns 0, or 1 after a stderr line.
int draw_shot(const char* file, int frame) {
    if (build_shader_program() != 0) {
        return 1;
    }
    int status = 0;
    if (drawing_program == 0) {
        std::fprintf(stderr, "qo: the program did not link: %s not written\n", file);
        status = 1;
    } else {
        advance_clock_by(frame - 1);
        render_frame();
        read_offscreen_pixels(shot_pixels);
    }
    release_shaders();
    return status;
}

} // namespace

int take_shot(const char* path, const char* file, int frame) {
    int status = open_offscreen();
    if (status == 0) {
        status = require_opengl_2();
    }
    if (status == 0) {
        status = draw_shot(file, frame);
    }
    close_offscreen();
    if (status == 0) {
        status = write_png_file(path, file, shot_pixels, offscreen_width, offscreen_height);
    }
    return status;
}
