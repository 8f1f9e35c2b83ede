// Faults around the viewer: its standard output a closed pipe, the X server
// going away, its window destroyed by another client.
#include "robust_support.h"

#include <X11/keysym.h>
#include <signal.h>
#include <string>
#include <vector>

namespace {

using fault = RobustScenario;

// Every frame with F5 down builds and prints; with stdout a pipe nobody
// reads, each block the C library writes fails with EPIPE. qo ignores
// SIGPIPE, so it lives on, draws, and ends with 0 on close.
TEST_F(fault, StdoutIsAClosedPipeWhileF5Held) {
    ASSERT_NO_FATAL_FAILURE(write_shaders(clock_pixel_shader(1)));
    ASSERT_NO_FATAL_FAILURE(start_and_find_window({closed_stdout_wrapper_path()}));
    clock_reading start = wait_for_clock_while_running(1, 1, deadline_ms);
    ASSERT_GE(start.frame, 0) << "not drawing";

    // A build per frame: 1500 frames write some 20 KB, several blocks.
    ASSERT_NO_FATAL_FAILURE(key(XK_F5, true));
    clock_reading held = wait_for_clock_while_running(1, start.frame + 1500, 4 * deadline_ms);
    ASSERT_NO_FATAL_FAILURE(key(XK_F5, false));
    ASSERT_FALSE(has_exited(&run_)) << "the viewer ended, status " << run_.status
                                    << (run_.status == 128 + SIGPIPE ? " (SIGPIPE)" : "");
    ASSERT_GE(held.frame, 0) << "the clock stopped while F5 was held";

    // Still drawing with F5 up.
    clock_reading later = read_clock(display(), area_);
    EXPECT_GE(wait_for_clock_while_running(1, later.frame + 30, deadline_ms).frame, 0);
    ASSERT_NO_FATAL_FAILURE(close_and_expect_0());
    EXPECT_EQ(run_stderr(run_), "");
}

// Started without a standard descriptor (`qo 2>&-`, `qo >&-`, `qo <&-`):
// the X connection must not take its number, or the compile errors and the
// build lines would go into the X protocol stream and freeze the viewer. A
// storm of failed builds (compile errors on stderr, a few blocks of build
// lines), then a good shader: the viewer draws all along, rebuilds, and ends
// with 0 on Esc or on the close request.
struct closed_descriptor_case {
    int descriptor;
    bool escape; // ends on Esc; else on the close request
};

void PrintTo(const closed_descriptor_case& c, std::ostream* out) {
    *out << "descriptor " << c.descriptor << " closed, ended by "
         << (c.escape ? "Esc" : "the close request");
}

class ClosedDescriptor : public RobustScenario,
                         public ::testing::WithParamInterface<closed_descriptor_case> {};

TEST_P(ClosedDescriptor, ViewerRunsAndEndsWith0) {
    const closed_descriptor_case& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(write_shaders(clock_pixel_shader(1)));
    ASSERT_NO_FATAL_FAILURE(start_and_find_window(
        {closed_stdout_wrapper_path(), "--close", std::to_string(c.descriptor)}));
    ASSERT_TRUE(focus_window(display(), area_.window, deadline_ms));
    clock_reading start = wait_for_clock_while_running(1, 1, deadline_ms);
    ASSERT_GE(start.frame, 0) << "not drawing";

    // Every frame with F5 down fails to build; the last program that linked
    // goes on drawing the clock.
    ASSERT_TRUE(write_file(path("ps.fx"), "void main() { gl_FragColor = vec4(1.0) +; }\n"));
    ASSERT_NO_FATAL_FAILURE(key(XK_F5, true));
    clock_reading held = wait_for_clock_while_running(1, start.frame + 300, 4 * deadline_ms);
    ASSERT_NO_FATAL_FAILURE(key(XK_F5, false));
    ASSERT_GE(held.frame, 0) << "the clock stopped while the failed builds were written";

    ASSERT_NO_FATAL_FAILURE(write_shaders(clock_pixel_shader(2)));
    ASSERT_NO_FATAL_FAILURE(key(XK_F5, true));
    ASSERT_NO_FATAL_FAILURE(key(XK_F5, false));
    clock_reading rebuilt = wait_for_clock_while_running(2, 1, deadline_ms);
    ASSERT_GE(rebuilt.frame, 0) << "F5 did not rebuild";
    EXPECT_GE(wait_for_clock_while_running(2, rebuilt.frame + 30, deadline_ms).frame, 0);

    if (c.escape) {
        ASSERT_NO_FATAL_FAILURE(key(XK_Escape, true));
        ASSERT_NO_FATAL_FAILURE(key(XK_Escape, false));
        ASSERT_TRUE(wait_for_exit(&run_, deadline_ms)) << "Esc did not end the viewer: killed";
        EXPECT_EQ(run_.status, 0);
    } else {
        ASSERT_NO_FATAL_FAILURE(close_and_expect_0());
    }
    if (c.descriptor == 2) {
        // The build lines went out whole (the compile errors went nowhere):
        // the first, the storm's, the fixed one.
        EXPECT_GE(builds().builds, 3);
    }
}

INSTANTIATE_TEST_SUITE_P(StandardDescriptors, ClosedDescriptor,
                         ::testing::Values(closed_descriptor_case{2, true},
                                           closed_descriptor_case{2, false},
                                           closed_descriptor_case{1, true},
                                           closed_descriptor_case{1, false},
                                           closed_descriptor_case{0, true}));

// --help and --version whose text cannot be written (a full disk, a closed
// standard output): status 1 and one line on stderr that says why, as GNU
// tools do, never a success.
TEST_F(fault, HelpAndVersionThatCannotBeWrittenEndWith1) {
    struct Case {
        const char* option;
        std::vector<std::string> wrapper;
        const char* reason;
    };
    const Case cases[] = {
        {"--help", {"--full"}, "No space left on device"},
        {"--version", {"--full"}, "No space left on device"},
        {"--help", {"--close", "1"}, "Bad file descriptor"},
        {"--version", {"--close", "1"}, "Bad file descriptor"},
    };
    for (const Case& c : cases) {
        viewer_launch launch = launch_for(platform_, "", folder_);
        launch.command.insert(launch.command.begin(), c.wrapper.begin(), c.wrapper.end());
        launch.command.insert(launch.command.begin(), closed_stdout_wrapper_path());
        launch.command.push_back(c.option);
        std::string error;
        ASSERT_TRUE(start_viewer(launch, &run_, &error)) << error;
        ASSERT_TRUE(wait_for_exit(&run_, deadline_ms)) << "killed";
        EXPECT_EQ(run_.status, 1) << c.option << " " << c.wrapper[0];
        EXPECT_EQ(run_stderr(run_), std::string("qo: write error: ") + c.reason + "\n")
            << c.option << " " << c.wrapper[0];
    }
}

// The X server ends (crashed, killed, the session logged out): the viewer
// says so and ends with 1 at once, without hanging and without a signal.
enum class activity { idle, f5_held };

void PrintTo(activity a, std::ostream* out) {
    *out << (a == activity::idle ? "idle" : "F5 held");
}

class XServerGoesAway : public RobustScenario, public ::testing::WithParamInterface<activity> {};

TEST_P(XServerGoesAway, ViewerEndsWith1AndSaysWhy) {
    ASSERT_NO_FATAL_FAILURE(write_shaders(clock_pixel_shader(1)));
    ASSERT_NO_FATAL_FAILURE(start_and_find_window());
    clock_reading start = wait_for_clock_while_running(1, 1, deadline_ms);
    ASSERT_GE(start.frame, 0) << "not drawing";
    // Counted from the first frame that F5 rebuilt, which shows the edited
    // shader (tag 2): the press may reach the viewer a frame or more after
    // any reading taken before it. That frame and every one up to the frame
    // seen 100 later looked at F5 held and rebuilt.
    long first_rebuilt = -1;
    long last_held = -1;
    if (GetParam() == activity::f5_held) {
        ASSERT_NO_FATAL_FAILURE(write_shaders(clock_pixel_shader(2)));
        ASSERT_NO_FATAL_FAILURE(key(XK_F5, true));
        first_rebuilt = wait_for_clock_while_running(2, 0, deadline_ms).frame;
        ASSERT_GE(first_rebuilt, 0) << "F5 held did not rebuild";
        last_held = wait_for_clock_while_running(2, first_rebuilt + 100, deadline_ms).frame;
        ASSERT_GE(last_held, 0);
    }

    // The test's own connection goes first, so that only the viewer sees the
    // server die; the key stays down in the server till the end.
    XCloseDisplay(server_.display);
    server_.display = nullptr;
    ASSERT_EQ(kill(server_.pid, SIGKILL), 0);

    ASSERT_TRUE(wait_for_exit(&run_, deadline_ms)) << "the viewer hung: killed";
    EXPECT_EQ(run_.status, 1) << (run_.status > 128 ? "ended by a signal" : "");
    std::string err = run_stderr(run_);
    EXPECT_NE(err.find("qo: lost the connection to the X server\n"), std::string::npos) << err;
    // The build lines written so far are not lost.
    build_report report = builds();
    if (GetParam() == activity::f5_held) {
        // The start build and one for each frame from the first rebuilt to
        // the last seen while held.
        EXPECT_GE(report.builds, 1 + (last_held - first_rebuilt + 1))
            << "frames " << first_rebuilt << " to " << last_held << " rebuilt";
    } else {
        EXPECT_GE(report.builds, 1);
    }
}

INSTANTIATE_TEST_SUITE_P(fault, XServerGoesAway,
                         ::testing::Values(activity::idle, activity::f5_held),
                         [](const ::testing::TestParamInfo<activity>& info) {
                             return std::string(info.param == activity::idle ? "idle"
                                                                             : "while_f5_held");
                         });

// Another client destroys the viewer's window (xkill -id does the same with
// the whole connection; this leaves the connection up): the viewer takes it
// as a quit request and ends with 0.
TEST_F(fault, WindowDestroyedFromOutsideEndsWith0) {
    ASSERT_NO_FATAL_FAILURE(write_shaders(clock_pixel_shader(1)));
    ASSERT_NO_FATAL_FAILURE(start_and_find_window());
    ASSERT_GE(wait_for_clock_while_running(1, 1, deadline_ms).frame, 0) << "not drawing";

    XDestroyWindow(display(), area_.window);
    XSync(display(), False);
    ASSERT_TRUE(wait_for_exit(&run_, deadline_ms)) << "the viewer did not end: killed";
    EXPECT_EQ(run_.status, 0);
    EXPECT_EQ(builds().builds, 1);
    EXPECT_EQ(run_stderr(run_), "");
}

} // namespace
