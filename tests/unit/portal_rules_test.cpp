#include "display/portal_shortcut.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

TEST(PortalRules, WaylandSessionFromTheEnvironment) {
    struct Case {
        const char* wayland_display;
        const char* session_type;
        int wayland;
    };
    const Case cases[] = {
        {"wayland-0", nullptr, 1},
        {"wayland-1", "x11", 1}, // a Wayland socket wins over a stale session type
        {nullptr, "wayland", 1},
        {"", "wayland", 1},
        {"", nullptr, 0}, // set but empty: no Wayland display
        {nullptr, nullptr, 0},
        {nullptr, "x11", 0},
        {nullptr, "tty", 0},
        {nullptr, "Wayland", 0},
        {nullptr, "wayland-ish", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(is_wayland_session(c.wayland_display, c.session_type), c.wayland)
            << (c.wayland_display ? c.wayland_display : "(unset)") << " / "
            << (c.session_type ? c.session_type : "(unset)");
    }
}

TEST(PortalRules, RequestPathFromUniqueNameAndToken) {
    struct Case {
        const char* unique_name;
        const char* token;
        const char* path; // "" when refused
    };
    const Case cases[] = {
        {":1.42", "qo_create_session",
         "/org/freedesktop/portal/desktop/request/1_42/qo_create_session"},
        {":1.7", "t", "/org/freedesktop/portal/desktop/request/1_7/t"},
        // Characters a unique name may hold beyond path elements' become '_'.
        {":x-y.3", "T0", "/org/freedesktop/portal/desktop/request/x_y_3/T0"},
        {":", "t", ""},
        {"", "t", ""},
        {nullptr, "t", ""},
        {":1.42", "", ""},
        {":1.42", nullptr, ""},
        {":1.42", "a.b", ""}, // a token must be one path element
        {":1.42", "a/b", ""},
    };
    for (const Case& c : cases) {
        char path[128] = "junk";
        int ok = portal_request_path(c.unique_name, c.token, path, sizeof path);
        EXPECT_EQ(ok, c.path[0] != '\0' ? 1 : 0) << (c.unique_name ? c.unique_name : "(null)");
        EXPECT_STREQ(path, c.path);
    }
    // Too small a buffer: refused, never cut short.
    char small[40] = "junk";
    EXPECT_EQ(portal_request_path(":1.42", "qo_create_session", small, sizeof small), 0);
    EXPECT_STREQ(small, "");
    char exact[sizeof "/org/freedesktop/portal/desktop/request/1_42/t"];
    EXPECT_EQ(portal_request_path(":1.42", "t", exact, sizeof exact), 1);
    EXPECT_EQ(portal_request_path(":1.42", "tt", exact, sizeof exact), 0);
}

// Activated (A), Deactivated (D) and frames' looks (|): what each look says.
TEST(PortalRules, KeyLookCountsEveryPressOnce) {
    struct Case {
        const char* events;
        const char* looks;
    };
    const Case cases[] = {
        {"A|D|", "10"},     {"AD||", "10"}, // a tap between two looks: exactly one
        {"A|||D|", "1110"},                 // held: every look
        {"A|AAD|", "10"},                   // key repeat, then the release: no press after the look
        {"A|DA|D|", "110"},                 // released and pressed again between two looks
        {"ADAD|", "1"},                     // two taps in one frame: one
        {"AD|AD|", "11"},   {"D|", "0"},    {"|", "0"},
    };
    for (const Case& c : cases) {
        portal_key key = {false, false, 0};
        std::string looks;
        for (const char* e = c.events; *e != '\0'; ++e) {
            if (*e == 'A') {
                portal_key_activated(&key, 0);
            } else if (*e == 'D') {
                portal_key_deactivated(&key);
            } else {
                looks += portal_key_look(&key, 0) ? '1' : '0';
            }
        }
        EXPECT_EQ(looks, c.looks) << c.events;
    }
}

// The same with the time (ms) of each event: a hold lapses once no Activated
// has come for PORTAL_HOLD_LAPSE_MS (a lost release), and the desktops' key
// repeat keeps a real one going.
TEST(PortalRules, HoldLapsesWithoutActivatedForTheLapse) {
    static_assert(PORTAL_HOLD_LAPSE_MS == 1000, "the cases below are written for 1000 ms");
    struct Event {
        char kind; // A, D, or | for a look
        long long ms;
    };
    struct Case {
        const char* name;
        std::vector<Event> events;
        const char* looks;
    };
    const Case cases[] = {
        // KDE's invokeShortcut: Activated alone. A press, then the hold
        // lapses and stays over.
        {"lost release", {{'A', 0}, {'|', 16}, {'|', 1000}, {'|', 1001}, {'|', 60000}}, "1100"},
        // Looks far apart (slow frames): the press still counts once.
        {"lost release, slow frames", {{'A', 0}, {'|', 3000}, {'|', 6000}}, "10"},
        // GNOME 48: repeats every 30 ms after 500 ms, then Deactivated.
        {"GNOME hold",
         {{'A', 0},
          {'|', 400},
          {'A', 500},
          {'|', 1400},
          {'A', 1430},
          {'|', 2420},
          {'D', 2425},
          {'|', 2430}},
         "1110"},
        // Plasma: ~600 ms before the first repeat, then up to 100 ms apart.
        {"Plasma hold",
         {{'A', 0}, {'A', 600}, {'|', 1500}, {'A', 1600}, {'|', 2599}, {'D', 2650}, {'|', 2700}},
         "110"},
        // A desktop that does not repeat: a hold longer than the lapse ends
        // early, and the next press counts again.
        {"no repeat",
         {{'A', 0}, {'|', 999}, {'|', 1500}, {'D', 4000}, {'A', 4100}, {'|', 4200}},
         "101"},
        // A repeat after the lapse is a new press.
        {"late repeat", {{'A', 0}, {'|', 10}, {'|', 1200}, {'A', 1300}, {'|', 1310}}, "101"},
    };
    for (const Case& c : cases) {
        portal_key key = {false, false, 0};
        std::string looks;
        for (const Event& e : c.events) {
            if (e.kind == 'A') {
                portal_key_activated(&key, e.ms);
            } else if (e.kind == 'D') {
                portal_key_deactivated(&key);
            } else {
                looks += portal_key_look(&key, e.ms) ? '1' : '0';
            }
        }
        EXPECT_EQ(looks, c.looks) << c.name;
    }
}

TEST(PortalRules, ResponseCodes) {
    EXPECT_EQ(portal_response_reason(0), nullptr);
    EXPECT_STREQ(portal_response_reason(1), "cancelled");
    EXPECT_STREQ(portal_response_reason(2), "the portal refused the request");
    EXPECT_STREQ(portal_response_reason(77), "the portal refused the request");
}

// BindShortcuts' Response: the shortcut listed (in the results, or in a
// ShortcutsChanged just before) means bound whatever the code.
TEST(PortalRules, BindResponseListingTheShortcutMeansBound) {
    struct Case {
        unsigned int code;
        bool listed;
        bool changed_listed;
        const char* reason; // null: bound
    };
    const Case cases[] = {
        {0, true, false, nullptr},
        {2, true, false, nullptr}, // xdg-desktop-portal-gnome 48.0
        {2, false, true, nullptr}, // its ShortcutsChanged, whatever the results
        {2, true, true, nullptr},
        {1, true, false, nullptr},
        {0, false, false, PORTAL_REASON_BOUND_NOTHING}, // Plasma 5.27, list in BindShortcuts only
        {1, false, false, "cancelled"},                 // the user said no
        {2, false, false, "the portal refused the request"},
        {3, false, false, "the portal refused the request"},
    };
    for (const Case& c : cases) {
        const char* reason = portal_bind_reason(c.code, c.listed, c.changed_listed);
        if (c.reason == nullptr) {
            EXPECT_EQ(reason, nullptr) << c.code << " " << c.listed << " " << c.changed_listed;
        } else {
            EXPECT_STREQ(reason, c.reason) << c.code << " " << c.listed << " " << c.changed_listed;
        }
    }
}

TEST(PortalRules, DesktopEntryHintOnlyWhereTheEntryMayBeWhy) {
    EXPECT_EQ(portal_reason_wants_desktop_entry("the portal refused the request"), 1);
    EXPECT_EQ(portal_reason_wants_desktop_entry(PORTAL_REASON_BOUND_NOTHING), 1);
    for (const char* other :
         {"cancelled", "no desktop portal", "no global-shortcuts portal", "lost the session bus",
          "the portal did not answer", PORTAL_REASON_SESSION_CLOSED, "",
          static_cast<const char*>(nullptr)}) {
        EXPECT_EQ(portal_reason_wants_desktop_entry(other), 0) << (other ? other : "(null)");
    }
    char text[384];
    portal_reason_with_desktop_entry(PORTAL_REASON_BOUND_NOTHING, text, sizeof text);
    EXPECT_STREQ(text, "the desktop bound no shortcut; the portal refused the app id, so install "
                       "its desktop entry example.qo.Qo.desktop in ~/.local/share/applications "
                       "with Exec= naming qo by its full path");
    // The whole hint line fits the backend's buffer.
    char line[512];
    portal_hint_line(text, line, sizeof line);
    EXPECT_LT(std::strlen(line), sizeof line - 1);
    EXPECT_EQ(line[std::strlen(line) - 1], '\n');
}

TEST(PortalRules, BindRuleAndHeldListing) {
    EXPECT_EQ(portal_bind_rule_from(nullptr), portal_bind_always);
    EXPECT_EQ(portal_bind_rule_from(""), portal_bind_always);
    EXPECT_EQ(portal_bind_rule_from("always"), portal_bind_always);
    EXPECT_EQ(portal_bind_rule_from("if-unheld"), portal_bind_if_unheld);
    EXPECT_EQ(portal_bind_rule_from("IF-UNHELD"), portal_bind_always);
    EXPECT_EQ(portal_listed_as_held(0, true, "F5"), 1);
    EXPECT_EQ(portal_listed_as_held(0, true, "Ctrl+F5"), 1);
    EXPECT_EQ(portal_listed_as_held(0, true, ""), 0); // listed with no key: bind
    EXPECT_EQ(portal_listed_as_held(0, true, nullptr), 0);
    EXPECT_EQ(portal_listed_as_held(0, false, "F5"), 0);
    EXPECT_EQ(portal_listed_as_held(2, true, "F5"), 0);
}

TEST(PortalRules, ErrorRepliesPerStep) {
    struct Case {
        portal_step step;
        const char* error;
        const char* reason; // null: the sequence goes on
    };
    const Case cases[] = {
        // An old portal without the host Registry: go on without it.
        {portal_step_register, "org.freedesktop.DBus.Error.UnknownMethod", nullptr},
        {portal_step_register, "org.freedesktop.DBus.Error.UnknownInterface", nullptr},
        {portal_step_register, "org.freedesktop.DBus.Error.UnknownObject", nullptr},
        {portal_step_register, "org.freedesktop.DBus.Error.ServiceUnknown", "no desktop portal"},
        {portal_step_register, "org.freedesktop.DBus.Error.AccessDenied",
         "the portal refused the app id"},
        {portal_step_register, "org.freedesktop.portal.Error.Failed",
         "the portal refused the app id"},
        {portal_step_register, "org.freedesktop.DBus.Error.NoReply", "the portal did not answer"},
        {portal_step_register, nullptr, "the portal refused the app id"},
        {portal_step_create_session, "org.freedesktop.DBus.Error.UnknownMethod",
         "no global-shortcuts portal"},
        {portal_step_create_session, "org.freedesktop.DBus.Error.UnknownInterface",
         "no global-shortcuts portal"},
        {portal_step_create_session, "org.freedesktop.DBus.Error.ServiceUnknown",
         "no desktop portal"},
        {portal_step_create_session, "org.freedesktop.portal.Error.NotAllowed",
         "the portal refused the request"},
        {portal_step_bind_shortcuts, "org.freedesktop.DBus.Error.NoReply",
         "the portal did not answer"},
        {portal_step_bind_shortcuts, "org.freedesktop.DBus.Error.InvalidArgs",
         "the portal refused the request"},
        // The bus could not run the portal's service: not the app id's fault.
        {portal_step_register, "org.freedesktop.DBus.Error.Spawn.ChildExited",
         "the portal could not be started"},
        {portal_step_register, "org.freedesktop.DBus.Error.Spawn.ExecFailed",
         "the portal could not be started"},
        {portal_step_create_session, "org.freedesktop.DBus.Error.Spawn.ServiceNotFound",
         "the portal could not be started"},
        {portal_step_register, "org.freedesktop.DBus.Error.SpawnX",
         "the portal refused the app id"},
    };
    for (const Case& c : cases) {
        const char* reason = portal_error_reason(c.step, c.error);
        if (c.reason == nullptr) {
            EXPECT_EQ(reason, nullptr) << c.error;
        } else {
            EXPECT_STREQ(reason, c.reason) << (c.error ? c.error : "(null)");
        }
    }
}

TEST(PortalRules, HintLineNamesTheReasonWatchAndTheReadmeSection) {
    char line[256];
    portal_hint_line("cancelled", line, sizeof line);
    EXPECT_STREQ(line, "qo: F5 is seen only while an X11 window has the keyboard focus "
                       "(cancelled); run qo --watch to rebuild on save, or see README "
                       "\"Wayland desktops\"\n");
    char small[8];
    portal_hint_line("cancelled", small, sizeof small);
    EXPECT_STREQ(small, "qo: F5 ");
}

TEST(PortalRules, TriggerDescriptionMeansF5Alone) {
    struct Case {
        const char* description;
        int f5;
    };
    const Case cases[] = {
        {nullptr, 1}, // the desktop said nothing: nothing to tell the user
        {"", 1},
        {"F5", 1},
        {"f5", 1},
        {"Press F5", 1},    // the fake portal's, GNOME's style
        {"F5, F6", 1},      // F5 among the triggers still rebuilds
        {"Ctrl+F5", 0},     // KDE's and Hyprland's style
        {"Strg+F5", 0},     // a German KDE
        {"<Control>F5", 0}, // GTK accelerator notation
        {"Shift F5", 0},
        {"Super F5", 0},
        {"F6", 0},
        {"F50", 0},
        {"F15", 0},
        {"AF5", 0},
        {"Meta+Alt+R", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(portal_trigger_is_f5(c.description), c.f5)
            << (c.description ? c.description : "(null)");
    }
}

TEST(PortalRules, TriggerLineNamesTheKeyWithoutControlCharacters) {
    char line[256];
    portal_trigger_line("Ctrl+F5", line, sizeof line);
    EXPECT_STREQ(line, "qo: the desktop bound \"Rebuild the shaders\" to Ctrl+F5\n");
    // Text from the bus: no escape sequence or line break reaches the
    // terminal; UTF-8 stays.
    portal_trigger_line("\x1b[2JStrg+\n\x7f\xc3\x9f", line, sizeof line);
    EXPECT_STREQ(line, "qo: the desktop bound \"Rebuild the shaders\" to ?[2JStrg+??\xc3\x9f\n");
    // A description as long as the bus allows: cut, the line still ends.
    std::string long_text(5000, 'K');
    portal_trigger_line(long_text.c_str(), line, sizeof line);
    EXPECT_LT(std::strlen(line), sizeof line - 1);
    EXPECT_EQ(line[std::strlen(line) - 1], '\n');
    char small[8];
    portal_trigger_line("F6", small, sizeof small);
    EXPECT_STREQ(small, "qo: the");
}
