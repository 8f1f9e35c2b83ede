#include "app/shot.h"

#include "app/frame_clock.h"
#include "app/main_loop.h"
#include "picture/offscreen.h"
#include "picture/png_file.h"
#include "shader/program_builder.h"

#include <cstdio>
#include <cstdlib>

namespace {

// Builds and draws the frame into the off-screen buffer and reads it back
// into `pixels`. Returns 0, or 1 after a stderr line.
int draw_shot(const char* file, int frame, unsigned char* pixels) {
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
        read_offscreen_pixels(pixels);
    }
    release_shaders();
    return status;
}

// Room for a width x height picture of 8-bit RGB (malloc; free it), or
// nullptr after a stderr line naming `file`.
unsigned char* allocate_picture(const char* file, int width, int height) {
    size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * 3;
    auto* pixels = static_cast<unsigned char*>(std::malloc(bytes));
    if (pixels == nullptr) {
        std::fprintf(stderr, "qo: cannot write %s: no memory for a %dx%d picture\n", file, width,
                     height);
    }
    return pixels;
}

} // namespace

int take_shot(const char* path, const char* file, int frame, int width, int height) {
    unsigned char* pixels = allocate_picture(file, width, height);
    if (pixels == nullptr) {
        return 1;
    }
    int status = open_offscreen(width, height);
    if (status == 0) {
        status = require_opengl_2();
    }
    if (status == 0) {
        status = draw_shot(file, frame, pixels);
    }
    close_offscreen();
    if (status == 0) {
        status = write_png_file(path, file, pixels, width, height);
    }
    std::free(pixels);
    return status;
}
