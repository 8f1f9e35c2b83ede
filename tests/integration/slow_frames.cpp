// F5 and Esc while every frame is slow, as with a heavy shader on a software
// renderer: a preloaded shim (slow_swap_shim.cpp) makes each buffer swap
// last a set time and logs when each one ended, and the viewer looks at F5
// right after a swap ends (its message drain, then the frame's look). The
// test places its key presses between two such looks from that log. The
// same scenarios run against the Linux binary (with qo focused and with
// another window focused) and against qo.exe under Wine (focused: Wine sees
// keys only through its own windows).
//
// Also one case without the shim on the real renderer: a shader whose loop
// is sized at the test's start to make a frame last about a second.
// GoogleTest before the X11 headers: Xlib's macros (None, Bool) would break it.
#include <gtest/gtest.h>

#include "harness.h"
#include "viewer_fixture.h"

#include <X11/keysym.h>
#include <algorithm>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

#if QO_SCENARIOS_ON_WINE
viewer_platform scenario_platform() {
    return wine_platform();
}
#else
viewer_platform scenario_platform() {
    return linux_platform();
}
#endif

// How long the shim makes every frame; the test acts a third of a frame
// after a swap ended, far from the looks at F5 before and after.
constexpr long frame_ms = 500;
constexpr long act_after_ms = frame_ms / 3;
constexpr long tap_ms = 60;
// The viewer looks at F5 a moment after a swap ends (its yield and message
// drain): a swap that ended this close before a press or a release may have
// been followed by its look on either side of it.
constexpr long look_margin_ms = 100;

// The monotonic clock in milliseconds, the one the shim logs.
long long monotonic_ms() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void sleep_until_ms(long long when) {
    long long rest = when - monotonic_ms();
    if (rest > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(rest));
    }
}

enum class focus { viewer, another_window };

void PrintTo(focus f, std::ostream* out) {
    *out << (f == focus::viewer ? "viewer" : "another_window");
}

class SlowFrameScenario : public ViewerFixture {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(
            open_fixture(scenario_platform(), "slow-" + scenario_platform().name));
    }

    std::string swap_log_path() const {
        return folder_ + "/swaps.log";
    }

    // Starts the viewer on the clock shader (tag 0) with every frame
    // `frame_ms` long, waits for its window and gives the focus to it or to
    // a window of the test's own.
    void start_slow(focus to) {
        ASSERT_TRUE(write_file(folder_ + "/vs.fx", plain_vertex_shader()));
        ASSERT_TRUE(write_file(folder_ + "/ps.fx", clock_pixel_shader(0)));
        // LD_PRELOAD splits its list at spaces: the shim is preloaded
        // through a link in the test's folder, in case the build's path
        // holds one.
        std::string shim = folder_ + "/slow_swap_shim.so";
        ASSERT_EQ(symlink(QO_SLOW_SWAP_SHIM_PATH, shim.c_str()), 0) << std::strerror(errno);
        std::string error;
        // After what the caller preloads (the sanitizer run preloads Mesa's
        // driver); ASan then does not come first, which it allows when told.
        viewer_launch launch = launch_for(
            platform_, server_.name, folder_,
            {environment_with_added("LD_PRELOAD", shim, " "),
             environment_with_added("ASAN_OPTIONS", "verify_asan_link_order=0", ":"),
             "QO_SLOW_SWAP_MS=" + std::to_string(frame_ms), "QO_SLOW_SWAP_LOG=" + swap_log_path()});
        ASSERT_TRUE(start_viewer(launch, &run_, &error)) << error;
        ASSERT_TRUE(find_viewer_area(display(), platform_, deadline_ms, &area_, &error))
            << error << "\nstderr: " << run_stderr(run_);
        if (to == focus::viewer) {
            ASSERT_TRUE(focus_window(display(), area_.window, deadline_ms));
        } else {
            Window own = create_own_window(display(), 900, 650, 100, 100);
            ASSERT_NE(own, 0u);
            ASSERT_TRUE(focus_window(display(), own, deadline_ms));
        }
        ASSERT_GE(wait_for_clock(display(), area_, 0, 1, deadline_ms).frame, 0) << "not drawing";
        // The shim is in place: two frames a swap apart in its log.
        std::vector<long long> ends;
        poll_until(
            [&] {
                ends = swap_ends();
                return ends.size() >= 2 || has_exited(&run_);
            },
            deadline_ms);
        ASSERT_GE(ends.size(), 2u) << "the slow-swap shim logged no swaps";
        EXPECT_GE(ends.back() - ends[ends.size() - 2], frame_ms) << "the frames are not slow";
    }

    // When each swap logged so far returned.
    std::vector<long long> swap_ends() const {
        std::istringstream log(read_file(swap_log_path()));
        std::vector<long long> ends;
        long long start = 0;
        long long end = 0;
        while (log >> start >> end) {
            ends.push_back(end);
        }
        return ends;
    }

    // Waits for the next swap to end and returns when it did: the viewer
    // looks at F5 at once after it, and next after the following swap.
    long long next_swap_end() {
        size_t seen = swap_ends().size();
        long long end = -1;
        bool ended = poll_until(
            [&] {
                std::vector<long long> ends = swap_ends();
                if (ends.size() > seen) {
                    end = ends.back();
                    return true;
                }
                return has_exited(&run_);
            },
            deadline_ms);
        EXPECT_TRUE(ended && end >= 0) << "no frame ended";
        return end;
    }

    // How many swaps ended in [from, to].
    int swaps_ended_between(long long from, long long to) const {
        int count = 0;
        for (long long end : swap_ends()) {
            count += end >= from && end <= to ? 1 : 0;
        }
        return count;
    }

    void key(KeySym key, bool down) {
        ASSERT_TRUE(fake_key(display(), key, down)) << "XTest could not press the key";
    }

    void close_and_expect_0() {
        send_close_request(display(), area_.window);
        ASSERT_TRUE(wait_for_exit(&run_, deadline_ms)) << "the viewer did not end: killed";
        EXPECT_EQ(run_.status, 0);
    }
};

class SlowFrames : public SlowFrameScenario, public ::testing::WithParamInterface<focus> {};

// Taps much shorter than a frame, each pressed and released between two
// looks at F5: each rebuilds exactly once, from the file as it is then. (A
// tap that a loaded machine let span a look still rebuilds exactly once: it
// is held at that look and not pressed since the next one.)
TEST_P(SlowFrames, EachTapBetweenTwoFramesRebuildsOnce) {
    ASSERT_NO_FATAL_FAILURE(start_slow(GetParam()));
    constexpr int taps = 4;
    int between_looks = 0;
    for (int tap = 1; tap <= taps; ++tap) {
        int tag = 1 + tap % 2;
        ASSERT_TRUE(write_file(folder_ + "/ps.fx", clock_pixel_shader(tag)));
        long long end = next_swap_end();
        ASSERT_GE(end, 0);
        sleep_until_ms(end + act_after_ms);
        long long pressed = monotonic_ms();
        ASSERT_NO_FATAL_FAILURE(key(XK_F5, true));
        sleep_until_ms(pressed + tap_ms);
        ASSERT_NO_FATAL_FAILURE(key(XK_F5, false));
        long long released = monotonic_ms();
        clock_reading rebuilt = wait_for_clock(display(), area_, tag, 0, deadline_ms);
        EXPECT_GE(rebuilt.frame, 0) << "tap " << tap << " did not rebuild";
        between_looks += swaps_ended_between(pressed - look_margin_ms, released) == 0 ? 1 : 0;
    }
    ASSERT_NO_FATAL_FAILURE(close_and_expect_0());
    std::printf("%d of %d taps fell between two looks at F5\n", between_looks, taps);
    EXPECT_GE(between_looks, 1) << "the machine was too slow to place a tap between two frames";
    EXPECT_EQ(builds().builds, 1 + taps) << "one build at start and one per tap";
}

// F5 held across several slow frames: each frame that looked while it was
// down rebuilt, and none after the release.
TEST_P(SlowFrames, HeldAcrossFramesRebuildsOnEachAndNoneAfter) {
    ASSERT_NO_FATAL_FAILURE(start_slow(GetParam()));
    constexpr int held_frames = 3;
    ASSERT_TRUE(write_file(folder_ + "/ps.fx", clock_pixel_shader(1)));
    long long end = next_swap_end();
    ASSERT_GE(end, 0);
    sleep_until_ms(end + act_after_ms);
    long long pressed = monotonic_ms();
    ASSERT_NO_FATAL_FAILURE(key(XK_F5, true));
    ASSERT_TRUE(poll_until(
        [&] { return swaps_ended_between(pressed, monotonic_ms()) >= held_frames; }, deadline_ms))
        << "the frames stopped";
    sleep_until_ms(swap_ends().back() + act_after_ms);
    ASSERT_NO_FATAL_FAILURE(key(XK_F5, false));
    long long released = monotonic_ms();
    EXPECT_GE(wait_for_clock(display(), area_, 1, 0, deadline_ms).frame, 0) << "no rebuild";

    // After the release an edit does not show, however many frames pass.
    ASSERT_TRUE(write_file(folder_ + "/ps.fx", clock_pixel_shader(2)));
    for (int frame = 0; frame < 3; ++frame) {
        ASSERT_GE(next_swap_end(), 0);
    }
    clock_reading later = read_clock(display(), area_);
    EXPECT_EQ(later.tag, 1) << "the viewer rebuilt after the release";

    ASSERT_NO_FATAL_FAILURE(close_and_expect_0());
    // A look follows each swap's end: those that ended while F5 was down,
    // apart from one just before the release, looked at it down; none
    // after the release did. When the test placed its keys as meant, both
    // counts are the frames it held F5 across.
    int surely_held = swaps_ended_between(pressed, released - look_margin_ms);
    int maybe_held = swaps_ended_between(pressed - look_margin_ms, released);
    int rebuilds = builds().builds - 1;
    std::printf("F5 held %lld ms: %d to %d frames looked at it down, %d rebuilds\n",
                released - pressed, surely_held, maybe_held, rebuilds);
    EXPECT_GE(surely_held, 2) << "the key was not held across frames as meant";
    EXPECT_GE(rebuilds, surely_held);
    EXPECT_LE(rebuilds, maybe_held);
}

// Esc in the middle of a slow frame: the viewer ends with 0 once that frame
// and the one drawn after the quit request are done, no later.
TEST_F(SlowFrameScenario, EscapeInASlowFrameEndsWith0AfterIt) {
    ASSERT_NO_FATAL_FAILURE(start_slow(focus::viewer));
    long long end = next_swap_end();
    ASSERT_GE(end, 0);
    sleep_until_ms(end + act_after_ms);
    long long pressed = monotonic_ms();
    ASSERT_NO_FATAL_FAILURE(key(XK_Escape, true));
    ASSERT_NO_FATAL_FAILURE(key(XK_Escape, false));
    ASSERT_TRUE(wait_for_exit(&run_, deadline_ms)) << "the viewer did not end: killed";
    EXPECT_EQ(run_.status, 0);
    int after = swaps_ended_between(pressed, monotonic_ms());
    EXPECT_GE(after, 1) << "the frame under way did not end";
    EXPECT_LE(after, 2) << "frames went on after the quit request";
    EXPECT_EQ(builds().builds, 1);
    EXPECT_EQ(run_stderr(run_), "");
}

#if !QO_SCENARIOS_ON_WINE
// The clock shader with a loop of `iterations` per pixel ahead of it: the
// loop's sum never reaches the colour, but the compiler can't know it.
std::string heavy_clock_shader(int tag, long iterations) {
    std::string text = clock_pixel_shader(tag);
    const std::string colour = "    gl_FragColor = ";
    size_t at = text.find(colour);
    if (at == std::string::npos) {
        return text;
    }
    text.insert(at, "    float sum = 0.0;\n"
                    "    for (int i = 0; i < " +
                        std::to_string(iterations) +
                        "; ++i) {\n"
                        "        sum += sin(sum + gl_FragCoord.x * 0.001 + float(i));\n"
                        "    }\n"
                        "    if (sum > 1.0e9) {\n"
                        "        discard;\n"
                        "    }\n");
    return text;
}

// On the real renderer without the shim: the shader's loop is sized by
// measuring a frame at the test's start so that a frame takes about a
// second, then five taps of 80 ms, 1.5 s apart, rebuild five times.
class HeavyShader : public SlowFrameScenario {
  protected:
    // Starts the viewer on heavy_clock_shader(0, iterations), focused.
    void start_heavy(long iterations) {
        ASSERT_NO_FATAL_FAILURE(start_focused_on(heavy_clock_shader(0, iterations)));
    }

    // The time of a frame, from the pixel clock over at least a second and
    // three frames.
    double measure_frame_ms() {
        clock_reading first = read_clock(display(), area_);
        long long from = monotonic_ms();
        clock_reading last = first;
        poll_until(
            [&] {
                last = read_clock(display(), area_);
                return last.frame >= first.frame + 3 && monotonic_ms() - from >= 1000;
            },
            2 * deadline_ms);
        long frames = last.frame - first.frame;
        return frames > 0 ? static_cast<double>(monotonic_ms() - from) / frames : 1e9;
    }
};

TEST_F(HeavyShader, FiveTapsOnASecondLongFrameRebuildFiveTimes) {
    constexpr long probe_iterations = 64;
    ASSERT_NO_FATAL_FAILURE(start_heavy(probe_iterations));
    double probe_ms = measure_frame_ms();
    ASSERT_NO_FATAL_FAILURE(close_and_expect_0());
    long iterations = static_cast<long>(probe_iterations * 1000.0 / (probe_ms > 1 ? probe_ms : 1));
    iterations = std::max(probe_iterations, std::min(iterations, 100000000L));

    ASSERT_NO_FATAL_FAILURE(start_heavy(iterations));
    double frame = measure_frame_ms();
    std::printf("%ld iterations: %.0f ms a frame (%ld iterations: %.1f ms)\n", iterations, frame,
                probe_iterations, probe_ms);
    ASSERT_GT(frame, 300.0) << "the frames are too short to test taps between them";

    constexpr int taps = 5;
    for (int tap = 1; tap <= taps; ++tap) {
        int tag = 1 + tap % 2;
        ASSERT_TRUE(write_file(folder_ + "/ps.fx", heavy_clock_shader(tag, iterations)));
        long long pressed = monotonic_ms();
        ASSERT_NO_FATAL_FAILURE(key(XK_F5, true));
        sleep_until_ms(pressed + 80);
        ASSERT_NO_FATAL_FAILURE(key(XK_F5, false));
        EXPECT_GE(wait_for_clock(display(), area_, tag, 0, deadline_ms).frame, 0)
            << "tap " << tap << " did not rebuild";
        sleep_until_ms(pressed + 1500);
    }
    ASSERT_NO_FATAL_FAILURE(close_and_expect_0());
    EXPECT_EQ(builds().builds, 1 + taps) << "one build at start and one per tap";
}
#endif

#if QO_SCENARIOS_ON_WINE
INSTANTIATE_TEST_SUITE_P(Focus, SlowFrames, ::testing::Values(focus::viewer),
                         [](const ::testing::TestParamInfo<focus>&) {
                             return std::string("qo_focused");
                         });
#else
INSTANTIATE_TEST_SUITE_P(Focus, SlowFrames, ::testing::Values(focus::viewer, focus::another_window),
                         [](const ::testing::TestParamInfo<focus>& info) {
                             return std::string(info.param == focus::viewer
                                                    ? "qo_focused"
                                                    : "another_window_focused");
                         });
#endif

} // namespace
