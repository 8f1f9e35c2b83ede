// The viewer stopped from outside while its standard output goes to a file
// (block-buffered): the process still ends the way the stop request ends it,
// and every build written before it is in the file, whole. Built for Linux
// (SIGINT, SIGTERM, SIGHUP) and, with QO_SCENARIOS_ON_WINE, for qo.exe under
// Wine, which turns a SIGINT to its process into Ctrl+C (CTRL_C_EVENT).
// GoogleTest before the X11 headers: Xlib's macros (None, Bool) would break it.
#include <gtest/gtest.h>

#include "harness.h"

#include <X11/keysym.h>
#include <csignal>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

#if QO_SCENARIOS_ON_WINE
viewer_platform stop_platform() {
    return wine_platform();
}
#else
viewer_platform stop_platform() {
    return linux_platform();
}
#endif

constexpr int deadline_ms = 60000;

// What a console break ends a Windows process with (STATUS_CONTROL_C_EXIT),
// as the exit status Wine hands to its Unix parent: the low byte.
constexpr int wine_control_c_status = 0xC000013A & 0xff;

long file_size(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 ? static_cast<long>(status.st_size) : -1;
}

struct line_counts {
    int numbers = 0;
    int progs = 0;
    int incomplete = 0; // a last line without its line end
};

line_counts count_lines(const std::string& output, const std::string& line_end) {
    line_counts counts;
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find(line_end, start);
        if (end == std::string::npos) {
            counts.incomplete = 1;
            break;
        }
        std::string line = output.substr(start, end - start);
        if (line.compare(0, 5, "prog:") == 0) {
            ++counts.progs;
        } else if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos) {
            ++counts.numbers;
        }
        start = end + line_end.size();
    }
    return counts;
}

class StopSignal : public ::testing::Test {
  protected:
    void SetUp() override {
        platform_ = stop_platform();
        std::string error;
        ASSERT_TRUE(platform_ready(platform_, &error)) << error;
        ASSERT_TRUE(start_xvfb(&server_, &error)) << error;
        folder_ = make_temp_folder(platform_.name + "-stop");
        ASSERT_FALSE(folder_.empty()) << "cannot make a temporary folder";
        ASSERT_TRUE(write_file(folder_ + "/vs.fx", plain_vertex_shader()));
        ASSERT_TRUE(write_file(folder_ + "/ps.fx", clock_pixel_shader(0)));
    }

    void TearDown() override {
        if (f5_down_) {
            fake_key(server_.display, XK_F5, false);
        }
        kill_viewer(&run_);
        if (HasFailure() && run_.pid > 0) {
            std::string out = run_stdout(run_);
            std::printf("---- the viewer's stdout (%zu bytes), its end ----\n%s\n"
                        "---- its stderr ----\n%s\n----\n",
                        out.size(), out.substr(out.size() > 400 ? out.size() - 400 : 0).c_str(),
                        run_stderr(run_).c_str());
        }
        end_platform_session(platform_);
        stop_xvfb(&server_);
        remove_folder(folder_);
    }

    // Starts the viewer (with `ignored` signals ignored from the start),
    // waits for its window, focuses it and waits for its first frames.
    void start_and_watch_clock(const std::vector<int>& ignored = {}) {
        std::string error;
        viewer_launch launch = launch_for(platform_, server_.name, folder_);
        launch.ignored_signals = ignored;
        ASSERT_TRUE(start_viewer(launch, &run_, &error)) << error;
        ASSERT_TRUE(find_viewer_area(server_.display, platform_, deadline_ms, &area_, &error))
            << error << "\nstderr: " << run_stderr(run_);
        ASSERT_TRUE(focus_window(server_.display, area_.window, deadline_ms));
        ASSERT_GE(wait_for_clock(server_.display, area_, 0, 1, deadline_ms).frame, 0)
            << "the viewer drew no frame";
    }

    // Holds F5 for a few hundred frames, more builds than one stdout buffer
    // holds, so that the stop comes with a buffer holding some of them.
    // Returns how many frames at least were drawn with F5 held before it.
    long hold_f5_through_a_buffer() {
        EXPECT_TRUE(fake_key(server_.display, XK_F5, true));
        f5_down_ = true;
        clock_reading after_press = read_clock(server_.display, area_);
        EXPECT_GE(after_press.frame, 0);
        clock_reading held =
            wait_for_clock(server_.display, area_, 0, after_press.frame + 450, deadline_ms);
        EXPECT_GE(held.frame, 0) << "the frame clock stopped with F5 held";
        EXPECT_GT(file_size(run_.stdout_path), 0) << "nothing reached the stdout file";
        // Every frame from two after the first one seen with F5 down built
        // (Wine: two frames of slack, see F5HeldRebuildsEveryFrame).
        long slack = platform_.wine ? 2 : 0;
        return held.frame - after_press.frame - 1 - slack;
    }

    void release_f5() {
        if (f5_down_) {
            EXPECT_TRUE(fake_key(server_.display, XK_F5, false));
            f5_down_ = false;
        }
    }

    // The stdout file: complete lines only, a prog: line for every number.
    build_report expect_whole_builds() {
        std::string output = run_stdout(run_);
        line_counts counts = count_lines(output, platform_.line_end);
        EXPECT_EQ(counts.incomplete, 0) << "the file ends in the middle of a line";
        EXPECT_EQ(counts.progs, counts.numbers);
        build_report report = parse_builds(output, platform_.line_end);
        EXPECT_TRUE(report.ok) << report.fault;
        return report;
    }

    viewer_platform platform_;
    xvfb_server server_;
    std::string folder_;
    viewer_run run_;
    viewer_area area_;
    bool f5_down_ = false;
};

struct stop_case {
    const char* name;
    int signal;
    bool f5_held; // rebuilding every frame when the signal comes
};

class StopsBySignal : public StopSignal, public ::testing::WithParamInterface<stop_case> {};

TEST_P(StopsBySignal, EndsByItWithEveryBuildWrittenWhole) {
    const stop_case& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(start_and_watch_clock());
    long built_frames = 0;
    if (c.f5_held) {
        built_frames = hold_f5_through_a_buffer();
        ASSERT_FALSE(HasFailure());
    }
    ASSERT_EQ(kill(run_.pid, c.signal), 0);
    bool ended = wait_for_exit(&run_, deadline_ms);
    release_f5();
    ASSERT_TRUE(ended) << "the viewer did not end on the signal: killed";

    if (platform_.wine) {
        EXPECT_EQ(run_.signal, 0);
        EXPECT_EQ(run_.status, wine_control_c_status)
            << "not the exit code of a console break (STATUS_CONTROL_C_EXIT)";
    } else {
        EXPECT_EQ(run_.signal, c.signal) << "exit status " << run_.status;
    }
    build_report report = expect_whole_builds();
    std::printf("%d builds written, at least %ld frames with F5 held\n", report.builds,
                built_frames);
    if (c.f5_held) {
        EXPECT_GE(report.builds - 1, built_frames) << "builds are missing";
    } else {
        EXPECT_EQ(report.builds, 1);
    }
}

#if QO_SCENARIOS_ON_WINE
// Wine turns only SIGINT into a console event (Ctrl+C).
INSTANTIATE_TEST_SUITE_P(Signals, StopsBySignal,
                         ::testing::Values(stop_case{"ctrl_c_idle", SIGINT, false},
                                           stop_case{"ctrl_c_f5_held", SIGINT, true}),
                         [](const ::testing::TestParamInfo<stop_case>& info) {
                             return std::string(info.param.name);
                         });
#else
INSTANTIATE_TEST_SUITE_P(Signals, StopsBySignal,
                         ::testing::Values(stop_case{"sigint_idle", SIGINT, false},
                                           stop_case{"sigint_f5_held", SIGINT, true},
                                           stop_case{"sigterm_idle", SIGTERM, false},
                                           stop_case{"sigterm_f5_held", SIGTERM, true},
                                           stop_case{"sighup_idle", SIGHUP, false},
                                           stop_case{"sighup_f5_held", SIGHUP, true}),
                         [](const ::testing::TestParamInfo<stop_case>& info) {
                             return std::string(info.param.name);
                         });

// The X server stops answering (stopped here with SIGSTOP), so the loop
// never gets to its next frame: the signal still ends the viewer, by that
// signal, once the grace has passed, without waiting for the server.
TEST_F(StopSignal, EndsByItWhileTheXServerDoesNotAnswer) {
    ASSERT_NO_FATAL_FAILURE(start_and_watch_clock());
    ASSERT_EQ(kill(server_.pid, SIGSTOP), 0);
    ASSERT_EQ(kill(run_.pid, SIGINT), 0);
    bool ended = wait_for_exit(&run_, deadline_ms);
    kill(server_.pid, SIGCONT);
    ASSERT_TRUE(ended) << "the viewer did not end while the X server was stopped: killed";
    EXPECT_EQ(run_.signal, SIGINT) << "exit status " << run_.status;
}

// Started with SIGHUP ignored (nohup): it stays ignored, the viewer goes on
// and ends on a close request as usual.
TEST_F(StopSignal, IgnoredAtStartStaysIgnored) {
    ASSERT_NO_FATAL_FAILURE(start_and_watch_clock({SIGHUP}));
    ASSERT_EQ(kill(run_.pid, SIGHUP), 0);
    clock_reading now = read_clock(server_.display, area_);
    ASSERT_GE(now.frame, 0);
    EXPECT_GE(wait_for_clock(server_.display, area_, 0, now.frame + 60, deadline_ms).frame, 0)
        << "the viewer stopped drawing after the ignored SIGHUP";
    send_close_request(server_.display, area_.window);
    ASSERT_TRUE(wait_for_exit(&run_, deadline_ms)) << "the viewer did not end: killed";
    EXPECT_EQ(run_.signal, 0);
    EXPECT_EQ(run_.status, 0);
    EXPECT_EQ(expect_whole_builds().builds, 1);
}
#endif

} // namespace
