// Under a real window manager (openbox, as Debian ships it): minimise and
// restore, close from a taskbar, and the requests that would resize or
// maximise the fixed-size window.
#include "robust_support.h"

#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <algorithm>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

class wm : public RobustScenario {
  protected:
    // Openbox first, then the viewer, as on a desktop.
    void start_managed_viewer(const std::string& pixel) {
        std::string config = path("openbox");
        ASSERT_EQ(mkdir(config.c_str(), 0755), 0);
        std::string error;
        window_manager_ = start_openbox(server_.name, config, deadline_ms, &error);
        ASSERT_GT(window_manager_, 0) << error;
        ASSERT_NO_FATAL_FAILURE(write_shaders(pixel));
        ASSERT_NO_FATAL_FAILURE(start_and_find_window());
        ASSERT_TRUE(poll_until([&] { return wm_state(display(), area_.window) == NormalState; },
                               deadline_ms))
            << "openbox did not manage the window";
        EXPECT_EQ(area_.width, 800);
        EXPECT_EQ(area_.height, 600);
    }

    bool has_state(const char* state) {
        std::vector<std::string> states = atom_list(display(), area_.window, "_NET_WM_STATE");
        return std::find(states.begin(), states.end(), state) != states.end();
    }

    // Openbox takes requests in order: once a later one shows, the earlier
    // ones were handled.
    void sync_with_window_manager() {
        send_net_wm_state(display(), area_.window, 1, "_NET_WM_STATE_ABOVE", nullptr);
        ASSERT_TRUE(poll_until([&] { return has_state("_NET_WM_STATE_ABOVE"); }, deadline_ms))
            << "openbox did not take a request";
    }

    // The window is shown again: where it is now, all 800x600 of it drawn
    // by the program with `tag`, from a frame after `frame`.
    void expect_whole_picture(int tag, long frame) {
        int map_state = 0;
        int width = 0;
        int height = 0;
        ASSERT_TRUE(poll_until(
            [&] {
                return wm_state(display(), area_.window) == NormalState &&
                       window_geometry(display(), area_.window, &map_state, &width, &height) &&
                       map_state == IsViewable;
            },
            deadline_ms))
            << "not shown again";
        // Where the window ends up once openbox has put it back.
        clock_reading shown;
        bool back = poll_until(
            [&] {
                std::string error;
                if (!find_viewer_area(display(), platform_, 1000, &area_, &error)) {
                    return false;
                }
                shown = read_clock(display(), area_);
                return (shown.tag == tag && shown.frame > frame) || has_exited(&run_);
            },
            deadline_ms);
        ASSERT_FALSE(has_exited(&run_)) << "the viewer ended, status " << run_.status;
        if (!back) {
            rgb centre;
            read_pixel(display(), area_, area_.width / 2, area_.height / 2, &centre);
            FAIL() << "the picture did not come back: at (" << area_.x << ", " << area_.y
                   << ") the centre shows " << describe(centre) << " (tag " << shown.tag
                   << ", frame " << shown.frame << "), wanted tag " << tag << " after frame "
                   << frame;
        }
        // Openbox may still be putting the frame back around it: the whole
        // area shows one frame of the viewer's once it is done.
        std::string seen;
        poll_until(
            [&] {
                std::string error;
                probe_image image;
                if (!find_viewer_area(display(), platform_, 1000, &area_, &error) ||
                    !grab_area(display(), area_, &image) || image.rgb.empty()) {
                    return false;
                }
                rgb first{image.rgb[0], image.rgb[1], image.rgb[2]};
                return count_other_pixels(image, first, &seen) == 0;
            },
            deadline_ms);
        EXPECT_EQ(area_.width, 800);
        EXPECT_EQ(area_.height, 600);
        rgb colour = uniform_picture();
        EXPECT_EQ(decode_clock(colour).tag, tag) << describe(colour);
    }
};

enum class restore_by { net_active_window, map_window };

void PrintTo(restore_by how, std::ostream* out) {
    *out << (how == restore_by::net_active_window ? "_NET_ACTIVE_WINDOW" : "XMapWindow");
}

class MinimiseRestore : public wm, public ::testing::WithParamInterface<restore_by> {};

TEST_P(MinimiseRestore, KeepsDrawingAndGivesBackTheWholeArea) {
    ASSERT_NO_FATAL_FAILURE(start_managed_viewer(clock_pixel_shader(1)));
    for (int round = 1; round <= 2; ++round) {
        int tag = round + 1;
        clock_reading before = wait_for_clock_while_running(round, 1, deadline_ms);
        ASSERT_GE(before.frame, 0) << "not drawing before round " << round;

        XIconifyWindow(display(), area_.window, DefaultScreen(display()));
        XSync(display(), False);
        int map_state = 0;
        int width = 0;
        int height = 0;
        ASSERT_TRUE(poll_until(
            [&] {
                return wm_state(display(), area_.window) == IconicState &&
                       window_geometry(display(), area_.window, &map_state, &width, &height) &&
                       map_state != IsViewable;
            },
            deadline_ms))
            << "not minimised";

        // Minimised, the loop goes on: F5 builds the edited shader, and the
        // build lines reach stdout (a block is a few hundred builds).
        ASSERT_TRUE(write_file(path("ps.fx"), clock_pixel_shader(tag)));
        long lines = count_lines_in_file(run_.stdout_path);
        ASSERT_NO_FATAL_FAILURE(key(XK_F5, true));
        bool built = poll_until(
            [&] { return count_lines_in_file(run_.stdout_path) > lines || has_exited(&run_); },
            4 * deadline_ms);
        ASSERT_NO_FATAL_FAILURE(key(XK_F5, false));
        ASSERT_FALSE(has_exited(&run_)) << "the viewer ended, status " << run_.status;
        ASSERT_TRUE(built) << "no builds while minimised";

        if (GetParam() == restore_by::net_active_window) {
            send_net_active_window(display(), area_.window);
        } else {
            XMapWindow(display(), area_.window);
            XSync(display(), False);
        }
        ASSERT_NO_FATAL_FAILURE(expect_whole_picture(tag, before.frame));
    }
    ASSERT_NO_FATAL_FAILURE(close_and_expect_0());
    builds();
    EXPECT_EQ(run_stderr(run_), "");
}

INSTANTIATE_TEST_SUITE_P(wm, MinimiseRestore,
                         ::testing::Values(restore_by::net_active_window, restore_by::map_window),
                         [](const ::testing::TestParamInfo<restore_by>& info) {
                             return std::string(info.param == restore_by::net_active_window
                                                    ? "restored_by_net_active_window"
                                                    : "restored_by_map_window");
                         });

// A taskbar's or a pager's close button: the window manager forwards it as
// WM_DELETE_WINDOW.
TEST_F(wm, CloseFromTheTaskbarEndsWith0) {
    ASSERT_NO_FATAL_FAILURE(start_managed_viewer(clock_pixel_shader(1)));
    ASSERT_GE(wait_for_clock_while_running(1, 1, deadline_ms).frame, 0) << "not drawing";
    send_net_close_window(display(), area_.window);
    ASSERT_TRUE(wait_for_exit(&run_, deadline_ms)) << "the viewer did not end: killed";
    EXPECT_EQ(run_.status, 0);
    EXPECT_EQ(builds().builds, 1);
    EXPECT_EQ(run_stderr(run_), "");
}

TEST_F(wm, NeitherResizedNorMaximised) {
    ASSERT_NO_FATAL_FAILURE(start_managed_viewer(clock_pixel_shader(1)));
    Window window = area_.window;

    // What the window asks for.
    XSizeHints hints;
    long supplied = 0;
    ASSERT_TRUE(XGetWMNormalHints(display(), window, &hints, &supplied)) << "no WM_NORMAL_HINTS";
    EXPECT_TRUE((hints.flags & PMinSize) && (hints.flags & PMaxSize));
    EXPECT_EQ(hints.min_width, 800);
    EXPECT_EQ(hints.max_width, 800);
    EXPECT_EQ(hints.min_height, 600);
    EXPECT_EQ(hints.max_height, 600);
    unsigned long flags = 0;
    unsigned long functions = 0;
    ASSERT_TRUE(motif_functions(display(), window, &flags, &functions)) << "no _MOTIF_WM_HINTS";
    EXPECT_TRUE(flags & 1) << "the functions word is not in use";
    EXPECT_EQ(functions & 1, 0u) << "MWM_FUNC_ALL turns the list into exclusions";
    EXPECT_EQ(functions & 2, 0u) << "resize allowed";
    EXPECT_EQ(functions & 16, 0u) << "maximise allowed";
    EXPECT_NE(functions & 8, 0u) << "minimise not allowed";
    EXPECT_NE(functions & 32, 0u) << "close not allowed";

    // What openbox made of it.
    std::vector<std::string> allowed;
    ASSERT_TRUE(poll_until(
        [&] {
            allowed = atom_list(display(), window, "_NET_WM_ALLOWED_ACTIONS");
            return !allowed.empty();
        },
        deadline_ms));
    auto allows = [&](const char* action) {
        return std::find(allowed.begin(), allowed.end(), action) != allowed.end();
    };
    EXPECT_FALSE(allows("_NET_WM_ACTION_RESIZE"));
    EXPECT_FALSE(allows("_NET_WM_ACTION_MAXIMIZE_HORZ"));
    EXPECT_FALSE(allows("_NET_WM_ACTION_MAXIMIZE_VERT"));
    EXPECT_TRUE(allows("_NET_WM_ACTION_MINIMIZE"));
    EXPECT_TRUE(allows("_NET_WM_ACTION_CLOSE"));

    // Asked anyway: maximise, resize by the window itself, resize by a pager.
    clock_reading before = wait_for_clock_while_running(1, 1, deadline_ms);
    send_net_wm_state(display(), window, 1, "_NET_WM_STATE_MAXIMIZED_VERT",
                      "_NET_WM_STATE_MAXIMIZED_HORZ");
    XResizeWindow(display(), window, 1000, 700);
    XSync(display(), False);
    send_net_moveresize(display(), window, 10, 10, 1000, 700);
    ASSERT_NO_FATAL_FAILURE(sync_with_window_manager());

    EXPECT_FALSE(has_state("_NET_WM_STATE_MAXIMIZED_VERT"));
    EXPECT_FALSE(has_state("_NET_WM_STATE_MAXIMIZED_HORZ"));
    int map_state = 0;
    int width = 0;
    int height = 0;
    ASSERT_TRUE(window_geometry(display(), window, &map_state, &width, &height));
    EXPECT_EQ(width, 800);
    EXPECT_EQ(height, 600);
    ASSERT_NO_FATAL_FAILURE(expect_whole_picture(1, before.frame));
    ASSERT_NO_FATAL_FAILURE(close_and_expect_0());
    EXPECT_EQ(builds().builds, 1);
}

} // namespace
