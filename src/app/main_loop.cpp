#include "app/main_loop.h"

#include "app/frame_clock.h"
#include "app/save_watch.h"
#include "display/display.h"
#include "display/opengl.h"
#include "display/time_keys.h"
#include "shader/gl_version.h"
#include "shader/program_builder.h"

#include <cstdio>

// The frame's state: written only by draw_frame.
float frame_clock = 0.0f;
float fpar_block[16];

namespace {
// Set where the window events are drained: vs.fx or ps.fx was saved since the
// last frame (qo --watch), read by draw_frame.
int save_seen = 0;
// Which frame is drawn next and which is on screen: moved by draw_frame and
// by the time keys.
frame_time viewer_time;
// The frame whose clock frame_clock holds; 0 for the clock at start.
int clock_frame = 0;

// Sets frame_clock to the clock of `frame`: one advance from the frame
// before it (the clock's very definition, and all a running frame costs),
// the same clock again (paused), or frame_clock_at after a key or --frame.
void set_frame_clock(int frame) {
    if (frame == clock_frame + 1) {
        frame_clock = advance_frame_clock(frame_clock);
    } else if (frame != clock_frame) {
        frame_clock = frame_clock_at(frame);
    }
    clock_frame = frame;
}

// The line after a time key, once the frame it led to is on screen: its
// number and its clock as the shaders saw it (fpar[2].x).
void report_frame_time(void) {
    std::fprintf(stderr, "qo: frame %d (%.3f s)%s\n", viewer_time.shown,
                 static_cast<double>(fpar_block[8]), viewer_time.paused ? ", paused" : "");
}
} // namespace

int require_opengl_2(void) {
    const char* version = reinterpret_cast<const char*>(glGetString(GL_VERSION));
    int major = 0;
    int minor = 0;
    parse_gl_version(version, &major, &minor);
    if (major >= 2) {
        return 0;
    }
    std::fprintf(stderr, "qo: OpenGL 2.0 or later is required, this context is %s\n",
                 version != nullptr ? version : "of an unknown version");
    return 1;
}

int run_main_loop(frame_time start) {
    viewer_time = start;
    if (build_shader_program() != 0) {
        return 1;
    }
    int quit = 0;
    while (!quit) {
        quit = drain_window_events();
        save_seen = poll_save_watch();
        // One key a frame, so that each one's frame is drawn and named.
        time_key key = take_time_key();
        if (key != time_key_none) {
            viewer_time = press_time_key(viewer_time, key);
        }
        draw_frame();
        if (key != time_key_none) {
            report_frame_time();
        }
        yield_processor();
    }
    release_shaders();
    return 0;
}

void draw_frame(void) {
    if (f5_key_down() || save_seen) {
        release_shaders();
        build_shader_program();
    }
    set_frame_clock(viewer_time.next);
    render_frame();
    present_frame();
    viewer_time = after_drawn_frame(viewer_time);
}

void render_frame(void) {
    glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();

    fill_fpar_block(frame_clock, fpar_block);

    // The last program that linked, fed every frame also after a failed
    // rebuild; none (the fixed-function white) until one links.
    glUseProgram_(drawing_program);
    if (drawing_program != 0) {
        GLint_t location = glGetUniformLocation_(drawing_program, "fpar");
        glUniform4fv_(location, 4, fpar_block);
    }

    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glRectf(-1.0f, -1.0f, 1.0f, 1.0f);
    glFlush();
}
