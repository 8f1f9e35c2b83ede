// How today's desktops answer, played by the fake portal (fake_portal.py):
// GNOME 48's bind answered with code 2 and a correct result, its dialog that
// holds the answer until the user clicks, a press whose release never comes
// (KDE's invokeShortcut), a frontend that refuses to register the app id
// (no desktop entry installed), and a desktop that already holds the
// shortcut (ListShortcuts before the bind, when asked for).
#include "portal_fixture.h"

#include <string>
#include <vector>

namespace {

using namespace portal_test;

constexpr const char* control = "example.qo.test.PortalControl.";
constexpr const char* portal_object = "/org/freedesktop/portal/desktop";

class DesktopAnswers : public PortalScenario {
  protected:
    void control_call(const std::string& method, const std::vector<std::string>& arguments) {
        call(portal_name, portal_object, control + method, arguments);
    }

    // A tap through the portal rebuilds: the edited shader (tag `tag`) shows.
    void expect_tap_rebuilds(int tag) {
        ASSERT_TRUE(write_file(folder_ + "/ps.fx", clock_pixel_shader(tag)));
        ASSERT_NO_FATAL_FAILURE(control_call("Tap", {"", "rebuild"}));
        EXPECT_GE(wait_for_clock(display(), area_, tag, 0, deadline_ms).frame, 0)
            << "the shortcut did not rebuild";
    }

    // The edited shader (tag `tag`, 0..3 as the clock shader allows) does
    // not show within 30 frames.
    void expect_no_rebuild(int tag, const char* why) {
        int shown = read_clock(display(), area_).tag;
        ASSERT_TRUE(write_file(folder_ + "/ps.fx", clock_pixel_shader(tag)));
        clock_reading now = read_clock(display(), area_);
        EXPECT_EQ(clock_at_least(now.frame + 30).tag, shown) << why;
    }
};

// ---- GNOME 48 binds --------------------------------------------------------------------------

// xdg-desktop-portal-gnome 48.0 answers a successful BindShortcuts with
// response 2, after a ShortcutsChanged that lists the shortcut; the result
// lists it too ("gnome48"), or only the ShortcutsChanged does
// ("gnome48-changed"). Bound either way: no line, and the shortcut rebuilds.
class GnomeBinds : public DesktopAnswers, public ::testing::WithParamInterface<const char*> {};

TEST_P(GnomeBinds, ResponseTwoWithTheShortcutListedIsBound) {
    ASSERT_NO_FATAL_FAILURE(start_fake(GetParam()));
    ASSERT_NO_FATAL_FAILURE(start_with_another_window_focused(wayland_environment(bus_variable())));
    ASSERT_TRUE(poll_until([&] { return log_has("/qo_bind_shortcuts 2"); }, deadline_ms))
        << "the fake did not answer the bind";
    ASSERT_NO_FATAL_FAILURE(expect_tap_rebuilds(1));
    ASSERT_NO_FATAL_FAILURE(expect_tap_rebuilds(2));
    ASSERT_NO_FATAL_FAILURE(close_and_expect_exit_0());
    EXPECT_EQ(rebuilds(), 2);
    EXPECT_EQ(run_stderr(run_), "");
}

INSTANTIATE_TEST_SUITE_P(Answers, GnomeBinds, ::testing::Values("gnome48", "gnome48-changed"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.index == 0 ? "ResultListsIt"
                                                                : "OnlyShortcutsChangedListsIt");
                         });

// ---- the desktop's dialog --------------------------------------------------------------------

// BindShortcuts' Response waits for the user's answer in the desktop's
// dialog: one line says so while frames go on, then the answer decides.
struct DialogAnswer {
    const char* name;
    const char* how;    // what the user answers: "accept" or "cancel"
    const char* reason; // the hint after it; "" for none (bound)
};

class DesktopDialog : public DesktopAnswers, public ::testing::WithParamInterface<DialogAnswer> {};

TEST_P(DesktopDialog, WaitingForTheUserIsSaidOnceAndFramesGoOn) {
    const std::string dialog_line = "qo: the desktop asks you to accept the shortcut \"Rebuild the "
                                    "shaders\" (F5) in a dialog, perhaps behind a window or on "
                                    "another workspace; until then F5 counts only with qo's "
                                    "window focused\n";
    ASSERT_NO_FATAL_FAILURE(start_fake("dialog"));
    ASSERT_NO_FATAL_FAILURE(start_with_another_window_focused(wayland_environment(bus_variable())));
    ASSERT_TRUE(wait_for_stderr(run_, dialog_line, deadline_ms)) << "nothing said of the dialog";
    // Frames go on while the dialog waits, and the line is not repeated.
    clock_reading now = read_clock(display(), area_);
    clock_at_least(now.frame + 60);
    EXPECT_EQ(run_stderr(run_), dialog_line);

    ASSERT_NO_FATAL_FAILURE(control_call("Answer", {GetParam().how}));
    std::string reason = GetParam().reason;
    if (reason.empty()) {
        ASSERT_TRUE(poll_until([&] { return log_has("/qo_bind_shortcuts 2"); }, deadline_ms));
        ASSERT_NO_FATAL_FAILURE(expect_tap_rebuilds(1));
        ASSERT_NO_FATAL_FAILURE(close_and_expect_exit_0());
        EXPECT_EQ(run_stderr(run_), dialog_line);
    } else {
        std::string hint = hint_for(reason);
        ASSERT_TRUE(wait_for_stderr(run_, hint, deadline_ms)) << "no hint after the answer";
        ASSERT_NO_FATAL_FAILURE(expect_x11_f5_rebuilds(1));
        ASSERT_NO_FATAL_FAILURE(close_and_expect_exit_0());
        EXPECT_EQ(run_stderr(run_), dialog_line + hint);
    }
}

INSTANTIATE_TEST_SUITE_P(Answers, DesktopDialog,
                         ::testing::Values(DialogAnswer{"Accepted", "accept", ""},
                                           DialogAnswer{"Cancelled", "cancel", "cancelled"}),
                         [](const ::testing::TestParamInfo<DialogAnswer>& info) {
                             return std::string(info.param.name);
                         });

// ---- a lost release --------------------------------------------------------------------------

// KDE's invokeShortcut sends Activated with no Deactivated: a press, whose
// hold lapses once no Activated has come for the lapse (1 s), not a hold
// for ever. A held key, which the desktop repeats, rebuilds past that time
// and stops at Deactivated.
TEST_F(DesktopAnswers, ActivatedWithoutDeactivatedLapsesButARepeatedHoldGoesOn) {
    constexpr int lapse_and_margin_ms = 1000 + 500;
    ASSERT_NO_FATAL_FAILURE(start_fake("ok"));
    ASSERT_NO_FATAL_FAILURE(start_with_another_window_focused(wayland_environment(bus_variable())));
    ASSERT_TRUE(poll_until([&] { return log_has("/qo_bind_shortcuts 0"); }, deadline_ms));

    ASSERT_TRUE(write_file(folder_ + "/ps.fx", clock_pixel_shader(1)));
    ASSERT_NO_FATAL_FAILURE(control_call("Invoke", {"", "rebuild"}));
    ASSERT_GE(wait_for_clock(display(), area_, 1, 0, deadline_ms).frame, 0)
        << "the press did not rebuild";
    // The viewer took the Activated before the frame seen: once the lapse
    // has passed since, no frame rebuilds.
    usleep(lapse_and_margin_ms * 1000);
    ASSERT_NO_FATAL_FAILURE(expect_no_rebuild(2, "the lost release kept rebuilding"));
    EXPECT_EQ(run_stderr(run_), "");

    // Held: Activated repeats (after 500 ms, every 30 ms), so the hold
    // outlives the lapse.
    ASSERT_TRUE(write_file(folder_ + "/ps.fx", clock_pixel_shader(3)));
    ASSERT_NO_FATAL_FAILURE(emit("Activated", "", "rebuild"));
    ASSERT_GE(wait_for_clock(display(), area_, 3, 0, deadline_ms).frame, 0)
        << "Activated did not rebuild";
    usleep(lapse_and_margin_ms * 1000);
    ASSERT_TRUE(write_file(folder_ + "/ps.fx", clock_pixel_shader(2)));
    ASSERT_GE(wait_for_clock(display(), area_, 2, 0, deadline_ms).frame, 0)
        << "the held shortcut stopped rebuilding";
    ASSERT_NO_FATAL_FAILURE(emit("Deactivated", "", "rebuild"));
    ASSERT_NO_FATAL_FAILURE(expect_no_rebuild(0, "the viewer rebuilt after Deactivated"));
    ASSERT_NO_FATAL_FAILURE(close_and_expect_exit_0());
    EXPECT_EQ(run_stderr(run_), "");
}

// ---- the app id refused ----------------------------------------------------------------------

// A frontend from 1.19.4 refuses Register for an app id whose desktop entry
// it cannot find: the viewer goes on unregistered. Where the desktop binds,
// all is well and nothing is said; where binding fails, the hint says how to
// install the entry; a cancel stays the user's own answer.
struct Unregistered {
    const char* name;
    const char* mode;
    const char* reason; // "" when bound
};

class AppIdRefused : public DesktopAnswers, public ::testing::WithParamInterface<Unregistered> {};

TEST_P(AppIdRefused, GoesOnUnregisteredAndSaysHowToInstallTheEntryWhereBindingFails) {
    ASSERT_NO_FATAL_FAILURE(start_fake(GetParam().mode));
    ASSERT_NO_FATAL_FAILURE(start_with_another_window_focused(wayland_environment(bus_variable())));
    ASSERT_TRUE(poll_until([&] { return log_has("/qo_bind_shortcuts "); }, deadline_ms))
        << "the viewer did not go on to bind";
    std::string reason = GetParam().reason;
    if (reason.empty()) {
        ASSERT_NO_FATAL_FAILURE(expect_tap_rebuilds(1));
        ASSERT_NO_FATAL_FAILURE(close_and_expect_exit_0());
        EXPECT_EQ(run_stderr(run_), "");
        return;
    }
    std::string hint = hint_for(reason);
    ASSERT_TRUE(wait_for_stderr(run_, hint, deadline_ms)) << "no hint";
    ASSERT_NO_FATAL_FAILURE(expect_x11_f5_rebuilds(1));
    ASSERT_NO_FATAL_FAILURE(close_and_expect_exit_0());
    EXPECT_EQ(run_stderr(run_), hint);
}

#define INSTALL_THE_ENTRY                                                                          \
    "; the portal refused the app id, so install its desktop entry example.qo.Qo.desktop in "      \
    "~/.local/share/applications with Exec= naming qo by its full path"

INSTANTIATE_TEST_SUITE_P(
    Outcomes, AppIdRefused,
    ::testing::Values(Unregistered{"Binds", "register-refused", ""},
                      Unregistered{"BindsNothing", "register-refused,bind-nothing",
                                   "the desktop bound no shortcut" INSTALL_THE_ENTRY},
                      Unregistered{"Refused", "register-refused,error",
                                   "the portal refused the request" INSTALL_THE_ENTRY},
                      Unregistered{"Cancelled", "register-refused,cancel", "cancelled"}),
    [](const ::testing::TestParamInfo<Unregistered>& info) {
        return std::string(info.param.name);
    });

// ---- a shortcut the desktop already holds ---------------------------------------------------

// QO_PORTAL_BIND=if-unheld: ListShortcuts on the new session first, and no
// BindShortcuts when the desktop lists the shortcut with a key (KDE Plasma
// up to 6.3 asks to open System Settings at each bind). By default, and
// when the shortcut is not held, the viewer binds as before.
struct BindRule {
    const char* name;
    const char* setting; // QO_PORTAL_BIND; "" for unset
    const char* mode;
    bool lists;
    bool binds;
};

class HeldShortcut : public DesktopAnswers, public ::testing::WithParamInterface<BindRule> {};

TEST_P(HeldShortcut, BindsUnlessTheRuleAndTheDesktopSayItIsHeld) {
    const BindRule& rule = GetParam();
    ASSERT_NO_FATAL_FAILURE(start_fake(rule.mode));
    std::vector<std::string> environment = wayland_environment(bus_variable());
    if (rule.setting[0] != '\0') {
        environment.push_back(std::string("QO_PORTAL_BIND=") + rule.setting);
    }
    ASSERT_NO_FATAL_FAILURE(start_with_another_window_focused(environment));
    ASSERT_TRUE(poll_until(
        [&] { return log_has(rule.binds ? "/qo_bind_shortcuts 0" : "/qo_list_shortcuts 0"); },
        deadline_ms))
        << "the viewer did not get as far as expected";
    ASSERT_NO_FATAL_FAILURE(expect_tap_rebuilds(1));
    ASSERT_NO_FATAL_FAILURE(close_and_expect_exit_0());
    EXPECT_EQ(run_stderr(run_), "");

    // Every call the viewer made is in the log once it has left the bus.
    std::vector<std::string> log = lines_of(read_file(log_path_));
    int create = line_starting(log, "CreateSession ");
    ASSERT_GE(create, 0);
    std::string sender = log[create].substr(log[create].rfind(' ') + 1);
    ASSERT_TRUE(poll_until([&] { return log_has("disconnect " + sender); }, deadline_ms));
    log = lines_of(read_file(log_path_));
    int list = line_starting(log, "ListShortcuts ");
    int bind = line_starting(log, "BindShortcuts ");
    EXPECT_EQ(list >= 0, rule.lists);
    EXPECT_EQ(bind >= 0, rule.binds);
    if (rule.lists && rule.binds) {
        EXPECT_GT(bind, list) << "the bind came before the list";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, HeldShortcut,
    ::testing::Values(BindRule{"DefaultBindsHeld", "", "held", false, true},
                      BindRule{"AlwaysBindsHeld", "always", "held", false, true},
                      BindRule{"IfUnheldSkipsHeld", "if-unheld", "held", true, false},
                      BindRule{"IfUnheldBindsUnheld", "if-unheld", "ok", true, true}),
    [](const ::testing::TestParamInfo<BindRule>& info) { return std::string(info.param.name); });

} // namespace
