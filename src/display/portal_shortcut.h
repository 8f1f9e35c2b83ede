// F5 through the XDG desktop portal's global shortcuts, for Wayland desktops.
//
// Under Wayland the viewer's X11 window lives in Xwayland, which sees keys
// only while one of its own windows has the focus: F5 pressed in a native
// Wayland editor never reaches the X11 key state. The portal's
// org.freedesktop.portal.GlobalShortcuts interface lets the desktop tell the
// viewer about one shortcut ("rebuild", preferred trigger F5) whichever
// window has the focus: Activated when it goes down, Deactivated when it
// comes up. The shortcut list goes both in CreateSession's options (KDE
// Plasma before 6.1 binds only those) and to BindShortcuts.
//
// The X11 backend starts this when the session is a Wayland one, polls it
// without blocking with the window events, and ORs portal_shortcut_held into
// F5's state. Nothing here ever waits for the bus: every call is
// asynchronous and its answer is taken by a later poll. When the path can't
// work (no session bus, no portal, the request refused or cancelled, the
// desktop bound no shortcut, the session closed, the bus gone), one line on
// stderr says so and the viewer runs on with the X11 path alone. When the
// desktop binds the shortcut to another key than F5 (its answer to
// BindShortcuts, or ShortcutsChanged later), one line on stderr names that
// key. When the desktop keeps the bind waiting (a dialog asking the user),
// one line says so after a while; the answer is awaited for as long as it
// takes.
//
// Two backends, picked by CMake: sd-bus (libsystemd) and none (a build
// without libsystemd: the X11 path only). The decisions below are pure and
// shared by both, so unit tests reach them.
#pragma once

#include <cstddef>

// The portal's app id of the viewer: it names the desktop entry that
// `cmake --install` puts in share/applications/.
#define QO_PORTAL_APP_ID "example.qo.Qo"

// Asks the portal for the shortcut when the session is a Wayland one; on an
// X11 session it does nothing at all (no bus connection). Never blocks.
void portal_shortcut_start(void);

// Takes what the bus has delivered since the last call, without waiting.
void portal_shortcut_poll(void);

// 1 when the portal reports the shortcut held now (from Activated to
// Deactivated), or when it was pressed at any moment since the previous
// call, even if it has been released since: a tap that falls between two
// frames' looks counts as one press (see portal_key_look). The call reads
// and clears that "pressed since the last look" latch, so call it once per
// frame, whatever the other sources of F5 say. 0 otherwise; once the path
// has failed, 0 except for one press taken before the failure and not
// looked at yet.
int portal_shortcut_held(void);

// Drops the bus connection, which ends the portal session.
void portal_shortcut_stop(void);

// ---- the decisions, pure ------------------------------------------------------

// 1 when the environment describes a Wayland session: WAYLAND_DISPLAY set
// and not empty, or XDG_SESSION_TYPE equal to "wayland". Either may be null.
int is_wayland_session(const char* wayland_display, const char* session_type);

// The path of the Request object the portal makes for a call with
// handle_token `token` from the connection `unique_name` (":1.42"):
// /org/freedesktop/portal/desktop/request/1_42/TOKEN. Returns 0 and leaves
// "" in `path` when the name or the token is not usable (empty, a token with
// other characters than [A-Za-z0-9_], or a path longer than `size`).
int portal_request_path(const char* unique_name, const char* token, char* path, std::size_t size);

// The shortcut's key as the portal reports it, between two frames' looks.
//
// A hold ends at Deactivated, or once no Activated has come for
// PORTAL_HOLD_LAPSE_MS: a release can be lost (KDE's invokeShortcut, as
// KRunner and System Settings use it, sends Activated alone; a backend can
// die mid-press), and it must not rebuild for ever. The desktops measured
// repeat Activated while the key is held (GNOME 48: every ~30 ms after
// 500 ms; Plasma 6.3 and 5.27: key repeat, every 25-100 ms after ~600 ms), so
// a real hold on them never lapses. Before the first repeat a hold and a lost
// release look the same, so no rule can tell them apart sooner: a lost
// release rebuilds for at most the lapse, then stops. On a desktop that does
// not repeat (later Plasma may not; key repeat switched off) a hold longer
// than the lapse ends early, and the next Activated starts a new one. That is
// the lesser error: a hold cut short costs one more press of F5, while a lost
// release kept would rebuild every frame until qo ends.
#define PORTAL_HOLD_LAPSE_MS 1000

struct portal_key {
    bool held;                // from Activated to Deactivated (or the lapse)
    bool pressed;             // went down since the last look
    long long last_activated; // ms (monotonic) of the last Activated
};

// Activated at `now_ms`: the key is down. Only a change from up to down is a
// press: the desktop's key repeat sends Activated again while the key stays
// down, and each one keeps the hold alive.
void portal_key_activated(portal_key* key, long long now_ms);

// Deactivated (or the path ended): the key is up; a press since the last
// look stays counted.
void portal_key_deactivated(portal_key* key);

// A frame's look at `now_ms`: 1 when the key is down now or was pressed since
// the last look, then forgets that press. So a press and release between two
// looks gives exactly one 1, and a key held across several looks gives 1 at
// each, until Deactivated or PORTAL_HOLD_LAPSE_MS without an Activated.
int portal_key_look(portal_key* key, long long now_ms);

// The steps of the sequence, for the decisions below.
enum portal_step {
    portal_step_register,
    portal_step_create_session,
    portal_step_list_shortcuts,
    portal_step_bind_shortcuts,
};

// The reasons of the hint that no D-Bus error or Response code gives.
#define PORTAL_REASON_BOUND_NOTHING "the desktop bound no shortcut"
#define PORTAL_REASON_SESSION_CLOSED "the portal closed the session"
// Register's refusal: the sequence goes on without it (see
// portal_reason_wants_desktop_entry).
#define PORTAL_REASON_APP_ID_REFUSED "the portal refused the app id"

// What a Response(code, results) means: null for 0 (go on), else the reason
// the hint gives ("cancelled" for 1, "the portal refused the request" for 2
// and any other code).
const char* portal_response_reason(unsigned int code);

// What BindShortcuts' Response means: null when the shortcut is bound, else
// the reason the hint gives. `listed` says whether its results list
// "rebuild", `changed_listed` whether a ShortcutsChanged for the session
// listed it while the Response was awaited. Either means bound, whatever the
// code: xdg-desktop-portal-gnome 48 answers a successful bind with code 2 and
// a correct result, its ShortcutsChanged just before. Otherwise the code
// decides (portal_response_reason), and 0 with nothing listed is
// PORTAL_REASON_BOUND_NOTHING (KDE Plasma 5.27 given the list in
// BindShortcuts only).
const char* portal_bind_reason(unsigned int code, bool listed, bool changed_listed);

// What an error reply to a step means: null when the sequence goes on (an
// old portal without the host Registry answering Register), else the reason
// the hint gives, from the D-Bus error name (which may be null): a bus
// that could not start the portal's service (org.freedesktop.DBus.Error.
// Spawn.*) gives "the portal could not be started".
const char* portal_error_reason(portal_step step, const char* error_name);

// Whether the hint for `reason` also says how to install the desktop entry,
// once Register was refused (frontends from 1.19.4 refuse an app id whose
// desktop entry they cannot find; the sequence then goes on unregistered,
// and the frontend derives an app id itself): 1 for a refused request or
// nothing bound, where the missing entry may be why; 0 for the rest (the
// user cancelled, no portal, the bus lost).
int portal_reason_wants_desktop_entry(const char* reason);

// `reason` followed by how to install the desktop entry, into `text`
// (truncated to `size`): the hint's parenthesis once Register was refused.
void portal_reason_with_desktop_entry(const char* reason, char* text, std::size_t size);

// The hint line (with its newline) for `reason`, written into `line`;
// truncated to `size`. It names qo --watch, which needs no key at all.
void portal_hint_line(const char* reason, char* line, std::size_t size);

// The line (with its newline) written once when BindShortcuts has had no
// Response for PORTAL_DIALOG_NOTICE_MS: the desktop is asking the user in a
// dialog (GNOME 48 the first time an app id binds), and answers only once the
// user does, however long that takes. Frames never wait for it.
#define PORTAL_DIALOG_NOTICE_MS 2000
#define PORTAL_DIALOG_LINE                                                                         \
    "qo: the desktop asks you to accept the shortcut \"Rebuild the shaders\" (F5) in a "           \
    "dialog, perhaps behind a window or on another workspace; until then F5 counts only with "     \
    "qo's window focused\n"

// Whether BindShortcuts is skipped when the desktop already holds the
// shortcut for this app id. KDE Plasma 5.27 to 6.3 ask the desktop to open
// System Settings at the shortcut's page on every bind; a bind of a shortcut
// the desktop holds is otherwise harmless, and some desktops activate a
// session's shortcuts only after a bind in that session (GNOME grabs the key
// at the bind; later Plasma): a skipped bind there fails without a word.
enum portal_bind_rule {
    portal_bind_always,    // BindShortcuts at every start (the default)
    portal_bind_if_unheld, // ListShortcuts first; no bind when it lists the shortcut held
};

// The rule for this run from QO_PORTAL_BIND ("always" or "if-unheld"; null
// or anything else gives the default, portal_bind_always).
portal_bind_rule portal_bind_rule_from(const char* setting);

// Whether ListShortcuts' Response (`code`, whether it lists "rebuild", and
// that shortcut's trigger_description) lets the bind be skipped: code 0,
// listed, and a trigger that is not empty.
int portal_listed_as_held(unsigned int code, bool listed, const char* trigger);

// The shortcut's description, as the desktop shows it.

#define PORTAL_SHORTCUT_DESCRIPTION "Rebuild the shaders"

// 1 when the desktop's trigger_description for the shortcut (free text, such
// as "F5", "Press F5", "Ctrl+F5" or "Strg+F5") means F5 alone, or says
// nothing (null or empty); 0 when it names another key or F5 with a
// modifier.
int portal_trigger_is_f5(const char* description);

// The line (with its newline) that tells which key rebuilds:
// qo: the desktop bound "Rebuild the shaders" to Ctrl+F5
// The description comes from the bus: control characters become '?', and
// the line is truncated to `size`.
void portal_trigger_line(const char* description, char* line, std::size_t size);
