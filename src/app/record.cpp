#include "app/record.h"

#include "app/frame_clock.h"
#include "app/main_loop.h"
#include "app/shot.h"
#include "output/stop_files.h"
#include "picture/ffmpeg_args.h"
#include "picture/offscreen.h"
#include "picture/png_file.h"
#include "picture/record_target.h"
#include "picture/video_pipe.h"
#include "shader/program_builder.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace {

// Frames drawn ahead of the writing: the one being written, one waiting and
// the one being drawn. The memory does not grow with the number of frames.
constexpr int ring_slots = 3;

// How long a stop waits for the frame going into the pipe, and then for
// ffmpeg to finish the file.
constexpr int stop_wait_ms = 10000;

// What was asked for, set by prepare_record.
struct {
    const char* file;                       // FILE as given, for messages
    record_target target;                   // its kind; for a PNG sequence, its pattern
    record_target full;                     // the pattern with the prefix made a full path
    char path[png_path_capacity];           // a video: FILE as a full path
    char temporary[png_path_capacity + 64]; // a video: the file ffmpeg writes
    int first_frame;
    int last_frame;
    int width;
    int height;
} request;

// The frames between the drawing (this thread) and the writing (the
// writer's): `drawn` slots filled so far, `written` taken; slot k % ring_slots
// holds frame frames[k % ring_slots].
struct {
    std::mutex lock;
    std::condition_variable changed;
    unsigned char* slots[ring_slots];
    int frames[ring_slots];
    long long drawn;
    long long written;
    bool done;                // no frame comes any more
    std::atomic<bool> failed; // the writing failed (its stderr line is out)
} ring;

// Held while one frame goes into ffmpeg's pipe, and while the video is
// finished: a stop finishes it only between whole frames.
std::timed_mutex video_lock;
bool video_input_closed = false; // under video_lock
// ffmpeg was started (set before the writer starts, read after it ended).
bool video_started = false;

bool is_video(void) {
    return request.target.kind != record_png_sequence;
}

// Writes one frame: a PNG of the sequence, or the frame's bytes into the
// pipe. Returns 0, or 1 after stderr lines (a PNG) or with none (the pipe:
// ffmpeg ended, which finish_video reports).
int write_frame(const unsigned char* pixels, int frame) {
    size_t bytes = static_cast<size_t>(request.width) * static_cast<size_t>(request.height) * 3;
    if (is_video()) {
        std::lock_guard<std::timed_mutex> hold(video_lock);
        return video_input_closed ? 1 : write_video_bytes(pixels, bytes);
    }
    char name[record_name_capacity];
    char path[record_name_capacity];
    if (format_frame_name(request.target, frame, name, sizeof name) != 0 ||
        format_frame_name(request.full, frame, path, sizeof path) != 0) {
        std::fprintf(stderr, "qo: cannot write frame %d of %s: the name is too long\n", frame,
                     request.file);
        return 1;
    }
    return write_png_file(path, name, pixels, request.width, request.height);
}

// The writer's thread: takes the frames in order until the drawing is done
// or a write fails.
void write_frames(void) {
    for (;;) {
        long long next = 0;
        {
            std::unique_lock<std::mutex> hold(ring.lock);
            ring.changed.wait(hold, [] { return ring.written < ring.drawn || ring.done; });
            if (ring.written == ring.drawn) {
                return;
            }
            next = ring.written;
        }
        int slot = static_cast<int>(next % ring_slots);
        if (write_frame(ring.slots[slot], ring.frames[slot]) != 0) {
            ring.failed.store(true);
        }
        {
            std::lock_guard<std::mutex> hold(ring.lock);
            ++ring.written;
        }
        ring.changed.notify_all();
        if (ring.failed.load()) {
            return;
        }
    }
}

// A free slot for the next frame, or -1 once the writing failed.
int take_free_slot(void) {
    std::unique_lock<std::mutex> hold(ring.lock);
    ring.changed.wait(hold,
                      [] { return ring.drawn - ring.written < ring_slots || ring.failed.load(); });
    return ring.failed.load() ? -1 : static_cast<int>(ring.drawn % ring_slots);
}

void hand_over(int slot, int frame) {
    {
        std::lock_guard<std::mutex> hold(ring.lock);
        ring.frames[slot] = frame;
        ++ring.drawn;
    }
    ring.changed.notify_all();
}

// ---- the progress line (stderr on a terminal only) ----------------------------------

constexpr int progress_width = 64;
bool progress_shown = false;

// The line, padded to progress_width and followed by a carriage return, so
// that whatever comes next on stderr (the next update, an error) starts at
// its beginning.
void show_progress_text(const char* text) {
    std::fprintf(stderr, "%-*s\r", progress_width, text);
    std::fflush(stderr);
    progress_shown = true;
}

void clear_progress(void) {
    if (progress_shown) {
        show_progress_text("");
        progress_shown = false;
    }
}

void show_progress(long long done, long long total, double seconds) {
    double rate = seconds > 0.0 ? static_cast<double>(done) / seconds : 0.0;
    long long left =
        rate > 0.0 ? static_cast<long long>(static_cast<double>(total - done) / rate + 0.5) : 0;
    char text[128];
    std::snprintf(text, sizeof text, "qo: frame %lld of %lld, %.1f fps, %lld:%02lld:%02lld left",
                  done, total, rate, left / 3600, left / 60 % 60, left % 60);
    show_progress_text(text);
}

// ---- the video -----------------------------------------------------------------------

// Finishes the video with the frames ffmpeg has (its input closed, ffmpeg
// waited for at most `wait_ms`, -1: no limit) and puts it in place, or
// removes it when ffmpeg failed. Returns 0 or 1. Under video_lock.
int finish_video(int wait_ms) {
    video_input_closed = true;
    int status = finish_video_encoder(wait_ms, request.file);
    if (status == 0) {
        status = commit_video_file(request.temporary, request.path, request.file);
    }
    if (status != 0) {
        std::remove(request.temporary);
    }
    clear_stop_file();
    return status;
}

// A stop request while the video is recorded (the stop's thread): the frame
// going into the pipe is finished, then the video with the frames it has.
// The lock stays held: nothing more goes into the pipe before the end.
void finish_video_at_stop(void) {
    if (!video_lock.try_lock_for(std::chrono::milliseconds(stop_wait_ms))) {
        // A frame that does not go in: ffmpeg no longer reads. The
        // unfinished file is removed by the stop.
        kill_video_encoder();
        return;
    }
    if (!video_input_closed) {
        clear_progress();
        finish_video(stop_wait_ms);
    }
}

// Makes the file ffmpeg writes and starts it. Returns 0, or 1 after a stderr
// line.
int start_video(void) {
    if (create_video_file(request.path, request.file, request.temporary,
                          sizeof request.temporary) != 0) {
        return 1;
    }
    ffmpeg_command command;
    if (build_ffmpeg_command(request.target.kind, request.width, request.height, request.temporary,
                             &command) != 0 ||
        start_video_encoder(command.argv) != 0) {
        if (command.count == 0) {
            std::fprintf(stderr, "qo: cannot write %s: the name is too long\n", request.file);
        }
        std::remove(request.temporary);
        clear_stop_file();
        return 1;
    }
    video_input_closed = false;
    video_started = true;
    register_stop_action(finish_video_at_stop);
    return 0;
}

// ---- drawing -------------------------------------------------------------------------

// Draws frames first to last and hands them to the writer. Returns 0, or 1
// when the writing failed.
int draw_frames(void) {
    long long total = static_cast<long long>(request.last_frame) - request.first_frame + 1;
    bool terminal = isatty(2) == 1;
    auto start = std::chrono::steady_clock::now();
    auto last_shown = start;
    for (long long done = 0; done < total; ++done) {
        int slot = take_free_slot();
        if (slot < 0) {
            return 1;
        }
        // The first frame's clock, then 1/60 more each frame, as the viewer.
        frame_clock =
            done == 0 ? frame_clock_at(request.first_frame) : advance_frame_clock(frame_clock);
        render_frame();
        read_offscreen_pixels(ring.slots[slot]);
        hand_over(slot, static_cast<int>(request.first_frame + done));
        auto now = std::chrono::steady_clock::now();
        if (terminal && (now - last_shown > std::chrono::milliseconds(250) || done + 1 == total)) {
            last_shown = now;
            show_progress(done + 1, total, std::chrono::duration<double>(now - start).count());
        }
    }
    return 0;
}

// Builds the program; when it links, draws and writes the frames.
int build_and_record(void) {
    if (build_shader_program() != 0) {
        return 1;
    }
    int status = 0;
    if (drawing_program == 0) {
        std::fprintf(stderr, "qo: the program did not link: %s not written\n", request.file);
        status = 1;
    } else if (!is_video() || start_video() == 0) {
        std::thread writer(write_frames);
        status = draw_frames();
        {
            std::lock_guard<std::mutex> hold(ring.lock);
            ring.done = true;
        }
        ring.changed.notify_all();
        writer.join();
        status = status != 0 || ring.failed.load() ? 1 : 0;
    } else {
        status = 1;
    }
    release_shaders();
    return status;
}

} // namespace

int prepare_record(const command_line& line) {
    char error[record_name_capacity + 256];
    request.file = line.record_file;
    request.first_frame = line.first_frame;
    request.last_frame = line.last_frame;
    request.width = line.width > 0 ? line.width : offscreen_width;
    request.height = line.height > 0 ? line.height : offscreen_height;
    if (parse_record_target(line.record_file, &request.target, error, sizeof error) != 0 ||
        check_record_size(request.target.kind, request.width, request.height, error,
                          sizeof error) != 0) {
        std::fprintf(stderr, "%s\n", error);
        return usage_error_status;
    }
    if (is_video() && find_ffmpeg() != 0) {
        std::fprintf(stderr,
                     "qo: cannot record %s: the ffmpeg program is not on PATH (Debian: apt install "
                     "ffmpeg); a PNG sequence needs no ffmpeg: qo --record 'frames/f%%04d.png'\n",
                     line.record_file);
        return 1;
    }
    if (is_video()) {
        return resolve_png_path(line.record_file, request.path, png_path_capacity) != 0 ? 1 : -1;
    }
    // The pattern's fixed start as a full path: resolved with a character
    // after it, so that an empty start or one ending in a separator names
    // the folder itself, then that character taken off.
    request.full = request.target;
    char start[record_name_capacity + 1];
    std::snprintf(start, sizeof start, "%sx", request.target.prefix);
    char full[png_path_capacity];
    if (resolve_png_path(start, full, png_path_capacity) != 0) {
        return 1;
    }
    size_t length = std::strlen(full);
    if (length == 0 || length > sizeof request.full.prefix) {
        return 1;
    }
    full[length - 1] = '\0';
    std::snprintf(request.full.prefix, sizeof request.full.prefix, "%s", full);
    return -1;
}

int record_frames(void) {
    size_t bytes = static_cast<size_t>(request.width) * static_cast<size_t>(request.height) * 3;
    int status = 0;
    for (int i = 0; i < ring_slots && status == 0; ++i) {
        ring.slots[i] = static_cast<unsigned char*>(std::malloc(bytes));
        if (ring.slots[i] == nullptr) {
            std::fprintf(stderr, "qo: cannot record %s: no memory for %d frames of %dx%d\n",
                         request.file, ring_slots, request.width, request.height);
            status = 1;
        }
    }
    if (status == 0) {
        status = open_offscreen(request.width, request.height);
    }
    if (status == 0) {
        status = require_opengl_2();
    }
    if (status == 0) {
        status = build_and_record();
    }
    close_offscreen();
    if (video_started) {
        std::lock_guard<std::timed_mutex> hold(video_lock);
        clear_progress();
        if (!video_input_closed) {
            status = finish_video(-1) != 0 ? 1 : status;
        }
        register_stop_action(nullptr);
    }
    if (progress_shown) {
        clear_progress();
        if (status == 0) {
            std::fprintf(stderr, "qo: wrote frames %d-%d to %s\n", request.first_frame,
                         request.last_frame, request.file);
        }
    }
    for (unsigned char* slot : ring.slots) {
        std::free(slot);
    }
    return status;
}
