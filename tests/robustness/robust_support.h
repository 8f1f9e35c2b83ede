// What the robustness scenarios need beside the integration harness
// (tests/integration/harness.h): a fixture that owns one viewer run on an
// Xvfb of its own, the viewer's resident memory, editors saving a file over
// and over, and a real window manager (openbox) with the requests a pager or
// a taskbar sends it.
#pragma once

// GoogleTest before Xlib, whose None macro would break it.
#include <gtest/gtest.h>

#include "harness.h"

#include <X11/Xlib.h>
#include <atomic>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

// Generous: the machine is shared, and Wine starts slowly.
constexpr int deadline_ms = 60000;

// ---- the scenario fixture ----------------------------------------------------

// One X server, one working folder and one viewer run per test, all ended
// and removed in TearDown (with the viewer's output printed when the test
// failed).
class RobustScenario : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    Display* display() {
        return server_.display;
    }
    std::string path(const std::string& name) const {
        return folder_ + "/" + name;
    }

    // Writes vs.fx (passing the rectangle through) and ps.fx.
    void write_shaders(const std::string& pixel);

    // Starts the viewer in the folder (the platform's command after
    // `wrapper`, when given) and waits for its window (under Wine, focused).
    void start_and_find_window(const std::vector<std::string>& wrapper = {});

    void key(KeySym key, bool down);

    // Waits until the whole client area shows `colour`; fails the test when
    // it doesn't or the viewer ended.
    void expect_picture(const rgb& colour);

    // Waits until the pixel clock shows `tag` and a frame of at least
    // `frame`; gives up at once when the viewer ends. Frame -1 when not.
    clock_reading wait_for_clock_while_running(int tag, long frame, int timeout_ms);

    // The whole client area in one colour, which it returns; fails the test
    // when the area is not uniform.
    rgb uniform_picture();

    // Sends the close request (WM_DELETE_WINDOW) and expects the viewer to
    // end with status 0.
    void close_and_expect_0();

    // The builds of the whole run, checked for shape.
    build_report builds();

    // How many lines of the viewer's stderr start with `start`.
    int stderr_lines_starting(const std::string& start);

    viewer_platform platform_;
    xvfb_server server_;
    std::string folder_;
    viewer_run run_;
    viewer_area area_;
    pid_t window_manager_ = -1;
};

// The platform the executable tests: Linux, or qo.exe under Wine.
viewer_platform scenario_platform();

// ---- processes -----------------------------------------------------------------

// VmRSS of the process in KiB from /proc/PID/status; -1 when unreadable.
long resident_kib(pid_t pid);

// The number of newline characters in the file, 0 when it can't be read.
long count_lines_in_file(const std::string& path);

// Ends a process a scenario started (SIGTERM, then SIGKILL) and reaps it.
void stop_child(pid_t pid);

// The program that runs a command with its standard output a closed pipe.
std::string closed_stdout_wrapper_path();

// ---- editors ----------------------------------------------------------------------

// How an editor saves a file.
enum class save_style {
    rename_over,      // writes a new file beside it and renames it over (vim, most IDEs)
    truncate_rewrite, // truncates it and writes the text in place (nano, `echo >`)
};

void PrintTo(save_style style, std::ostream* out);

// One save of `text` in the given style.
bool save_file(const std::string& path, const std::string& text, save_style style);

// A thread saving a file again and again in one style, alternating two
// texts, until stop_editor (or the end of the scope, when an assertion
// leaves the test early).
struct editor_loop;
void start_editor(editor_loop* loop, const std::string& path, save_style style,
                  const std::string& text_a, const std::string& text_b);
void stop_editor(editor_loop* loop);
struct editor_loop {
    std::thread thread;
    std::atomic<bool> stop{false};
    std::atomic<long> saves{0};
    ~editor_loop() {
        stop_editor(this);
    }
};

// ---- a real window manager ----------------------------------------------------------

// Starts openbox on the display with a configuration written into
// `config_folder`, and waits until it manages the screen (the root's
// _NET_SUPPORTING_WM_CHECK is set). Returns its pid, or -1 with `error`.
pid_t start_openbox(const std::string& display_name, const std::string& config_folder,
                    int timeout_ms, std::string* error);

// EWMH requests, sent to the root as a pager or a taskbar sends them.
void send_net_wm_state(Display* display, Window window, long action, const char* first,
                       const char* second);
void send_net_active_window(Display* display, Window window);
void send_net_close_window(Display* display, Window window);
void send_net_moveresize(Display* display, Window window, int x, int y, int width, int height);

// The atoms of a window property of type ATOM, by name.
std::vector<std::string> atom_list(Display* display, Window window, const char* property);

// WM_STATE of a client window: 1 normal, 3 iconic, 0 withdrawn or none.
long wm_state(Display* display, Window window);

// The window's map state (IsViewable, IsUnmapped, ...) and size; false when
// it is gone.
bool window_geometry(Display* display, Window window, int* map_state, int* width, int* height);

// _MOTIF_WM_HINTS: its flags and functions words; false when absent.
bool motif_functions(Display* display, Window window, unsigned long* flags,
                     unsigned long* functions);
