// The viewer driven from outside: its output, its picture, F5, the quit
// requests and the failures at start. The same scenarios run against the
// Linux binary and, built with QO_SCENARIOS_ON_WINE, against qo.exe under
// Wine, where they expect the platform's own differences (CR LF line ends,
// a client area smaller than the window, F5 seen only through Wine's
// windows).
// GoogleTest before the X11 headers: Xlib's macros (None, Bool) would break it.
#include <gtest/gtest.h>

#include "harness.h"
#include "viewer_fixture.h"

#include <X11/keysym.h>
#include <algorithm>
#include <string>
#include <vector>

namespace {

#if QO_SCENARIOS_ON_WINE
viewer_platform scenario_platform() {
    return wine_platform();
}
#elif QO_SCENARIOS_KEY_POLL
} // namespace
// The Linux viewer with XInput2 hidden (key_poll_main.cpp).
viewer_platform key_poll_platform();
namespace {
viewer_platform scenario_platform() {
    return key_poll_platform();
}
#else
viewer_platform scenario_platform() {
    return linux_platform();
}
#endif

class Scenario : public ViewerFixture {
  protected:
    void SetUp() override {
        viewer_platform platform = scenario_platform();
        ASSERT_NO_FATAL_FAILURE(open_fixture(platform, platform.name));
    }

    // Writes vs.fx and ps.fx; a null text leaves the file out.
    void write_shaders(const char* vertex, const std::string* pixel) {
        if (vertex != nullptr) {
            ASSERT_TRUE(write_file(folder_ + "/vs.fx", vertex));
        }
        if (pixel != nullptr) {
            ASSERT_TRUE(write_file(folder_ + "/ps.fx", *pixel));
        }
    }

    void write_pixel_shader(const std::string& text) {
        ASSERT_TRUE(write_file(folder_ + "/ps.fx", text));
    }

    // Starts the viewer on the test's display, or on `display_name`.
    void start(const std::vector<std::string>& extra = {}, const std::string& display_name = "") {
        std::string error;
        viewer_launch launch = launch_for(
            platform_, display_name.empty() ? server_.name : display_name, folder_, extra);
        ASSERT_TRUE(start_viewer(launch, &run_, &error)) << error;
    }

    // Starts the viewer on the clock shader (tag 0), then opens a window of
    // the test's own beside it and gives that window the focus.
    void start_clock_with_another_window_focused(Window* own) {
        std::string pixel = clock_pixel_shader(0);
        ASSERT_NO_FATAL_FAILURE(write_shaders(plain_vertex_shader().c_str(), &pixel));
        ASSERT_NO_FATAL_FAILURE(start_and_find_window());
        *own = create_own_window(display(), 900, 650, 100, 100);
        ASSERT_NE(*own, 0u);
        ASSERT_TRUE(focus_window(display(), *own, deadline_ms));
    }

    // Starts the viewer and waits for its window; checks the client area's
    // size.
    void start_and_find_window() {
        ASSERT_NO_FATAL_FAILURE(start());
        std::string error;
        ASSERT_TRUE(find_viewer_area(display(), platform_, deadline_ms, &area_, &error))
            << error << "\nstderr: " << run_stderr(run_);
        if (platform_.wine) {
            // The 800x600 window at (0, 0) holds the frame: borders of the
            // same width left, right and below, the caption above.
            int border = area_.x;
            EXPECT_GT(border, 0);
            EXPECT_GT(area_.y, border);
            EXPECT_EQ(border + area_.width + border, 800);
            EXPECT_EQ(area_.y + area_.height + border, 600);
            EXPECT_GT(area_.width, 700);
            EXPECT_GT(area_.height, 500);
        } else {
            EXPECT_EQ(area_.width, 800);
            EXPECT_EQ(area_.height, 600);
        }
    }

    void focus_viewer() {
        ASSERT_TRUE(focus_window(display(), area_.window, deadline_ms))
            << "the viewer's window did not take the focus";
    }

    void key(KeySym key, bool down) {
        ASSERT_TRUE(fake_key(display(), key, down)) << "XTest could not press the key";
    }

    // Waits for the viewer to end and checks its status.
    void expect_exit(int status) {
        ASSERT_TRUE(wait_for_exit(&run_, deadline_ms)) << "the viewer did not end: killed";
        EXPECT_EQ(run_.status, status);
    }

    void close_and_expect_exit(int status) {
        send_close_request(display(), area_.window);
        ASSERT_NO_FATAL_FAILURE(expect_exit(status));
    }
};

const char* const broken_pixel_shader = "void main()\n"
                                        "{\n"
                                        "    gl_FragColor = vec4(1.0) +;\n"
                                        "}\n";

// The reason the platform's C library gives for a missing file.
std::string missing_file_reason(const viewer_platform& platform) {
    (void)platform;
    return "No such file or directory";
}

// ---- a good build ----------------------------------------------------------------

// The rectangle's quadrants in four colours: the viewport is the client
// area when every pixel has its quadrant's colour.
const char* const quadrant_vertex_shader = "varying vec2 place;\n"
                                           "void main()\n"
                                           "{\n"
                                           "    place = gl_Vertex.xy;\n"
                                           "    gl_Position = gl_Vertex;\n"
                                           "}\n";
const char* const quadrant_pixel_shader =
    "varying vec2 place;\n"
    "void main()\n"
    "{\n"
    "    float right = step(0.0, place.x);\n"
    "    float top = step(0.0, place.y);\n"
    "    gl_FragColor = vec4(40.0 + 160.0 * right, 60.0 + 120.0 * top, 200.0, 255.0) / 255.0;\n"
    "}\n";

// How many pixels of the image are not of their quadrant's colour; the
// middle row and column of an odd size lie on the border and are left out.
long count_misplaced(const probe_image& image, std::string* first) {
    long count = 0;
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            if (2 * x + 1 == image.width || 2 * y + 1 == image.height) {
                continue;
            }
            bool right = 2 * x + 1 > image.width;
            bool top = 2 * y + 1 < image.height;
            rgb expected{right ? 200 : 40, top ? 180 : 60, 200};
            const std::uint8_t* p = &image.rgb[(static_cast<size_t>(y) * image.width + x) * 3];
            rgb seen{p[0], p[1], p[2]};
            if (!(seen == expected)) {
                if (count == 0) {
                    *first = "(" + std::to_string(x) + ", " + std::to_string(y) + ") is " +
                             describe(seen) + " instead of " + describe(expected);
                }
                ++count;
            }
        }
    }
    return count;
}

TEST_F(Scenario, GoodBuildFillsTheClientAreaPrintsOneBuildAndEndsWith0OnClose) {
    std::string pixel = quadrant_pixel_shader;
    ASSERT_NO_FATAL_FAILURE(write_shaders(quadrant_vertex_shader, &pixel));
    ASSERT_NO_FATAL_FAILURE(start_and_find_window());

    std::string seen;
    bool drawn = poll_until(
        [&] {
            probe_image image;
            if (!grab_area(display(), area_, &image)) {
                seen = "the client area could not be read";
                return false;
            }
            std::string first;
            long misplaced = count_misplaced(image, &first);
            seen = std::to_string(misplaced) + " pixels misplaced, the first: " + first;
            return misplaced == 0;
        },
        deadline_ms);
    EXPECT_TRUE(drawn) << seen << " (client area " << area_.width << "x" << area_.height << ")";

    ASSERT_NO_FATAL_FAILURE(close_and_expect_exit(0));
    std::string out = run_stdout(run_);
    build_report report = builds();
    EXPECT_EQ(report.builds, 1) << out;
    // A number line then "prog:" with the (empty) link log.
    std::string number = out.substr(0, out.find(platform_.line_end));
    EXPECT_EQ(out, number + platform_.line_end + "prog:" + platform_.line_end);
    EXPECT_EQ(run_stderr(run_), "");
}

// Both shaders check fpar against what it must hold for the frame's t =
// fpar[2].x and paint green (red when a check fails); blue carries the frame
// number, so that many frames are looked at.
const char* const fpar_check =
    "uniform vec4 fpar[4];\n"
    "bool near(vec4 a, vec4 b)\n"
    "{\n"
    "    return all(lessThan(abs(a - b), vec4(0.001)));\n"
    "}\n"
    "float fpar_ok()\n"
    "{\n"
    "    float t = fpar[2].x;\n"
    "    float frames = t * 60.0;\n"
    "    bool ok = t > 0.0 && abs(frames - floor(frames + 0.5)) < 0.1\n"
    "        && near(fpar[0], vec4(2.0 * sin(t + 0.1), 0.0, 2.0 * cos(t), 0.0))\n"
    "        && fpar[1] == vec4(0.0)\n"
    "        && fpar[2].yzw == vec3(0.0, 0.0, 1.0)\n"
    "        && fpar[3] == vec4(0.0);\n"
    "    return ok ? 1.0 : 0.0;\n"
    "}\n";

TEST_F(Scenario, FparReachesBothShaders) {
    std::string vertex = std::string(fpar_check) + "varying float vertex_ok;\n"
                                                   "void main()\n"
                                                   "{\n"
                                                   "    vertex_ok = fpar_ok();\n"
                                                   "    gl_Position = gl_Vertex;\n"
                                                   "}\n";
    std::string pixel = std::string(fpar_check) +
                        "varying float vertex_ok;\n"
                        "void main()\n"
                        "{\n"
                        "    float ok = fpar_ok() * step(0.5, vertex_ok);\n"
                        "    float n = floor(fpar[2].x * 60.0 + 0.5);\n"
                        "    gl_FragColor = vec4(1.0 - ok, ok, mod(n, 256.0) / 255.0, 1.0);\n"
                        "}\n";
    ASSERT_NO_FATAL_FAILURE(write_shaders(vertex.c_str(), &pixel));
    ASSERT_NO_FATAL_FAILURE(start_and_find_window());

    // Five different frames, each green over the whole area.
    std::vector<int> frames_seen;
    std::string last;
    bool all_green = true;
    poll_until(
        [&] {
            probe_image image;
            if (!grab_area(display(), area_, &image)) {
                return false;
            }
            rgb first{image.rgb[0], image.rgb[1], image.rgb[2]};
            if (first == rgb{0, 0, 0}) {
                return false; // not drawn yet
            }
            std::string where;
            long others = count_other_pixels(image, first, &where);
            if (first.r != 0 || first.g != 255 || others != 0) {
                all_green = false;
                last = "frame drawn as " + describe(first) + ", " + std::to_string(others) +
                       " other pixels" + (others ? ", the first: " + where : "");
                return true;
            }
            if (std::find(frames_seen.begin(), frames_seen.end(), first.b) == frames_seen.end()) {
                frames_seen.push_back(first.b);
            }
            return frames_seen.size() >= 5;
        },
        deadline_ms);
    EXPECT_TRUE(all_green) << last;
    EXPECT_GE(frames_seen.size(), 5u) << "the picture stopped changing";
    ASSERT_NO_FATAL_FAILURE(close_and_expect_exit(0));
    EXPECT_EQ(builds().builds, 1);
}

// ---- F5 --------------------------------------------------------------------------

TEST_F(Scenario, F5TapRebuildsFromTheEditedFile) {
    std::string pixel = clock_pixel_shader(0);
    ASSERT_NO_FATAL_FAILURE(write_shaders(plain_vertex_shader().c_str(), &pixel));
    ASSERT_NO_FATAL_FAILURE(start_and_find_window());
    ASSERT_NO_FATAL_FAILURE(focus_viewer());
    ASSERT_GE(wait_for_clock(display(), area_, 0, 1, deadline_ms).frame, 0);

    ASSERT_NO_FATAL_FAILURE(write_pixel_shader(clock_pixel_shader(1)));
    clock_reading before = read_clock(display(), area_);
    ASSERT_NO_FATAL_FAILURE(key(XK_F5, true));
    // Held until a rebuild shows, as short as the viewer allows.
    clock_reading rebuilt = wait_for_clock(display(), area_, 1, 0, deadline_ms);
    ASSERT_NO_FATAL_FAILURE(key(XK_F5, false));
    EXPECT_GE(rebuilt.frame, 0) << "the picture did not change to the edited shader";
    clock_reading released = read_clock(display(), area_);

    // With F5 up, a further edit does not show. The frame under way when
    // the key came up may still rebuild: the edit comes after it.
    clock_at_least(released.frame + 2);
    ASSERT_NO_FATAL_FAILURE(write_pixel_shader(clock_pixel_shader(2)));
    clock_reading later = clock_at_least(released.frame + 30);
    EXPECT_EQ(later.tag, 1) << "the viewer rebuilt with F5 up";

    ASSERT_NO_FATAL_FAILURE(close_and_expect_exit(0));
    build_report report = builds();
    std::printf("frames: %ld before the press, %ld rebuilt, %ld released, %ld later; %d builds\n",
                before.frame, rebuilt.frame, released.frame, later.frame, report.builds);
    EXPECT_GE(report.builds, 2);
    // One build at start, one per frame that saw F5 down.
    EXPECT_LE(report.builds - 1, later.frame - before.frame)
        << "frames " << before.frame << " to " << later.frame;
}

TEST_F(Scenario, F5HeldRebuildsEveryFrame) {
    std::string pixel = clock_pixel_shader(0);
    ASSERT_NO_FATAL_FAILURE(write_shaders(plain_vertex_shader().c_str(), &pixel));
    ASSERT_NO_FATAL_FAILURE(start_and_find_window());
    ASSERT_NO_FATAL_FAILURE(focus_viewer());
    ASSERT_GE(wait_for_clock(display(), area_, 0, 1, deadline_ms).frame, 0);

    clock_reading before_press = read_clock(display(), area_);
    ASSERT_NO_FATAL_FAILURE(key(XK_F5, true));
    clock_reading after_press = read_clock(display(), area_);
    clock_reading held = clock_at_least(after_press.frame + 20);
    ASSERT_NO_FATAL_FAILURE(key(XK_F5, false));
    clock_reading after_release = read_clock(display(), area_);
    ASSERT_GE(held.frame, 0);

    ASSERT_NO_FATAL_FAILURE(close_and_expect_exit(0));
    int rebuilds = builds().builds - 1;
    std::printf("frames: %ld before the press, %ld after it, %ld held, %ld after the release; "
                "%d rebuilds\n",
                before_press.frame, after_press.frame, held.frame, after_release.frame, rebuilds);
    // The X server orders the key events and the viewer's requests: every
    // frame from two after the first one seen with F5 down polled it down,
    // and none after the one following the first seen with F5 up. Under Wine
    // the key reaches the key state through the viewer's event queue and
    // its picture through another connection: two frames of slack there.
    long slack = platform_.wine ? 2 : 0;
    EXPECT_GE(rebuilds, held.frame - after_press.frame - 1 - slack)
        << "frames " << after_press.frame << " to " << held.frame << " held";
    EXPECT_LE(rebuilds, after_release.frame - before_press.frame + 1 + slack)
        << "frames " << before_press.frame << " to " << after_release.frame;
}

#if !QO_SCENARIOS_ON_WINE
// F5 is polled from the keyboard's state, whichever window has the focus.
// (Wine's key state only follows keys sent to Wine's windows.)
TEST_F(Scenario, F5RebuildsWithAnotherWindowFocused) {
    Window own = 0;
    ASSERT_NO_FATAL_FAILURE(start_clock_with_another_window_focused(&own));
    ASSERT_GE(wait_for_clock(display(), area_, 0, 1, deadline_ms).frame, 0);

    ASSERT_NO_FATAL_FAILURE(write_pixel_shader(clock_pixel_shader(1)));
    ASSERT_NO_FATAL_FAILURE(key(XK_F5, true));
    clock_reading rebuilt = wait_for_clock(display(), area_, 1, 0, deadline_ms);
    ASSERT_NO_FATAL_FAILURE(key(XK_F5, false));
    EXPECT_GE(rebuilt.frame, 0) << "the picture did not change to the edited shader";

    Window focus = 0;
    int revert = 0;
    XGetInputFocus(display(), &focus, &revert);
    EXPECT_EQ(focus, own) << "the focus moved";
    ASSERT_NO_FATAL_FAILURE(close_and_expect_exit(0));
    EXPECT_GE(builds().builds, 2);
}
#endif

// A typo: the last program that linked keeps drawing and keeps being fed
// (the parameter block read back from the screen goes on advancing, and the
// picture keeps changing); then a good build shows the new program.
TEST_F(Scenario, FailedRebuildKeepsTheLastProgramMoving) {
    std::string pixel = clock_pixel_shader(1);
    ASSERT_NO_FATAL_FAILURE(write_shaders(plain_vertex_shader().c_str(), &pixel));
    ASSERT_NO_FATAL_FAILURE(start_and_find_window());
    ASSERT_NO_FATAL_FAILURE(focus_viewer());
    ASSERT_GE(wait_for_clock(display(), area_, 1, 1, deadline_ms).frame, 0);

    ASSERT_NO_FATAL_FAILURE(write_pixel_shader(broken_pixel_shader));
    ASSERT_NO_FATAL_FAILURE(key(XK_F5, true));
    // The compile log goes to stderr at each failed build, unbuffered: two
    // logs mean the frame after the first failed build was presented.
    bool two_failures = poll_until(
        [&] {
            std::string err = run_stderr(run_);
            size_t first = err.find("ps.fx:3:");
            return first != std::string::npos &&
                   err.find("ps.fx:3:", first + 1) != std::string::npos;
        },
        deadline_ms);
    ASSERT_NO_FATAL_FAILURE(key(XK_F5, false));
    ASSERT_TRUE(two_failures) << "no compile log on stderr";

    probe_image first;
    ASSERT_TRUE(grab_area(display(), area_, &first));
    rgb shown{first.rgb[0], first.rgb[1], first.rgb[2]};
    EXPECT_EQ(count_other_pixels(first, shown, nullptr), 0) << "the picture is not uniform";
    clock_reading reading = decode_clock(shown);
    ASSERT_EQ(reading.tag, 1) << "the picture changed to " << describe(shown);
    // The picture moves on: a later screenshot differs, and the clock in it
    // is the first program's, 30 frames on.
    bool changed = poll_until(
        [&] {
            probe_image later;
            return grab_area(display(), area_, &later) &&
                   count_other_pixels(later, shown, nullptr) != 0;
        },
        deadline_ms);
    EXPECT_TRUE(changed) << "the picture stands still after the failed rebuild";
    clock_reading moved = wait_for_clock(display(), area_, 1, reading.frame + 30, deadline_ms);
    EXPECT_GE(moved.frame, 0) << "the parameter block stopped at frame " << reading.frame;

    // Fixed: the next build links and draws.
    ASSERT_NO_FATAL_FAILURE(write_pixel_shader(clock_pixel_shader(2)));
    ASSERT_NO_FATAL_FAILURE(key(XK_F5, true));
    clock_reading fixed = wait_for_clock(display(), area_, 2, 0, deadline_ms);
    ASSERT_NO_FATAL_FAILURE(key(XK_F5, false));
    EXPECT_GE(fixed.frame, moved.frame) << "the fixed shader did not show";
    EXPECT_GE(wait_for_clock(display(), area_, 2, fixed.frame + 10, deadline_ms).frame, 0);

    ASSERT_NO_FATAL_FAILURE(close_and_expect_exit(0));
    build_report report = builds();
    EXPECT_GE(report.builds, 4);
    if (!report.link_logs.empty()) {
        EXPECT_EQ(report.link_logs.front(), "");
        EXPECT_NE(report.link_logs[1], "") << "a failed link says why";
        EXPECT_EQ(report.link_logs.back(), "");
    }
    // Every stderr line is the compiler's, in the file:line: form, and names
    // the broken line (3).
    std::string err = run_stderr(run_);
    size_t start = 0;
    while (start < err.size()) {
        size_t end = err.find('\n', start);
        std::string line = err.substr(start, end - start);
        EXPECT_EQ(line.compare(0, 8, "ps.fx:3:"), 0) << line;
        start = end == std::string::npos ? err.size() : end + 1;
    }
}

// ---- a picture in white: the first build fails ----------------------------------

struct white_case {
    const char* name;
    bool vertex_file;
    const char* pixel_file;                      // null: no ps.fx
    std::vector<const char*> stderr_lines_start; // the start of lines stderr must hold
};

void PrintTo(const white_case& c, std::ostream* out) {
    *out << c.name;
}

class WhitePicture : public Scenario, public ::testing::WithParamInterface<white_case> {};

TEST_P(WhitePicture, DrawsWhitePrintsOneBuildAndSaysWhy) {
    const white_case& c = GetParam();
    std::string pixel = c.pixel_file != nullptr ? c.pixel_file : "";
    ASSERT_NO_FATAL_FAILURE(write_shaders(c.vertex_file ? plain_vertex_shader().c_str() : nullptr,
                                          c.pixel_file != nullptr ? &pixel : nullptr));
    ASSERT_NO_FATAL_FAILURE(start_and_find_window());
    std::string seen;
    EXPECT_TRUE(wait_for_uniform_colour(display(), area_, rgb{255, 255, 255}, deadline_ms, &seen))
        << seen;
    ASSERT_NO_FATAL_FAILURE(close_and_expect_exit(0));

    build_report report = builds();
    EXPECT_EQ(report.builds, 1);
    if (!report.link_logs.empty()) {
        EXPECT_NE(report.link_logs.front(), "") << "a failed link says why";
    }
    std::string err = run_stderr(run_);
    for (const char* start : c.stderr_lines_start) {
        std::string expected = start;
        size_t reason = expected.find("%reason%");
        if (reason != std::string::npos) {
            expected.replace(reason, 8, missing_file_reason(platform_));
        }
        EXPECT_TRUE(err.compare(0, expected.size(), expected) == 0 ||
                    err.find("\n" + expected) != std::string::npos)
            << "stderr has no line starting \"" << expected << "\"";
    }
}

INSTANTIATE_TEST_SUITE_P(
    FirstBuildFails, WhitePicture,
    ::testing::Values(
        white_case{"broken_pixel_shader", true, broken_pixel_shader, {"ps.fx:3:"}},
        white_case{"no_vertex_shader",
                   false,
                   "void main()\n{\n    gl_FragColor = vec4(0.0, 0.0, 1.0, 1.0);\n}\n",
                   {"qo: cannot read vs.fx: %reason%"}},
        white_case{"no_pixel_shader", true, nullptr, {"qo: cannot read ps.fx: %reason%"}},
        white_case{"no_shaders",
                   false,
                   nullptr,
                   {"qo: cannot read vs.fx: %reason%", "qo: cannot read ps.fx: %reason%"}}),
    [](const ::testing::TestParamInfo<white_case>& info) { return std::string(info.param.name); });

// ---- quitting ---------------------------------------------------------------------

enum class quit_request { escape, close };

void PrintTo(quit_request request, std::ostream* out) {
    *out << (request == quit_request::escape ? "escape" : "close");
}

class Quit : public Scenario, public ::testing::WithParamInterface<quit_request> {};

TEST_P(Quit, EndsWith0AfterOneBuild) {
    std::string pixel = clock_pixel_shader(0);
    ASSERT_NO_FATAL_FAILURE(write_shaders(plain_vertex_shader().c_str(), &pixel));
    ASSERT_NO_FATAL_FAILURE(start_and_find_window());
    ASSERT_NO_FATAL_FAILURE(focus_viewer());
    ASSERT_GE(wait_for_clock(display(), area_, 0, 1, deadline_ms).frame, 0);
    if (GetParam() == quit_request::escape) {
        ASSERT_NO_FATAL_FAILURE(key(XK_Escape, true));
        ASSERT_NO_FATAL_FAILURE(key(XK_Escape, false));
    } else {
        send_close_request(display(), area_.window);
    }
    ASSERT_NO_FATAL_FAILURE(expect_exit(0));
    EXPECT_EQ(builds().builds, 1);
    EXPECT_EQ(run_stderr(run_), "");
}

INSTANTIATE_TEST_SUITE_P(Requests, Quit,
                         ::testing::Values(quit_request::escape, quit_request::close),
                         [](const ::testing::TestParamInfo<quit_request>& info) {
                             return std::string(info.param == quit_request::escape
                                                    ? "escape_with_the_window_focused"
                                                    : "close_request");
                         });

// Esc typed into another window is not the viewer's.
TEST_F(Scenario, EscapeInAnotherWindowDoesNotQuit) {
    Window own = 0;
    ASSERT_NO_FATAL_FAILURE(start_clock_with_another_window_focused(&own));
    clock_reading first = wait_for_clock(display(), area_, 0, 1, deadline_ms);
    ASSERT_GE(first.frame, 0);

    ASSERT_NO_FATAL_FAILURE(key(XK_Escape, true));
    ASSERT_NO_FATAL_FAILURE(key(XK_Escape, false));
    clock_reading read_after = read_clock(display(), area_);
    // Thirty frames later it still draws.
    clock_reading later = clock_at_least(read_after.frame + 30);
    EXPECT_FALSE(has_exited(&run_)) << "Esc in another window ended the viewer";
    EXPECT_GE(later.frame, 0);
    ASSERT_NO_FATAL_FAILURE(close_and_expect_exit(0));
}

// ---- failures at start ---------------------------------------------------------------

struct start_failure_case {
    const char* name;
    bool no_display; // DISPLAY names a display nobody serves
    std::vector<std::string> environment;
    const char* message_start;      // "%display%" stands for the display name
    const char* wine_message_start; // the same under Wine
};

void PrintTo(const start_failure_case& c, std::ostream* out) {
    *out << c.name;
}

class StartFailure : public Scenario, public ::testing::WithParamInterface<start_failure_case> {};

TEST_P(StartFailure, EndsWith1AndOneLineOnStderr) {
    const start_failure_case& c = GetParam();
    std::string pixel = solid_pixel_shader(rgb{0, 255, 0});
    ASSERT_NO_FATAL_FAILURE(write_shaders(plain_vertex_shader().c_str(), &pixel));
    std::string display_name = c.no_display ? unserved_display_name() : "";
    if (c.no_display) {
        ASSERT_FALSE(display_name.empty()) << "every display number is in use";
    }
    ASSERT_NO_FATAL_FAILURE(start(c.environment, display_name));
    ASSERT_NO_FATAL_FAILURE(expect_exit(1));

    std::string expected = platform_.wine ? c.wine_message_start : c.message_start;
    size_t mark = expected.find("%display%");
    if (mark != std::string::npos) {
        expected.replace(mark, 9, display_name);
    }
    std::string err = run_stderr(run_);
    EXPECT_EQ(err.compare(0, expected.size(), expected), 0) << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << "not one line: " << err;
    EXPECT_EQ(run_stdout(run_), "");
}

INSTANTIATE_TEST_SUITE_P(Failures, StartFailure,
                         ::testing::Values(
                             // Without an X server Wine has no window system: the window fails.
                             start_failure_case{"no_display",
                                                true,
                                                {},
                                                "qo: cannot open display \"%display%\"\n",
                                                "qo: cannot create the window"},
                             start_failure_case{
                                 "opengl_1_4",
                                 false,
                                 {"MESA_GL_VERSION_OVERRIDE=1.4"},
                                 "qo: OpenGL 2.0 or later is required, this context is 1.4",
                                 "qo: OpenGL 2.0 or later is required, this context is 1.4"}),
                         [](const ::testing::TestParamInfo<start_failure_case>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
