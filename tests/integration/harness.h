// The integration harness: runs the real viewer (the Linux binary, or the
// Windows one under Wine) on an X server of the test's own, in a fresh
// working folder, and looks at it from outside the way a user would: its
// window, its pixels, its keys, its standard output and error, its exit
// status.
//
// Everything here waits for conditions with generous deadlines and never
// sleeps for a set time to be correct: the machine may be shared and slow.
// A function that fails says why in `error` (or through its return value),
// so a test can hand the reason to GoogleTest.
//
// Include <gtest/gtest.h> before this header: Xlib defines macros (None,
// Bool, Status) that break GoogleTest's templates.
//
// A typical scenario:
//
//   xvfb_server server;              start_xvfb(&server, &error);
//   std::string folder = make_temp_folder("esc");
//   write_file(folder + "/vs.fx", plain_vertex_shader());
//   write_file(folder + "/ps.fx", solid_pixel_shader(0.2f, 0.4f, 0.6f));
//   viewer_run run;                  start_viewer(launch_for(platform, server, folder), &run,
//   &error); viewer_area area;                find_viewer_area(server.display, platform, 30000,
//   &area, &error);
//   ... look at pixels, press keys ...
//   wait_for_exit(&run, 30000);
//   end_platform_session(platform, server);  stop_xvfb(&server);  remove_folder(folder);
#pragma once

#include "x11_probe.h"

#include <X11/Xlib.h>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

// ---- the binaries under test ------------------------------------------------

// The Linux viewer built beside the tests, or the one $QO_TEST_VIEWER names
// (to run the scenarios against another build of it).
std::string linux_viewer_path();

// The Windows viewer (qo.exe) the build was configured with through
// QO_WINDOWS_EXE; empty when none was.
std::string windows_viewer_path();

// The Wine prefix the wine scenarios share during one ctest run (made by the
// ctest fixture that runs wine_prefix.sh); empty when the build has none.
std::string wine_prefix_path();

// ---- platforms ----------------------------------------------------------------

// How the viewer is started on one platform and what differs in what it
// shows: the same scenarios run on both.
struct viewer_platform {
    std::string name;                     // "linux" or "wine"
    std::vector<std::string> command;     // program and arguments: {qo} or {wine, qo.exe}
    std::vector<std::string> environment; // "NAME=value" set for every run
    std::string line_end;                 // what ends a stdout line: "\n" or "\r\n"
    bool wine = false;
};

viewer_platform linux_platform();
// Wine with the shared prefix: WINEPREFIX, WINEDEBUG=-all and
// WINEDLLOVERRIDES="mscoree,mshtml=" (no installer dialogs).
viewer_platform wine_platform();

// Whether the platform's files are all there (binary, wine, prefix); when
// not, `error` says what is missing.
bool platform_ready(const viewer_platform& platform, std::string* error);

// Ends what the platform left running on the display after a scenario: for
// Wine, `wineserver -k` on the prefix (and waits for it). Nothing on Linux.
void end_platform_session(const viewer_platform& platform);

// ---- an X server of the test's own -------------------------------------------

struct xvfb_server {
    pid_t pid = -1;
    std::string name;           // ":N", for DISPLAY
    Display* display = nullptr; // the test's own connection to it
};

// Starts `Xvfb -displayfd FD -screen 0 1024x768x24 -nolisten tcp` (the server
// picks a free display number) and connects to it. Waits up to `timeout_ms`.
bool start_xvfb(xvfb_server* server, std::string* error, int timeout_ms = 30000);

// Closes the connection, ends the server and reaps it. Safe to call twice.
void stop_xvfb(xvfb_server* server);

// A display name (":N") that no X server serves on this machine.
std::string unserved_display_name();

// An X error handler that ignores every error: a test's requests may name a
// window the viewer or a window manager has just destroyed.
int ignore_x_errors(Display* display, XErrorEvent* error);

// ---- files --------------------------------------------------------------------

// A new empty folder under the temporary directory; "" on failure.
std::string make_temp_folder(const std::string& tag);
// A test's name as a short part of a folder name: its first 24 characters,
// with the '/' of parameterised names as '-'.
std::string folder_tag(const std::string& test_name);
// Removes the folder and everything in it.
void remove_folder(const std::string& path);
// Replaces the file's contents (written beside it and renamed over it, so a
// reader never sees half a file).
bool write_file(const std::string& path, const std::string& bytes);
// The file's bytes; "" when it can't be read.
std::string read_file(const std::string& path);

// ---- the viewer process -------------------------------------------------------

struct viewer_launch {
    std::vector<std::string> command;     // program and arguments
    std::string folder;                   // the working directory
    std::string display_name;             // DISPLAY; empty: DISPLAY is removed
    std::vector<std::string> environment; // extra "NAME=value"; a bare "NAME" removes it
    std::vector<int> ignored_signals;     // set to SIG_IGN before the start (as nohup does)
};

// The launch of `platform` in `folder` on `display_name`, with `extra`
// environment added after the platform's.
viewer_launch launch_for(const viewer_platform& platform, const std::string& display_name,
                         const std::string& folder, const std::vector<std::string>& extra = {});

// "NAME=value" for a launch's environment: the value NAME has in the test's
// own environment, if any, then `separator`, then `item` (LD_PRELOAD takes
// " ", ASAN_OPTIONS ":"), so what the caller preloads comes first.
std::string environment_with_added(const char* name, const std::string& item,
                                   const char* separator);

struct viewer_run {
    pid_t pid = -1;          // the process (its own process group)
    std::string stdout_path; // where its standard output goes
    std::string stderr_path; // and its standard error
    bool exited = false;
    int status = -1;     // the exit status, or 128 + signal number
    int signal = 0;      // the signal that ended it; 0 when it exited
    bool killed = false; // ended by the harness after a deadline
};

// Starts the viewer with stdout and stderr redirected to files in the folder
// ("qo.stdout", "qo.stderr") and stdin from /dev/null.
bool start_viewer(const viewer_launch& launch, viewer_run* run, std::string* error);

// Waits for the process to end. On timeout kills its process group, reaps it,
// sets `killed` and returns false.
bool wait_for_exit(viewer_run* run, int timeout_ms);

// Whether the process has ended by now (reaps it when it has).
bool has_exited(viewer_run* run);

// Kills the process group of a run still going and reaps it.
void kill_viewer(viewer_run* run);

std::string run_stdout(const viewer_run& run);
std::string run_stderr(const viewer_run& run);

// Prints the run's stdout and stderr, for a test that failed; nothing for a
// run that never started.
void print_viewer_output(const viewer_run& run);

// Polls until `text` shows up in the run's standard error (unbuffered in the
// viewer, so it shows up as soon as written). False after `timeout_ms`.
bool wait_for_stderr(const viewer_run& run, const std::string& text, int timeout_ms);

// ---- standard output ------------------------------------------------------------

// The builds in the viewer's standard output, split on `line_end`: each build
// is a line holding the program number and a line starting "prog:" (the link
// log may go on over further lines, which belong to that build). `ok` is
// false, with `fault` telling where, when the text is not made of such builds
// or a line does not end with `line_end`.
struct build_report {
    int builds = 0;
    std::vector<std::string> link_logs; // what follows "prog:" in each build
    bool ok = true;
    std::string fault;
};
build_report parse_builds(const std::string& output, const std::string& line_end);

// ---- the viewer's window -------------------------------------------------------

// Where the viewer's client area is on the screen. `window` is the X window
// titled "qo"; the area is in root coordinates.
struct viewer_area {
    Window window = 0;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// Waits for the viewer's window and works out its client area. The X window
// titled "qo" is the client area on both platforms: on Linux it is the
// viewer's own 800x600 window; under Wine without a window manager, Wine
// still leaves the frame (caption and borders) to a manager, so the X
// window titled "qo" is only the client area (794x575 at (3, 22) for the
// 800x600 window with Wine 8's default metrics), with the GL drawable as a
// child window of the same size, and nobody draws the frame around it.
bool find_viewer_area(Display* display, const viewer_platform& platform, int timeout_ms,
                      viewer_area* area, std::string* error);

struct rgb {
    int r = 0;
    int g = 0;
    int b = 0;
};
bool operator==(const rgb& a, const rgb& b);
std::string describe(const rgb& colour);

// Reads the screen inside the area (root-window pixels, so what is shown).
bool grab_area(Display* display, const viewer_area& area, probe_image* image);
// One pixel of the area, at (x, y) from its top left corner.
bool read_pixel(Display* display, const viewer_area& area, int x, int y, rgb* colour);

// How many pixels of the image differ from `colour`; the first one's place
// and colour in `first` when any.
long count_other_pixels(const probe_image& image, const rgb& colour, std::string* first);

// Polls until every pixel of the area is `colour`. False after `timeout_ms`,
// with what the screen last showed in `seen`.
bool wait_for_uniform_colour(Display* display, const viewer_area& area, const rgb& colour,
                             int timeout_ms, std::string* seen);

// ---- keys, focus, windows of the test's own --------------------------------------

// Presses or releases the key through XTest, as the keyboard would, and waits
// until the server has taken it.
bool fake_key(Display* display, KeySym key, bool down);

// Gives the keyboard focus to the window (no window manager does it under
// bare Xvfb) and waits until the server reports it focused.
bool focus_window(Display* display, Window window, int timeout_ms);

// Sends WM_DELETE_WINDOW, as a window manager's close button does.
void send_close_request(Display* display, Window window);

// A small mapped window of the test's own at (x, y), out of the viewer's
// way; 0 on failure.
Window create_own_window(Display* display, int x, int y, int width, int height);

// ---- shaders and the pixel frame clock ---------------------------------------------

// vs.fx passing the rectangle through unchanged.
std::string plain_vertex_shader();

// ps.fx painting one colour (components 0..255).
std::string solid_pixel_shader(const rgb& colour);

// ps.fx writing the frame number n = round(fpar[2].x * 60) into the colour,
// with a tag (0..3) telling which version of the shader drew it:
//   red = n mod 256, green = (n / 256) mod 256, blue = tag * 64 + n / 65536.
std::string clock_pixel_shader(int tag);

// What a pixel drawn by clock_pixel_shader says; false for a colour the
// shader can't produce in a run this short (black, white, ...).
struct clock_reading {
    long frame = -1;
    int tag = -1;
};
clock_reading decode_clock(const rgb& colour);

// Reads the clock at the centre of the area; frame -1 when unreadable.
clock_reading read_clock(Display* display, const viewer_area& area);

// Polls until the clock shows `tag` (any tag when -1) and a frame of at least
// `frame`. Returns the reading that satisfied it, or one with frame -1 after
// `timeout_ms`.
clock_reading wait_for_clock(Display* display, const viewer_area& area, int tag, long frame,
                             int timeout_ms);

// ---- polling ------------------------------------------------------------------------

// Polls `condition` with short pauses until it holds or `timeout_ms` passed.
template <typename Condition> bool poll_until(Condition condition, int timeout_ms);

#include <chrono>
#include <thread>
template <typename Condition> bool poll_until(Condition condition, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (condition()) {
            return true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}
