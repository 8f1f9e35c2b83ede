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
        // Frames before the one drawn change nothing of its picture (each
        // frame clears and sets all it draws with): only its clock counts.
        frame_clock = frame_clock_at(frame);
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
