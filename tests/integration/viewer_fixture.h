// The fixture the viewer scenarios share: an X server of the test's own, a
// fresh working folder, the viewer's run and its window; the run is ended and,
// when the test failed, its output printed. Include <gtest/gtest.h> and
// "harness.h" before this header.
#pragma once

#include <string>

// Generous: the machine is shared, and Wine starts slowly.
constexpr int deadline_ms = 60000;

class ViewerFixture : public ::testing::Test {
  protected:
    // For SetUp: the platform, its X server and a folder named after
    // `prefix` and the test.
    void open_fixture(const viewer_platform& platform, const std::string& prefix) {
        platform_ = platform;
        std::string error;
        ASSERT_TRUE(platform_ready(platform_, &error)) << error;
        ASSERT_TRUE(start_xvfb(&server_, &error)) << error;
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string tag = folder_tag(info->name());
        folder_ = make_temp_folder(prefix + "-" + tag);
        ASSERT_FALSE(folder_.empty()) << "cannot make a temporary folder";
    }

    void TearDown() override {
        kill_viewer(&run_);
        if (HasFailure()) {
            print_viewer_output(run_);
        }
        end_platform_session(platform_);
        stop_xvfb(&server_);
        remove_folder(folder_);
    }

    // Starts the viewer in the folder on `pixel_shader` (and the plain vertex
    // shader), finds its window, focuses it and waits until the clock
    // shader's first frame (tag 0) is on screen.
    void start_focused_on(const std::string& pixel_shader) {
        ASSERT_TRUE(write_file(folder_ + "/vs.fx", plain_vertex_shader()));
        ASSERT_TRUE(write_file(folder_ + "/ps.fx", pixel_shader));
        run_ = viewer_run();
        std::string error;
        ASSERT_TRUE(start_viewer(launch_for(platform_, server_.name, folder_), &run_, &error))
            << error;
        ASSERT_TRUE(find_viewer_area(display(), platform_, deadline_ms, &area_, &error))
            << error << "\nstderr: " << run_stderr(run_);
        ASSERT_TRUE(focus_window(display(), area_.window, deadline_ms));
        ASSERT_GE(wait_for_clock(display(), area_, 0, 1, deadline_ms).frame, 0) << "not drawing";
    }

    Display* display() {
        return server_.display;
    }

    // The builds in stdout, checked for shape.
    build_report builds() {
        build_report report = parse_builds(run_stdout(run_), platform_.line_end);
        EXPECT_TRUE(report.ok) << report.fault;
        return report;
    }

    // The clock, once it shows a frame of at least `frame` (any tag); fails
    // the test when the viewer ends or the clock stops.
    clock_reading clock_at_least(long frame) {
        clock_reading reading = wait_for_clock(display(), area_, -1, frame, deadline_ms);
        EXPECT_GE(reading.frame, 0) << "the frame clock did not reach frame " << frame;
        return reading;
    }

    viewer_platform platform_;
    xvfb_server server_;
    std::string folder_;
    viewer_run run_;
    viewer_area area_;
};
