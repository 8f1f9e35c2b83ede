// The time keys and the start options, from outside: `--frame N --paused`,
// keys pressed through XTest into the focused window, the frame read back
// from the screen with the clock shader and from the stderr line each key
// gives. Built with QO_SCENARIOS_ON_WINE, the same against qo.exe under Wine.
// GoogleTest before the X11 headers: Xlib's macros (None, Bool) would break it.
#include <gtest/gtest.h>

#include "harness.h"
#include "viewer_fixture.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

viewer_platform time_platform() {
#if QO_SCENARIOS_ON_WINE
    return wine_platform();
#else
    return linux_platform();
#endif
}

// Frame n's clock from its definition: 1/60 added in double and rounded to
// float, n times from 0.
float clock_of_frame(long frame) {
    float t = 0.0f;
    for (long i = 0; i < frame; ++i) {
        t = static_cast<float>(static_cast<double>(t) + 1.0 / 60.0);
    }
    return t;
}

// What the clock shader shows at `frame`: round(t * 60), which drifts from
// the frame number as the float's steps do (frame 7200 shows 7201).
long clock_shader_reading(long frame) {
    double scaled = static_cast<double>(clock_of_frame(frame)) * 60.0;
    double fraction = scaled - std::floor(scaled);
    // Far from a tie, so the GPU's float rounding can't change it.
    EXPECT_GT(std::fabs(fraction - 0.5), 0.05) << "frame " << frame << " is a bad test frame";
    return static_cast<long>(std::floor(scaled + 0.5));
}

// The stderr line a time key gives once `frame` is on screen.
std::string frame_line(long frame, bool paused) {
    char line[96];
    std::snprintf(line, sizeof line, "qo: frame %ld (%.3f s)%s", frame,
                  static_cast<double>(clock_of_frame(frame)), paused ? ", paused" : "");
    return line;
}

const char* key_label(KeySym key) {
    const char* name = XKeysymToString(key);
    return name != nullptr ? name : "?";
}

class TimeScenario : public ViewerFixture {
  protected:
    void SetUp() override {
        viewer_platform platform = time_platform();
        ASSERT_NO_FATAL_FAILURE(open_fixture(platform, platform.name + "-time"));
    }

    // Starts the viewer with `arguments` on the clock shader (tag 0), finds
    // its window and waits until it draws.
    void start_clock(const std::vector<std::string>& arguments) {
        ASSERT_TRUE(write_file(folder_ + "/vs.fx", plain_vertex_shader()));
        ASSERT_TRUE(write_file(folder_ + "/ps.fx", clock_pixel_shader(0)));
        viewer_launch launch = launch_for(platform_, server_.name, folder_);
        launch.command.insert(launch.command.end(), arguments.begin(), arguments.end());
        std::string error;
        ASSERT_TRUE(start_viewer(launch, &run_, &error)) << error;
        ASSERT_TRUE(find_viewer_area(display(), platform_, deadline_ms, &area_, &error))
            << error << "\nstderr: " << run_stderr(run_);
        ASSERT_GE(wait_for_clock(display(), area_, 0, 0, deadline_ms).frame, 0) << "not drawing";
    }

    void focus_viewer() {
        ASSERT_TRUE(focus_window(display(), area_.window, deadline_ms))
            << "the viewer's window did not take the focus";
    }

    void tap(KeySym key) {
        ASSERT_TRUE(fake_key(display(), key, true)) << "XTest could not press " << key_label(key);
        ASSERT_TRUE(fake_key(display(), key, false));
    }

    // The "qo: frame" lines on stderr so far, without their line ends.
    std::vector<std::string> frame_lines() {
        std::vector<std::string> lines;
        std::string err = run_stderr(run_);
        size_t start = 0;
        while (start < err.size()) {
            size_t end = err.find(platform_.line_end, start);
            if (end == std::string::npos) {
                break; // not ended yet
            }
            std::string line = err.substr(start, end - start);
            if (line.compare(0, 10, "qo: frame ") == 0) {
                lines.push_back(line);
            }
            start = end + platform_.line_end.size();
        }
        return lines;
    }

    // Waits for the `count`th frame line and returns it ("" after the deadline).
    std::string wait_for_frame_line(size_t count) {
        std::vector<std::string> lines;
        poll_until(
            [&] {
                lines = frame_lines();
                return lines.size() >= count;
            },
            deadline_ms);
        return lines.size() >= count ? lines[count - 1] : "";
    }

    // Polls until the screen shows `frame` drawn by the clock shader of `tag`.
    void expect_screen_at(long frame, int tag = 0) {
        long reading = clock_shader_reading(frame);
        clock_reading seen;
        bool shown = poll_until(
            [&] {
                seen = read_clock(display(), area_);
                return seen.tag == tag && seen.frame == reading;
            },
            deadline_ms);
        EXPECT_TRUE(shown) << "the screen shows " << seen.frame << " (tag " << seen.tag
                           << ") instead of frame " << frame << " (" << reading << ", tag " << tag
                           << ")";
    }

    // Stays at `frame` while frames go on being drawn: checked over 300 ms.
    void expect_screen_stays_at(long frame, int tag = 0) {
        long reading = clock_shader_reading(frame);
        clock_reading seen;
        bool moved = poll_until(
            [&] {
                seen = read_clock(display(), area_);
                return seen.tag != tag || seen.frame != reading;
            },
            300);
        EXPECT_FALSE(moved) << "moved to " << seen.frame << " (tag " << seen.tag << ")";
    }

    void close_and_expect_exit() {
        send_close_request(display(), area_.window);
        ASSERT_TRUE(wait_for_exit(&run_, deadline_ms)) << "the viewer did not end: killed";
        EXPECT_EQ(run_.status, 0);
    }
};

// From `--frame 2400 --paused`, a sequence of keys and the frame on screen
// after each: steps, seeks both ways, the clamp at frame 1 and Home, all
// paused; the line of each key names the frame on screen.
TEST_F(TimeScenario, KeySequenceFromAPausedStart) {
    ASSERT_NO_FATAL_FAILURE(start_clock({"--frame", "2400", "--paused"}));
    ASSERT_NO_FATAL_FAILURE(focus_viewer());
    expect_screen_at(2400);
    expect_screen_stays_at(2400);
    EXPECT_TRUE(frame_lines().empty()) << "a line with no time key pressed";

    struct Step {
        KeySym key;
        long frame;
    };
    const Step steps[] = {
        {XK_period, 2401}, {XK_comma, 2400}, {XK_comma, 2399}, {XK_Right, 2699},
        {XK_Left, 2399},   {XK_Up, 5999},    {XK_Down, 2399},  {XK_Down, 1},
        {XK_comma, 1},     {XK_Right, 301},  {XK_Up, 3901},    {XK_Home, 1},
    };
    size_t count = 0;
    for (const Step& step : steps) {
        SCOPED_TRACE(std::string(key_label(step.key)) + " to frame " + std::to_string(step.frame));
        ASSERT_NO_FATAL_FAILURE(tap(step.key));
        EXPECT_EQ(wait_for_frame_line(++count), frame_line(step.frame, true));
        expect_screen_at(step.frame);
    }
    expect_screen_stays_at(1);
    ASSERT_NO_FATAL_FAILURE(close_and_expect_exit());
    EXPECT_EQ(frame_lines().size(), count) << run_stderr(run_);
    EXPECT_EQ(builds().builds, 1);
}

// A held '.' steps frame after frame with the keyboard's repeat, each step
// its own frame and line, and stops with the release.
TEST_F(TimeScenario, HeldStepRepeats) {
    ASSERT_NO_FATAL_FAILURE(start_clock({"--frame", "100", "--paused"}));
    ASSERT_NO_FATAL_FAILURE(focus_viewer());
    expect_screen_at(100);
    ASSERT_TRUE(fake_key(display(), XK_period, true));
    std::string fifth = wait_for_frame_line(5);
    ASSERT_TRUE(fake_key(display(), XK_period, false));
    EXPECT_EQ(fifth, frame_line(105, true)) << "no repeat";
    // Every press is taken, none after the release: the last line's frame
    // is on screen and stays.
    std::vector<std::string> lines;
    poll_until(
        [&] {
            std::vector<std::string> now = frame_lines();
            bool same = now == lines;
            lines = now;
            return same && read_clock(display(), area_).frame ==
                               clock_shader_reading(100 + static_cast<long>(lines.size()));
        },
        deadline_ms);
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i], frame_line(101 + static_cast<long>(i), true));
    }
    long last = 100 + static_cast<long>(lines.size());
    expect_screen_stays_at(last);
    EXPECT_EQ(frame_lines().size(), lines.size());
}

// Space pauses a running viewer where it is and resumes it from there.
TEST_F(TimeScenario, SpacePausesAndResumes) {
    ASSERT_NO_FATAL_FAILURE(start_clock({}));
    ASSERT_NO_FATAL_FAILURE(focus_viewer());
    clock_at_least(10);

    ASSERT_NO_FATAL_FAILURE(tap(XK_space));
    std::string paused = wait_for_frame_line(1);
    long frame = 0;
    ASSERT_EQ(std::sscanf(paused.c_str(), "qo: frame %ld", &frame), 1) << paused;
    EXPECT_EQ(paused, frame_line(frame, true));
    expect_screen_at(frame);
    expect_screen_stays_at(frame);

    ASSERT_NO_FATAL_FAILURE(tap(XK_space));
    EXPECT_EQ(wait_for_frame_line(2), frame_line(frame + 1, false));
    EXPECT_GE(clock_at_least(clock_shader_reading(frame) + 30).frame, 0);
    ASSERT_NO_FATAL_FAILURE(close_and_expect_exit());
    EXPECT_EQ(frame_lines().size(), 2u);
}

// Time keys typed into another window reach the viewer neither then nor
// later: no line, the clock runs on. Then, focused, one key gives one line.
TEST_F(TimeScenario, KeysInAnotherWindowChangeNothing) {
    ASSERT_NO_FATAL_FAILURE(start_clock({}));
    Window own = create_own_window(display(), 900, 650, 100, 100);
    ASSERT_NE(own, 0u);
    ASSERT_TRUE(focus_window(display(), own, deadline_ms));
    clock_reading before = clock_at_least(1);

    for (KeySym key : {XK_space, XK_period, XK_comma, XK_Left, XK_Down, XK_Home}) {
        ASSERT_NO_FATAL_FAILURE(tap(key));
    }
    EXPECT_GE(clock_at_least(before.frame + 30).frame, 0) << "the clock stopped";
    EXPECT_TRUE(frame_lines().empty()) << run_stderr(run_);

    ASSERT_NO_FATAL_FAILURE(focus_viewer());
    ASSERT_NO_FATAL_FAILURE(tap(XK_period));
    std::string line = wait_for_frame_line(1);
    long frame = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "qo: frame %ld", &frame), 1) << line;
    EXPECT_EQ(line, frame_line(frame, true));
    expect_screen_at(frame);
    expect_screen_stays_at(frame);
    ASSERT_NO_FATAL_FAILURE(close_and_expect_exit());
    EXPECT_EQ(frame_lines().size(), 1u) << run_stderr(run_);
}

// A rebuild while paused, by F5 and by a save (--watch), draws the new
// program at the paused frame, and the clock stays there.
TEST_F(TimeScenario, RebuildsWhilePausedShowTheSameFrame) {
    ASSERT_NO_FATAL_FAILURE(start_clock({"--watch", "--paused", "--frame", "2400"}));
    ASSERT_NO_FATAL_FAILURE(focus_viewer());
    expect_screen_at(2400, 0);

    ASSERT_TRUE(write_file(folder_ + "/ps.fx", clock_pixel_shader(1)));
    // The save rebuilds by itself; F5 held over it as well.
    ASSERT_TRUE(fake_key(display(), XK_F5, true));
    clock_reading rebuilt = wait_for_clock(display(), area_, 1, 0, deadline_ms);
    ASSERT_TRUE(fake_key(display(), XK_F5, false));
    EXPECT_EQ(rebuilt.frame, clock_shader_reading(2400));
    expect_screen_stays_at(2400, 1);

    ASSERT_TRUE(write_file(folder_ + "/ps.fx", clock_pixel_shader(2)));
    expect_screen_at(2400, 2);
    expect_screen_stays_at(2400, 2);
    // A step still goes from the paused frame.
    ASSERT_NO_FATAL_FAILURE(tap(XK_period));
    EXPECT_EQ(wait_for_frame_line(1), frame_line(2401, true));
    expect_screen_at(2401, 2);

    ASSERT_NO_FATAL_FAILURE(close_and_expect_exit());
    EXPECT_GE(builds().builds, 3);
    EXPECT_EQ(frame_lines().size(), 1u) << run_stderr(run_);
}

#if !QO_SCENARIOS_ON_WINE
// '.' and ',' are matched by what the layout makes of a key, not by where
// the key sits: the test swaps period and comma between their keycodes, and
// puts period on the Shift level of an unused keycode (as AZERTY has it),
// then presses keycodes.
TEST_F(TimeScenario, PeriodAndCommaFollowTheLayout) {
    ASSERT_NO_FATAL_FAILURE(start_clock({"--frame", "2400", "--paused"}));
    ASSERT_NO_FATAL_FAILURE(focus_viewer());
    expect_screen_at(2400);

    Display* dpy = display();
    KeyCode period = XKeysymToKeycode(dpy, XK_period);
    KeyCode comma = XKeysymToKeycode(dpy, XK_comma);
    KeyCode shift = XKeysymToKeycode(dpy, XK_Shift_L);
    ASSERT_NE(period, 0);
    ASSERT_NE(comma, 0);
    ASSERT_NE(shift, 0);
    int min_keycode = 0;
    int max_keycode = 0;
    XDisplayKeycodes(dpy, &min_keycode, &max_keycode);
    int per = 0;
    KeySym* map = XGetKeyboardMapping(dpy, static_cast<KeyCode>(min_keycode),
                                      max_keycode - min_keycode + 1, &per);
    ASSERT_NE(map, nullptr);
    KeyCode unused = 0;
    for (int code = min_keycode; code <= max_keycode; ++code) {
        bool empty = true;
        for (int place = 0; place < per; ++place) {
            empty = empty && map[(code - min_keycode) * per + place] == NoSymbol;
        }
        unused = empty ? static_cast<KeyCode>(code) : unused;
    }
    XFree(map);
    ASSERT_NE(unused, 0) << "no unused keycode in the server's key map";

    KeySym now_comma[2] = {XK_comma, XK_less};
    KeySym now_period[2] = {XK_period, XK_greater};
    KeySym semicolon_period[2] = {XK_semicolon, XK_period};
    XChangeKeyboardMapping(dpy, period, 2, now_comma, 1);
    XChangeKeyboardMapping(dpy, comma, 2, now_period, 1);
    XChangeKeyboardMapping(dpy, unused, 2, semicolon_period, 1);
    XSync(dpy, False);

    struct Press {
        const char* what;
        KeyCode code;
        bool shifted;
        long frame; // -1: no step, which a Right pressed after it shows
    };
    const Press presses[] = {
        {"the US period key, now comma", period, false, 2399},
        {"the US comma key shifted, now greater", comma, true, -1},
        {"the US comma key, now period", comma, false, 2700},
        {"semicolon, unshifted", unused, false, -1},
        {"period on the Shift level", unused, true, 3001},
    };
    size_t count = 0;
    long frame = 2400;
    for (const Press& press : presses) {
        SCOPED_TRACE(press.what);
        if (press.shifted) {
            XTestFakeKeyEvent(dpy, shift, True, CurrentTime);
        }
        XTestFakeKeyEvent(dpy, press.code, True, CurrentTime);
        XTestFakeKeyEvent(dpy, press.code, False, CurrentTime);
        if (press.shifted) {
            XTestFakeKeyEvent(dpy, shift, False, CurrentTime);
        }
        XSync(dpy, False);
        if (press.frame < 0) {
            // The next line must be Right's.
            ASSERT_NO_FATAL_FAILURE(tap(XK_Right));
            frame += 300;
        } else {
            frame = press.frame;
        }
        EXPECT_EQ(wait_for_frame_line(++count), frame_line(frame, true));
        expect_screen_at(frame);
    }
    ASSERT_NO_FATAL_FAILURE(close_and_expect_exit());
    EXPECT_EQ(frame_lines().size(), count) << run_stderr(run_);
}
#endif

} // namespace
