// qo: a live GLSL shader viewer. Builds a program from vs.fx and ps.fx in
// the working directory (or the folder named on the command line), draws it
// over the whole window every frame, rebuilds it while F5 is held (and, with
// --watch, when either file is saved) and ends on Esc or when the window is
// closed.
#include "app/command_line.h"
#include "app/main_loop.h"
#include "app/process.h"
#include "app/record.h"
#include "app/save_watch.h"
#include "app/shot.h"
#include "display/display.h"
#include "picture/offscreen.h"
#include "picture/png_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#ifndef QO_VERSION
#error "QO_VERSION is set by CMake from the project's version"
#endif

namespace {

// Ends the text printed by --help or --version: standard output flushed and
// closed, and a write that failed (a full disk, a closed descriptor) is a
// failure with one line on stderr, as GNU tools report it.
int finish_printed_text(void) {
    errno = 0;
    bool failed = std::fflush(stdout) != 0 || std::ferror(stdout) != 0;
    int error = errno;
    if (std::fclose(stdout) != 0 && !failed) {
        failed = true;
        error = errno;
    }
    if (!failed) {
        return 0;
    }
    std::fprintf(stderr, "qo: write error: %s\n",
                 error != 0 ? std::strerror(error) : "cannot write standard output");
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    command_line line = parse_command_line(argc, argv);
    switch (line.action) {
    case command_help:
        std::fputs(usage_text(), stdout);
        return finish_printed_text();
    case command_version:
        std::printf("qo %s\n", QO_VERSION);
        return finish_printed_text();
    case command_usage_error:
        std::fprintf(stderr, "%s\n", line.error);
        return usage_error_status;
    case command_run:
    case command_shot:
    case command_record:
        break;
    }
    // The picture file is named from where qo was started, not from DIR.
    char shot_path[png_path_capacity];
    if (line.action == command_shot &&
        resolve_png_path(line.shot_file, shot_path, png_path_capacity) != 0) {
        return 1;
    }
    if (line.action == command_record) {
        int status = prepare_record(line);
        if (status >= 0) {
            return status;
        }
    }
    if (line.folder != nullptr && chdir(line.folder) != 0) {
        std::fprintf(stderr, "qo: cannot enter %s: %s\n", line.folder, std::strerror(errno));
        return usage_error_status;
    }
    prepare_process();
    if (line.action == command_shot) {
        return take_shot(shot_path, line.shot_file, line.shot_frame,
                         line.width > 0 ? line.width : offscreen_width,
                         line.height > 0 ? line.height : offscreen_height);
    }
    if (line.action == command_record) {
        return record_frames();
    }
    int status = open_display();
    if (status == 0) {
        status = require_opengl_2();
    }
    if (status == 0) {
        if (line.watch) {
            // Before the first build, so that no save after it is missed.
            start_save_watch(".");
        }
        status = run_main_loop(start_frame_time(line.shot_frame, line.paused));
        stop_save_watch();
    }
    close_display();
    return status;
}
