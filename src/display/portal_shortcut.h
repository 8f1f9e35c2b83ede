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
// key.
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
struct portal_key {
    bool held;    // from Activated to Deactivated
    bool pressed; // went down since the last look
};

// Activated: the key is down. Only a change from up to down is a press: the
// desktop's key repeat sends Activated again while the key stays down.
void portal_key_activated(portal_key* key);

// Deactivated (or the path ended): the key is up; a press since the last
// look stays counted.
void portal_key_deactivated(portal_key* key);

// A frame's look: 1 when the key is down now or was pressed since the last
// look, then forgets that press. So a press and release between two looks
// gives exactly one 1, and a key held across several looks gives 1 at each.
int portal_key_look(portal_key* key);

// The steps of the sequence, for the decisions below.
enum portal_step {
    portal_step_register,
    portal_step_create_session,
    portal_step_bind_shortcuts,
};

// The reasons of the hint that no D-Bus error or Response code gives.
#define PORTAL_REASON_BOUND_NOTHING "the desktop bound no shortcut"
#define PORTAL_REASON_SESSION_CLOSED "the portal closed the session"

// What a Response(code, results) means: null for 0 (go on), else the reason
// the hint gives ("cancelled" for 1, "the portal refused the request" for 2
// and any other code).
const char* portal_response_reason(unsigned int code);

// What an error reply to a step means: null when the sequence goes on (an
// old portal without the host Registry answering Register), else the reason
// the hint gives, from the D-Bus error name (which may be null): a bus
// that could not start the portal's service (org.freedesktop.DBus.Error.
// Spawn.*) gives "the portal could not be started".
const char* portal_error_reason(portal_step step, const char* error_name);

// The hint line (with its newline) for `reason`, written into `line`;
// truncated to `size`. It names qo --watch, which needs no key at all.
void portal_hint_line(const char* reason, char* line, std::size_t size);

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
