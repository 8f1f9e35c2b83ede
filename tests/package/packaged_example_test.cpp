// The viewer from the Debian package draws the packaged example. Run by
// package-test.sh after `dpkg-deb -x`, with $QO_TEST_VIEWER naming the
// extracted /usr/bin/qo and $QO_PACKAGE_EXAMPLES its
// /usr/share/doc/qo/examples.
// GoogleTest before the X11 headers: Xlib's macros (None, Bool) would break it.
#include <gtest/gtest.h>

#include "harness.h"

#include <cstdlib>
#include <string>

namespace {

constexpr int deadline_ms = 120000; // the example ray-marches on a software renderer

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// The example's picture, looked at where it can't move: the top row is sky
// (a blue gradient, above everything the camera sees), and the centre is the
// bobbing ball (or the ring spinning around it), whatever the camera's
// angle: the camera looks at the origin, which stays inside the ball.
struct example_reading {
    rgb sky;
    rgb centre;
    bool drawn() const {
        return sky.b > sky.r + 30 && sky.b > 120 && centre.r > centre.b + 40;
    }
};

TEST(PackagedViewer, DrawsTheExampleOnXvfbAndEndsWith0OnClose) {
    std::string viewer = environment("QO_TEST_VIEWER");
    std::string examples = environment("QO_PACKAGE_EXAMPLES");
    ASSERT_FALSE(viewer.empty()) << "QO_TEST_VIEWER names no viewer (run through package-test.sh)";
    ASSERT_FALSE(examples.empty()) << "QO_PACKAGE_EXAMPLES is not set";
    ASSERT_EQ(linux_viewer_path(), viewer);

    std::string vertex = read_file(examples + "/vs.fx");
    std::string pixel = read_file(examples + "/ps.fx");
    ASSERT_FALSE(vertex.empty()) << examples << "/vs.fx is missing or empty";
    ASSERT_FALSE(pixel.empty()) << examples << "/ps.fx is missing or empty";

    std::string error;
    xvfb_server server;
    ASSERT_TRUE(start_xvfb(&server, &error)) << error;
    std::string folder = make_temp_folder("package-example");
    ASSERT_FALSE(folder.empty());
    ASSERT_TRUE(write_file(folder + "/vs.fx", vertex));
    ASSERT_TRUE(write_file(folder + "/ps.fx", pixel));

    viewer_platform platform = linux_platform();
    viewer_run run;
    ASSERT_TRUE(start_viewer(launch_for(platform, server.name, folder), &run, &error)) << error;
    viewer_area area;
    bool found = find_viewer_area(server.display, platform, deadline_ms, &area, &error);
    EXPECT_TRUE(found) << error << "\nstderr: " << run_stderr(run);
    if (found) {
        EXPECT_EQ(area.width, 800);
        EXPECT_EQ(area.height, 600);
        example_reading reading;
        bool drawn = poll_until(
            [&] {
                return read_pixel(server.display, area, area.width / 2, 2, &reading.sky) &&
                       read_pixel(server.display, area, area.width / 2, area.height / 2,
                                  &reading.centre) &&
                       reading.drawn();
            },
            deadline_ms);
        EXPECT_TRUE(drawn) << "sky (top centre) " << describe(reading.sky) << ", centre "
                           << describe(reading.centre) << "\nstderr: " << run_stderr(run);
        send_close_request(server.display, area.window);
    }
    EXPECT_TRUE(wait_for_exit(&run, deadline_ms)) << "the viewer did not end on the close request";
    EXPECT_EQ(run.status, 0);
    build_report report = parse_builds(run_stdout(run), platform.line_end);
    EXPECT_TRUE(report.ok) << report.fault;
    EXPECT_EQ(report.builds, 1);
    EXPECT_EQ(run_stderr(run), "") << "the example does not build cleanly";

    if (!run.exited) {
        kill_viewer(&run);
    }
    stop_xvfb(&server);
    remove_folder(folder);
}

} // namespace
