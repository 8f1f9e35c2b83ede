// F5 while the key map changes under the running viewer: the test moves the
// F5 keysym to another keycode with XChangeKeyboardMapping (as a layout
// switch or a virtual keyboard with a key map of its own does) and presses
// keys by keycode through XTest.
// GoogleTest before the X11 headers: Xlib's macros (None, Bool) would break it.
#include <gtest/gtest.h>

#include "harness.h"
#include "viewer_fixture.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <string>

#if QO_SCENARIOS_KEY_POLL
// The Linux viewer with XInput2 hidden (key_poll_main.cpp): the same key-map
// changes, seen through the XQueryKeymap poll.
viewer_platform key_poll_platform();
#endif

namespace {

viewer_platform keymap_platform() {
#if QO_SCENARIOS_KEY_POLL
    return key_poll_platform();
#else
    return linux_platform();
#endif
}

class KeyMapScenario : public ViewerFixture {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(open_fixture(keymap_platform(), "keymap"));
    }

    // Starts the viewer on the clock shader (tag 0), focused, and waits for
    // its first frames.
    void start_clock() {
        ASSERT_NO_FATAL_FAILURE(start_focused_on(clock_pixel_shader(0)));
    }

    void write_clock(int tag) {
        ASSERT_TRUE(write_file(folder_ + "/ps.fx", clock_pixel_shader(tag)));
    }

    // Presses or releases the key by its keycode, whatever keysym it has.
    void keycode(KeyCode code, bool down) {
        ASSERT_NE(XTestFakeKeyEvent(display(), code, down ? True : False, CurrentTime), 0);
        XSync(display(), False);
    }

    // The keysyms of every keycode, as the server has them now.
    void read_map(int* min_keycode, int* count, int* per_keycode, std::vector<KeySym>* syms) {
        int max_keycode = 0;
        XDisplayKeycodes(display(), min_keycode, &max_keycode);
        *count = max_keycode - *min_keycode + 1;
        KeySym* map =
            XGetKeyboardMapping(display(), static_cast<KeyCode>(*min_keycode), *count, per_keycode);
        ASSERT_NE(map, nullptr);
        syms->assign(map, map + *count * *per_keycode);
        XFree(map);
    }

    // Moves F5 from its keycode to one that had no keysym, and gives the old
    // one a keysym that appears nowhere in the map; with `keep_old`, F5 stays
    // on the old keycode too. Returns both keycodes.
    void move_f5(KeyCode* old_code, KeyCode* new_code, bool keep_old = false) {
        int min_keycode = 0;
        int count = 0;
        int per = 0;
        std::vector<KeySym> syms;
        ASSERT_NO_FATAL_FAILURE(read_map(&min_keycode, &count, &per, &syms));
        *old_code = 0;
        *new_code = 0;
        bool f35_used = false;
        for (int i = 0; i < count; ++i) {
            bool empty = true;
            for (int place = 0; place < per; ++place) {
                KeySym sym = syms[i * per + place];
                empty = empty && sym == NoSymbol;
                f35_used = f35_used || sym == XK_F35;
                if (sym == XK_F5 && *old_code == 0) {
                    *old_code = static_cast<KeyCode>(min_keycode + i);
                }
            }
            // The highest unused keycode, far from the ones in use.
            if (empty) {
                *new_code = static_cast<KeyCode>(min_keycode + i);
            }
        }
        ASSERT_NE(*old_code, 0) << "F5 is not in the server's key map";
        ASSERT_NE(*new_code, 0) << "no unused keycode in the server's key map";
        ASSERT_FALSE(f35_used) << "F35 is already in the server's key map";
        KeySym f5 = XK_F5;
        KeySym f35 = XK_F35;
        XChangeKeyboardMapping(display(), *new_code, 1, &f5, 1);
        if (!keep_old) {
            XChangeKeyboardMapping(display(), *old_code, 1, &f35, 1);
        }
        XSync(display(), False);

        ASSERT_NO_FATAL_FAILURE(read_map(&min_keycode, &count, &per, &syms));
        for (int i = 0; i < count; ++i) {
            KeyCode code = static_cast<KeyCode>(min_keycode + i);
            bool has_f5 = false;
            for (int place = 0; place < per; ++place) {
                has_f5 = has_f5 || syms[i * per + place] == XK_F5;
            }
            EXPECT_EQ(has_f5, code == *new_code || (keep_old && code == *old_code))
                << "keycode " << int(code);
        }
    }

    void close_and_expect_exit() {
        send_close_request(display(), area_.window);
        ASSERT_TRUE(wait_for_exit(&run_, deadline_ms)) << "the viewer did not end: killed";
        EXPECT_EQ(run_.status, 0);
    }

    int rebuilds() {
        return builds().builds - 1;
    }
};

// F5 moved to another keycode while the viewer runs: the new keycode held
// rebuilds on every frame, none after its release, and the old keycode,
// which now means something else, rebuilds nothing.
TEST_F(KeyMapScenario, F5MovedToAnotherKeycodeRebuildsEveryFrameWhileHeld) {
    ASSERT_NO_FATAL_FAILURE(start_clock());
    KeyCode old_code = 0;
    KeyCode new_code = 0;
    ASSERT_NO_FATAL_FAILURE(move_f5(&old_code, &new_code));

    ASSERT_NO_FATAL_FAILURE(write_clock(1));
    clock_reading before_press = read_clock(display(), area_);
    ASSERT_NO_FATAL_FAILURE(keycode(new_code, true));
    clock_reading after_press = read_clock(display(), area_);
    clock_reading rebuilt = wait_for_clock(display(), area_, 1, 0, deadline_ms);
    clock_reading held = clock_at_least(after_press.frame + 20);
    ASSERT_NO_FATAL_FAILURE(keycode(new_code, false));
    clock_reading after_release = read_clock(display(), area_);
    EXPECT_GE(rebuilt.frame, 0) << "F5 on keycode " << int(new_code) << " did not rebuild";

    // After the release, neither the new keycode's silence nor the old
    // keycode held rebuilds. The frame under way when the key came up may
    // still rebuild: the edit comes after it.
    clock_at_least(after_release.frame + 2);
    ASSERT_NO_FATAL_FAILURE(write_clock(2));
    ASSERT_NO_FATAL_FAILURE(keycode(old_code, true));
    clock_reading old_held = clock_at_least(after_release.frame + 30);
    ASSERT_NO_FATAL_FAILURE(keycode(old_code, false));
    EXPECT_EQ(old_held.tag, 1) << "the viewer rebuilt with F5 up (keycode " << int(old_code)
                               << " held, no longer F5)";

    ASSERT_NO_FATAL_FAILURE(close_and_expect_exit());
    int count = rebuilds();
    std::printf("F5 moved from keycode %d to %d; frames: %ld before the press, %ld after it, %ld "
                "held, %ld after the release, %ld later; %d rebuilds\n",
                old_code, new_code, before_press.frame, after_press.frame, held.frame,
                after_release.frame, old_held.frame, count);
    // As for F5 on its own keycode: every frame from two after the first
    // one seen with the key down, none after the one following the release.
    EXPECT_GE(count, held.frame - after_press.frame - 1)
        << "frames " << after_press.frame << " to " << held.frame << " held";
    EXPECT_LE(count, after_release.frame - before_press.frame + 1)
        << "frames " << before_press.frame << " to " << after_release.frame;
}

// F5 on two keycodes at once (given to a second one while the viewer runs):
// either one rebuilds.
TEST_F(KeyMapScenario, F5OnTwoKeycodesRebuildsFromEither) {
    ASSERT_NO_FATAL_FAILURE(start_clock());
    KeyCode first = 0;
    KeyCode second = 0;
    ASSERT_NO_FATAL_FAILURE(move_f5(&first, &second, true));

    int tag = 1;
    for (KeyCode code : {second, first}) {
        ASSERT_NO_FATAL_FAILURE(write_clock(tag));
        ASSERT_NO_FATAL_FAILURE(keycode(code, true));
        clock_reading rebuilt = wait_for_clock(display(), area_, tag, 0, deadline_ms);
        ASSERT_NO_FATAL_FAILURE(keycode(code, false));
        EXPECT_GE(rebuilt.frame, 0) << "F5 on keycode " << int(code) << " did not rebuild";
        ++tag;
    }
    ASSERT_NO_FATAL_FAILURE(close_and_expect_exit());
    EXPECT_GE(rebuilds(), 2);
}

// F5 held while the map moves it elsewhere: the held key still counts as
// F5 until that same key is released, and nothing rebuilds after.
TEST_F(KeyMapScenario, F5HeldAcrossAMapChangeEndsWithItsRelease) {
    ASSERT_NO_FATAL_FAILURE(start_clock());
    KeyCode old_code = XKeysymToKeycode(display(), XK_F5);
    ASSERT_NE(old_code, 0);
    ASSERT_NO_FATAL_FAILURE(write_clock(1));
    ASSERT_NO_FATAL_FAILURE(keycode(old_code, true));
    EXPECT_GE(wait_for_clock(display(), area_, 1, 0, deadline_ms).frame, 0)
        << "F5 held did not rebuild";

    KeyCode moved_from = 0;
    KeyCode new_code = 0;
    ASSERT_NO_FATAL_FAILURE(move_f5(&moved_from, &new_code));
    ASSERT_EQ(moved_from, old_code);
    ASSERT_NO_FATAL_FAILURE(write_clock(2));
    EXPECT_GE(wait_for_clock(display(), area_, 2, 0, deadline_ms).frame, 0)
        << "F5 held stopped rebuilding when the map moved it";

    ASSERT_NO_FATAL_FAILURE(keycode(old_code, false));
    clock_reading released = read_clock(display(), area_);
    // The frame under way when the key came up may still rebuild.
    clock_at_least(released.frame + 2);
    ASSERT_NO_FATAL_FAILURE(write_clock(3));
    clock_reading later = clock_at_least(released.frame + 30);
    EXPECT_EQ(later.tag, 2) << "the viewer still rebuilds after F5 was released";

    ASSERT_NO_FATAL_FAILURE(close_and_expect_exit());
    EXPECT_GE(rebuilds(), 2);
}

} // namespace
