// The portal's global shortcut over sd-bus (libsystemd), without blocking.
//
// The steps, one awaited at a time (portal.step); every call is asynchronous
// and every answer to the awaited step, taken by portal_shortcut_poll, goes
// to on_portal_answer, whose switch follows this table:
//
//   step            sent                      answer                   leads to
//   --------------  ------------------------  -----------------------  ----------------------
//   register        Register(app id) on       reply                    create_session
//                   the host Registry         error: unknown method    create_session (an old
//                                                                      portal, no Registry)
//                                             error: app id refused    create_session,
//                                                                      unregistered
//                                             other error              given up
//   create_session  CreateSession(options     Response 0 with a        list_shortcuts with
//                   with the shortcut list)   session_handle           QO_PORTAL_BIND=if-unheld,
//                   -> Request                                         else bind_shortcuts
//                                             Response 0 without one   given up: refused
//                                             Response 1, other code   given up: cancelled,
//                                                                      refused
//                                             error                    given up
//   list_shortcuts  ListShortcuts(session)    Response: held with a    bound, no bind
//                   -> Request                trigger
//                                             Response: not held       bind_shortcuts
//                                             error, or no Response    bind_shortcuts
//                                             for the notice time
//   bind_shortcuts  BindShortcuts(session,    Response listing         bound
//                   shortcut list)            "rebuild", whatever the
//                   -> Request                code, or any Response
//                                             after a ShortcutsChanged
//                                             that listed it
//                                             Response 0, not listed   given up: bound nothing
//                                             Response 1, other code   given up: cancelled,
//                                                                      refused
//                                             error                    given up
//                                             no Response for the      the dialog line, once;
//                                             notice time              awaited on
//
// At every step the bus closing under a reply gives up; a Request step's
// reply only names its Request (awaited on for its Response). The notice
// time is PORTAL_DIALOG_NOTICE_MS. So BindShortcuts is sent from three
// places: after the session (the rule "always"), after ListShortcuts'
// Response (not held), and after ListShortcuts failed or took too long. A
// reply or a Response to a step no longer awaited (ListShortcuts given up on
// waiting) is passed over: replies carry their step, Responses must come on
// the awaited Request's path.
//
// Why the steps are so: the list goes in CreateSession's options too: KDE
// Plasma before 6.1 binds only those, and answers BindShortcuts with an empty
// list otherwise. A result without "rebuild" means nothing was bound: the
// hint says so. A result with it means bound whatever the code (GNOME 48
// answers 2), and so does a ShortcutsChanged for the session that lists it
// while the Response is awaited (portal_bind_reason). Register refused
// (frontends from 1.19.4 refuse an app id without a desktop entry) is not the
// end: the sequence goes on unregistered, and if binding then fails the hint
// says how to install the entry. ListShortcuts skips the bind when the
// desktop already holds "rebuild" with a trigger (KDE Plasma up to 6.3 asks
// to open System Settings at every bind). BindShortcuts' Response may wait
// for the user's answer in a dialog (GNOME 48, the first time): it is
// awaited for as long as it takes.
//
// Once bound: Activated/Deactivated for that session and "rebuild" press
// and release the key (portal_key); ShortcutsChanged for that session is
// taken as BindShortcuts' result is, and the session's Closed ends the
// path. The portal's name losing its owner ends the held state too. The
// Response, Activated and Deactivated signals are taken through matches on
// the interface and member only: a match on the Request's path would need
// the connection's unique name, which sd-bus can only give without waiting
// once the bus's Hello has been answered. The callbacks compare the path and
// the session themselves.
//
// sd_bus_get_unique_name is called only once an answer from the bus to
// Register has come (not a local timeout): the bus answers Hello before any
// later call, so the name is known by then and the call does not wait.
#include "display/portal_shortcut.h"

#include <systemd/sd-bus.h>

#include <poll.h>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* portal_service = "org.freedesktop.portal.Desktop";
constexpr const char* portal_object = "/org/freedesktop/portal/desktop";
constexpr const char* shortcuts_interface = "org.freedesktop.portal.GlobalShortcuts";
constexpr const char* create_session_token = "qo_create_session";
constexpr const char* bind_shortcuts_token = "qo_bind_shortcuts";
constexpr const char* list_shortcuts_token = "qo_list_shortcuts";
constexpr const char* session_token = "qo_session";
constexpr const char* shortcut_id = "rebuild";
// Messages taken per poll at most, so that a flood of signals can't hold a
// frame; the rest waits for the next poll.
constexpr int messages_per_poll = 64;

// Everything the portal path holds for the run: written by
// portal_shortcut_start and by the bus callbacks that portal_shortcut_poll
// runs, released by portal_shortcut_stop (or by a poll once it failed).
struct {
    sd_bus* bus;            // the session bus; null when not started or given up
    bool bus_reached;       // an answer came through the bus: the connection was up
    bool failed;            // given up: the bus is dropped at the end of the poll
    bool hint_written;      // the one stderr line of the run is out
    portal_key key;         // our shortcut, from Activated and Deactivated
    char trigger[128];      // the other key than F5 last named on stderr; "" for F5
    portal_step step;       // the step whose Request is awaited
    char request_path[256]; // that Request's object path; "" when none is
    char session[256];      // the session handle once created; "" before
    portal_bind_rule rule;  // bind at every start, or only when not held
    bool unregistered;      // Register was refused: the sequence went on without it
    bool bound;             // the bind is settled (answered, or skipped as held)
    bool changed_listed;    // a ShortcutsChanged listed "rebuild" before the bind's Response
    bool dialog_said;       // the dialog line is out
    long long step_sent_ms; // when the awaited step's call went out
} portal;

long long now_ms(void) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Ends the path; a press already taken stays latched for the next look.
void give_up(const char* reason) {
    portal_key_deactivated(&portal.key);
    portal.failed = true;
    portal.request_path[0] = '\0';
    if (!portal.hint_written) {
        portal.hint_written = true;
        char with_entry[384];
        if (portal.unregistered && portal_reason_wants_desktop_entry(reason)) {
            portal_reason_with_desktop_entry(reason, with_entry, sizeof with_entry);
            reason = with_entry;
        }
        char line[512];
        portal_hint_line(reason, line, sizeof line);
        std::fputs(line, stderr);
    }
}

const char* bus_failure_reason(void) {
    return portal.bus_reached ? "lost the session bus" : "no session bus";
}

// Reads session_handle out of CreateSession's results (a{sv}); a string in
// the documented interface, an object path in some portals.
bool read_session_handle(sd_bus_message* response) {
    if (sd_bus_message_enter_container(response, 'a', "{sv}") <= 0) {
        return false;
    }
    bool found = false;
    while (sd_bus_message_enter_container(response, 'e', "sv") > 0) {
        const char* key = nullptr;
        if (sd_bus_message_read(response, "s", &key) < 0) {
            return false;
        }
        char type = 0;
        const char* contents = nullptr;
        if (std::strcmp(key, "session_handle") == 0 &&
            sd_bus_message_peek_type(response, &type, &contents) > 0 && contents != nullptr &&
            (std::strcmp(contents, "s") == 0 || std::strcmp(contents, "o") == 0)) {
            const char* handle = nullptr;
            if (sd_bus_message_enter_container(response, 'v', contents) <= 0 ||
                sd_bus_message_read_basic(response, contents[0], &handle) < 0 ||
                sd_bus_message_exit_container(response) < 0) {
                return false;
            }
            if (handle != nullptr && handle[0] != '\0' &&
                std::strlen(handle) < sizeof portal.session) {
                std::strcpy(portal.session, handle);
                found = true;
            }
        } else if (sd_bus_message_skip(response, "v") < 0) {
            return false;
        }
        if (sd_bus_message_exit_container(response) < 0) {
            return false;
        }
    }
    return found;
}

// Reads a shortcut list, a(sa{sv}), at the message's position: whether it
// holds "rebuild", and that shortcut's trigger_description into `trigger`
// ("" when it names none). False when the message is not of that shape.
bool read_shortcut_list(sd_bus_message* message, bool* found, char* trigger, std::size_t size) {
    *found = false;
    trigger[0] = '\0';
    if (sd_bus_message_enter_container(message, 'a', "(sa{sv})") <= 0) {
        return false;
    }
    for (;;) {
        int r = sd_bus_message_enter_container(message, 'r', "sa{sv}");
        if (r < 0) {
            return false;
        }
        if (r == 0) {
            break;
        }
        const char* id = nullptr;
        if (sd_bus_message_read(message, "s", &id) < 0 ||
            sd_bus_message_enter_container(message, 'a', "{sv}") <= 0) {
            return false;
        }
        bool ours = id != nullptr && std::strcmp(id, shortcut_id) == 0;
        *found = *found || ours;
        while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
            const char* key = nullptr;
            const char* text = nullptr;
            if (sd_bus_message_read(message, "s", &key) < 0) {
                return false;
            }
            char type = 0;
            const char* contents = nullptr;
            if (ours && key != nullptr && std::strcmp(key, "trigger_description") == 0 &&
                sd_bus_message_peek_type(message, &type, &contents) > 0 && contents != nullptr &&
                std::strcmp(contents, "s") == 0) {
                if (sd_bus_message_read(message, "v", "s", &text) < 0) {
                    return false;
                }
                std::snprintf(trigger, size, "%s", text != nullptr ? text : "");
            } else if (sd_bus_message_skip(message, "v") < 0) {
                return false;
            }
            if (sd_bus_message_exit_container(message) < 0) {
                return false;
            }
        }
        if (sd_bus_message_exit_container(message) < 0 ||
            sd_bus_message_exit_container(message) < 0) {
            return false;
        }
    }
    return sd_bus_message_exit_container(message) >= 0;
}

// What the desktop bound, from BindShortcuts' result, ListShortcuts' or
// ShortcutsChanged: nothing for "rebuild" ends the path; another key than F5
// is named on stderr, once each time it changes (back to F5 too, once
// another was named).
void name_trigger(const char* trigger) {
    const char* key = portal_trigger_is_f5(trigger) ? "" : trigger;
    if (std::strcmp(key, portal.trigger) == 0) {
        return;
    }
    std::snprintf(portal.trigger, sizeof portal.trigger, "%s", key);
    char line[256];
    portal_trigger_line(key[0] != '\0' ? key : "F5", line, sizeof line);
    std::fputs(line, stderr);
}

void take_bound_shortcuts(bool found, const char* trigger) {
    if (!found) {
        give_up(PORTAL_REASON_BOUND_NOTHING);
        return;
    }
    portal.bound = true;
    name_trigger(trigger);
}

// Reads a Response's results (a{sv}) for "shortcuts": whether that list
// holds "rebuild", and its trigger_description. No such entry, or one of
// another shape, counts as an empty list.
void read_result_shortcuts(sd_bus_message* response, bool* found, char* trigger, std::size_t size) {
    *found = false;
    trigger[0] = '\0';
    if (sd_bus_message_enter_container(response, 'a', "{sv}") <= 0) {
        return;
    }
    while (sd_bus_message_enter_container(response, 'e', "sv") > 0) {
        const char* key = nullptr;
        if (sd_bus_message_read(response, "s", &key) < 0) {
            break;
        }
        if (key != nullptr && std::strcmp(key, "shortcuts") == 0 &&
            sd_bus_message_enter_container(response, 'v', "a(sa{sv})") > 0) {
            if (!read_shortcut_list(response, found, trigger, size) ||
                sd_bus_message_exit_container(response) < 0) {
                *found = false;
                break;
            }
        } else if (sd_bus_message_skip(response, "v") < 0) {
            break;
        }
        if (sd_bus_message_exit_container(response) < 0) {
            break;
        }
    }
}

// ---- the calls: each sends its step and makes it the awaited one ------------

int on_reply(sd_bus_message* reply, void* userdata, sd_bus_error*);

// The path of the Request object the portal makes for a call with the
// handle token `token`, kept in portal.request_path for the Response filter.
int expect_request(const char* token) {
    const char* unique_name = nullptr;
    int r = sd_bus_get_unique_name(portal.bus, &unique_name);
    if (r < 0) {
        return r;
    }
    return portal_request_path(unique_name, token, portal.request_path, sizeof portal.request_path)
               ? 0
               : -1;
}

// The shortcut list, a(sa{sv}): what CreateSession's options and
// BindShortcuts both carry.
int append_shortcuts(sd_bus_message* message) {
    return sd_bus_message_append(message, "a(sa{sv})", 1, shortcut_id, 2, "description", "s",
                                 PORTAL_SHORTCUT_DESCRIPTION, "preferred_trigger", "s", "F5");
}

// Calls `method` on GlobalShortcuts, its arguments appended by `append`
// (which uses the handle token `token`), and awaits its Request as `step`.
void call_with_request(const char* method, const char* token, portal_step step,
                       int (*append)(sd_bus_message*)) {
    sd_bus_message* call = nullptr;
    int r = expect_request(token);
    if (r >= 0) {
        r = sd_bus_message_new_method_call(portal.bus, &call, portal_service, portal_object,
                                           shortcuts_interface, method);
    }
    if (r >= 0) {
        r = append(call);
    }
    if (r >= 0) {
        portal.step = step;
        portal.step_sent_ms = now_ms();
        r = sd_bus_call_async(portal.bus, nullptr, call, on_reply, reinterpret_cast<void*>(step),
                              0);
    }
    sd_bus_message_unref(call);
    if (r < 0) {
        give_up(bus_failure_reason());
    }
}

int append_bind_shortcuts(sd_bus_message* call) {
    int r = sd_bus_message_append(call, "o", portal.session);
    if (r >= 0) {
        r = append_shortcuts(call);
    }
    if (r >= 0) {
        r = sd_bus_message_append(call, "sa{sv}", "", 1, "handle_token", "s", bind_shortcuts_token);
    }
    return r;
}

void bind_shortcuts(void) {
    call_with_request("BindShortcuts", bind_shortcuts_token, portal_step_bind_shortcuts,
                      append_bind_shortcuts);
}

int append_list_shortcuts(sd_bus_message* call) {
    return sd_bus_message_append(call, "oa{sv}", portal.session, 1, "handle_token", "s",
                                 list_shortcuts_token);
}

// ListShortcuts(session): whether the desktop already holds the shortcut.
void list_shortcuts(void) {
    call_with_request("ListShortcuts", list_shortcuts_token, portal_step_list_shortcuts,
                      append_list_shortcuts);
}

// CreateSession's options: the tokens, and the shortcut list.
int append_create_session(sd_bus_message* call) {
    int r = sd_bus_message_open_container(call, 'a', "{sv}");
    if (r >= 0) {
        r = sd_bus_message_append(call, "{sv}{sv}", "handle_token", "s", create_session_token,
                                  "session_handle_token", "s", session_token);
    }
    if (r >= 0) {
        r = sd_bus_message_open_container(call, 'e', "sv");
    }
    if (r >= 0) {
        r = sd_bus_message_append(call, "s", "shortcuts");
    }
    if (r >= 0) {
        r = sd_bus_message_open_container(call, 'v', "a(sa{sv})");
    }
    if (r >= 0) {
        r = append_shortcuts(call);
    }
    for (int level = 0; level < 3 && r >= 0; ++level) {
        r = sd_bus_message_close_container(call);
    }
    return r;
}

void create_session(void) {
    call_with_request("CreateSession", create_session_token, portal_step_create_session,
                      append_create_session);
}

// Register(app id) on the host Registry: the first step. Its reply carries no
// Request.
int register_app_id(void) {
    portal.step = portal_step_register;
    return sd_bus_call_method_async(portal.bus, nullptr, portal_service, portal_object,
                                    "org.freedesktop.host.portal.Registry", "Register", on_reply,
                                    reinterpret_cast<void*>(portal_step_register), "sa{sv}",
                                    QO_PORTAL_APP_ID, 0);
}

// ---- the answers: what each step's answer leads to --------------------------

// What came for the awaited step.
enum portal_answer_kind {
    portal_answer_reply,    // the method's reply (a Request step's names its Request)
    portal_answer_error,    // the method's error reply
    portal_answer_response, // the Request's Response(code, results)
    portal_answer_waited,   // no Response for PORTAL_DIALOG_NOTICE_MS
    portal_answer_bus_lost, // the bus closed under a reply
};

struct portal_answer {
    portal_answer_kind kind;
    const char* error_name;  // an error's D-Bus name (may be null)
    unsigned int code;       // a Response's code: 0 done, 1 cancelled, else refused
    sd_bus_message* results; // a Response, positioned at its results (a{sv})
};

// The steps' table (see the top of this file) as code: `answer` came for
// `step`, the awaited one.
void on_portal_answer(portal_step step, const portal_answer& answer) {
    if (answer.kind == portal_answer_bus_lost) {
        give_up(bus_failure_reason());
        return;
    }
    switch (step) {
    case portal_step_register:
        // Sent Register; any reply goes on, and so do the errors the rules
        // let pass (an old portal without the Registry) or that only mean
        // unregistered.
        if (answer.kind == portal_answer_error) {
            const char* reason = portal_error_reason(step, answer.error_name);
            if (reason != nullptr && std::strcmp(reason, PORTAL_REASON_APP_ID_REFUSED) == 0) {
                // Go on unregistered: the frontend derives an app id itself,
                // and some desktops bind for it.
                portal.unregistered = true;
            } else if (reason != nullptr) {
                give_up(reason);
                return;
            }
        }
        create_session();
        return;
    case portal_step_create_session:
        // Sent CreateSession; awaits its Response.
        if (answer.kind == portal_answer_error) {
            give_up(portal_error_reason(step, answer.error_name));
        } else if (answer.kind == portal_answer_response) {
            const char* reason = portal_response_reason(answer.code);
            if (reason != nullptr) {
                give_up(reason);
            } else if (!read_session_handle(answer.results)) {
                give_up("the portal refused the request");
            } else if (portal.rule == portal_bind_if_unheld) {
                list_shortcuts();
            } else {
                bind_shortcuts();
            }
        }
        return;
    case portal_step_list_shortcuts:
        // Sent ListShortcuts; awaits its Response, for the notice time at
        // most. A portal that cannot list, or is slow to, gets the bind as
        // usual (a late Response then no longer matches the Request awaited).
        if (answer.kind == portal_answer_error || answer.kind == portal_answer_waited) {
            bind_shortcuts();
        } else if (answer.kind == portal_answer_response) {
            bool found = false;
            char trigger[128] = "";
            read_result_shortcuts(answer.results, &found, trigger, sizeof trigger);
            if (portal_listed_as_held(answer.code, found, trigger)) {
                take_bound_shortcuts(true, trigger); // held already: no bind
            } else {
                bind_shortcuts();
            }
        }
        return;
    case portal_step_bind_shortcuts:
        // Sent BindShortcuts; awaits its Response for as long as it takes.
        if (answer.kind == portal_answer_error) {
            give_up(portal_error_reason(step, answer.error_name));
        } else if (answer.kind == portal_answer_waited) {
            if (!portal.dialog_said && !portal.bound && !portal.changed_listed) {
                portal.dialog_said = true;
                std::fputs(PORTAL_DIALOG_LINE, stderr);
            }
        } else if (answer.kind == portal_answer_response) {
            bool found = false;
            char trigger[128] = "";
            read_result_shortcuts(answer.results, &found, trigger, sizeof trigger);
            const char* reason = portal_bind_reason(answer.code, found, portal.changed_listed);
            if (reason != nullptr) {
                give_up(reason);
            } else if (found) {
                take_bound_shortcuts(true, trigger);
            } else {
                portal.bound = true; // named when ShortcutsChanged listed it
            }
        }
        return;
    }
}

// A method's reply. `userdata` is the call's step: a reply to a step no
// longer awaited (ListShortcuts given up on waiting) is passed over. A
// Request step's reply names the Request object: the one the portal made,
// when it differs from the one computed before the call (portals before
// 0.9).
int on_reply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    portal_step step = static_cast<portal_step>(reinterpret_cast<std::intptr_t>(userdata));
    if (portal.failed || step != portal.step) {
        return 0;
    }
    portal_answer answer = {portal_answer_reply, nullptr, 0, nullptr};
    if (!sd_bus_is_open(portal.bus)) {
        answer.kind = portal_answer_bus_lost;
    } else if (sd_bus_message_is_method_error(reply, nullptr)) {
        portal.bus_reached = true;
        const sd_bus_error* error = sd_bus_message_get_error(reply);
        answer.kind = portal_answer_error;
        answer.error_name = error != nullptr ? error->name : nullptr;
    } else {
        portal.bus_reached = true;
        const char* handle = nullptr;
        // Not once the Response has been taken (the path is "" then).
        if (portal.request_path[0] != '\0' && sd_bus_message_read(reply, "o", &handle) >= 0 &&
            handle != nullptr && std::strlen(handle) < sizeof portal.request_path) {
            std::strcpy(portal.request_path, handle);
        }
    }
    on_portal_answer(step, answer);
    return 0;
}

// Request.Response(u code, a{sv} results) on the awaited Request's path.
int on_response(sd_bus_message* signal, void*, sd_bus_error*) {
    const char* path = sd_bus_message_get_path(signal);
    if (portal.failed || portal.request_path[0] == '\0' || path == nullptr ||
        std::strcmp(path, portal.request_path) != 0) {
        return 0;
    }
    portal.request_path[0] = '\0';
    unsigned int code = 2;
    if (sd_bus_message_read(signal, "u", &code) < 0) {
        code = 2;
    }
    on_portal_answer(portal.step, portal_answer{portal_answer_response, nullptr, code, signal});
    return 0;
}

// ---- the other signals, and the bus ------------------------------------------

// Activated and Deactivated: (o session_handle, s shortcut_id, t timestamp,
// a{sv} options); only our session's "rebuild" counts.
bool names_our_shortcut(sd_bus_message* signal) {
    const char* session = nullptr;
    const char* id = nullptr;
    return !portal.failed && portal.session[0] != '\0' &&
           sd_bus_message_read(signal, "os", &session, &id) >= 0 && session != nullptr &&
           id != nullptr && std::strcmp(session, portal.session) == 0 &&
           std::strcmp(id, shortcut_id) == 0;
}

int on_activated(sd_bus_message* signal, void*, sd_bus_error*) {
    if (names_our_shortcut(signal)) {
        portal_key_activated(&portal.key, now_ms());
    }
    return 0;
}

int on_deactivated(sd_bus_message* signal, void*, sd_bus_error*) {
    if (names_our_shortcut(signal)) {
        portal_key_deactivated(&portal.key);
    }
    return 0;
}

// ShortcutsChanged: (o session_handle, a(sa{sv}) shortcuts), the user
// rebound the shortcut in the desktop's settings.
int on_shortcuts_changed(sd_bus_message* signal, void*, sd_bus_error*) {
    const char* session = nullptr;
    if (portal.failed || portal.session[0] == '\0' ||
        sd_bus_message_read(signal, "o", &session) < 0 || session == nullptr ||
        std::strcmp(session, portal.session) != 0) {
        return 0;
    }
    bool found = false;
    char trigger[128] = "";
    if (!read_shortcut_list(signal, &found, trigger, sizeof trigger)) {
        found = false;
    }
    if (!portal.bound) {
        // Before the bind is settled (GNOME 48 sends this just before its
        // Response): a list with the shortcut means bound; one without it
        // leaves the decision to the Response.
        if (found) {
            portal.changed_listed = true;
            name_trigger(trigger);
        }
        return 0;
    }
    take_bound_shortcuts(found, trigger);
    return 0;
}

// The session's Closed (org.freedesktop.portal.Session, on the session's
// own path): the portal or the desktop ended it, and no Deactivated
// follows.
int on_session_closed(sd_bus_message* signal, void*, sd_bus_error*) {
    const char* path = sd_bus_message_get_path(signal);
    if (!portal.failed && portal.session[0] != '\0' && path != nullptr &&
        std::strcmp(path, portal.session) == 0) {
        give_up(PORTAL_REASON_SESSION_CLOSED);
    }
    return 0;
}

// The portal leaving the bus (it crashed or was stopped) ends the session
// without a Deactivated: F5 must not stay held.
int on_portal_owner_changed(sd_bus_message* signal, void*, sd_bus_error*) {
    const char* name = nullptr;
    const char* old_owner = nullptr;
    const char* new_owner = nullptr;
    if (!portal.failed && sd_bus_message_read(signal, "sss", &name, &old_owner, &new_owner) >= 0 &&
        name != nullptr && std::strcmp(name, portal_service) == 0 && old_owner != nullptr &&
        old_owner[0] != '\0' && new_owner != nullptr && new_owner[0] == '\0') {
        give_up("the portal went away");
    }
    return 0;
}

void drop_bus(void) {
    if (portal.bus != nullptr) {
        // Closed without a flush: a flush could wait on a stuck peer.
        sd_bus_close(portal.bus);
        sd_bus_unref(portal.bus);
        portal.bus = nullptr;
    }
}

// Whether sd_bus_process has anything to do: a message read ahead and
// queued, a call's timeout due, or the socket ready for what the bus waits
// for. Asked with one poll(2) and no read, which costs a frame far less
// than an sd_bus_process that finds nothing (measured: docs/performance.md).
bool bus_has_work(void) {
    std::uint64_t due = UINT64_MAX;
    int events = sd_bus_get_events(portal.bus);
    int fd = sd_bus_get_fd(portal.bus);
    if (events < 0 || fd < 0 || sd_bus_get_timeout(portal.bus, &due) < 0 || due == 0) {
        return true; // sd_bus_process reports it, or has queued work
    }
    if (due != UINT64_MAX) {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        std::uint64_t now_us = static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
                               static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
        if (now_us >= due) {
            return true;
        }
    }
    pollfd item = {fd, static_cast<short>(events), 0};
    return poll(&item, 1, 0) != 0;
}

// The awaited Response's time, at each poll and without waiting: past
// PORTAL_DIALOG_NOTICE_MS, the step is told so.
void check_waiting_step(void) {
    if (portal.failed || portal.request_path[0] == '\0' ||
        now_ms() - portal.step_sent_ms < PORTAL_DIALOG_NOTICE_MS) {
        return;
    }
    on_portal_answer(portal.step, portal_answer{portal_answer_waited, nullptr, 0, nullptr});
}

} // namespace

void portal_shortcut_start(void) {
    if (!is_wayland_session(std::getenv("WAYLAND_DISPLAY"), std::getenv("XDG_SESSION_TYPE"))) {
        return;
    }
    portal.rule = portal_bind_rule_from(std::getenv("QO_PORTAL_BIND"));
    // Connects and sends Hello without waiting for the answers.
    int r = sd_bus_open_user(&portal.bus);
    if (r < 0) {
        portal.bus = nullptr;
        give_up("no session bus");
        return;
    }
    // Installed before the first call: the bus takes a connection's
    // messages in order, so no answer can come before its match.
    r = sd_bus_match_signal_async(portal.bus, nullptr, nullptr, nullptr,
                                  "org.freedesktop.portal.Request", "Response", on_response,
                                  nullptr, nullptr);
    if (r >= 0) {
        r = sd_bus_match_signal_async(portal.bus, nullptr, nullptr, portal_object,
                                      shortcuts_interface, "Activated", on_activated, nullptr,
                                      nullptr);
    }
    if (r >= 0) {
        r = sd_bus_match_signal_async(portal.bus, nullptr, nullptr, portal_object,
                                      shortcuts_interface, "Deactivated", on_deactivated, nullptr,
                                      nullptr);
    }
    if (r >= 0) {
        r = sd_bus_match_signal_async(portal.bus, nullptr, nullptr, portal_object,
                                      shortcuts_interface, "ShortcutsChanged", on_shortcuts_changed,
                                      nullptr, nullptr);
    }
    if (r >= 0) {
        r = sd_bus_match_signal_async(portal.bus, nullptr, nullptr, nullptr,
                                      "org.freedesktop.portal.Session", "Closed", on_session_closed,
                                      nullptr, nullptr);
    }
    if (r >= 0) {
        r = sd_bus_add_match_async(
            portal.bus, nullptr,
            "type='signal',sender='org.freedesktop.DBus',"
            "path='/org/freedesktop/DBus',interface='org.freedesktop.DBus',"
            "member='NameOwnerChanged',arg0='org.freedesktop.portal.Desktop'",
            on_portal_owner_changed, nullptr, nullptr);
    }
    if (r >= 0) {
        r = register_app_id();
    }
    if (r < 0) {
        give_up(bus_failure_reason());
        drop_bus();
    }
}

void portal_shortcut_poll(void) {
    if (portal.bus == nullptr) {
        return;
    }
    if (bus_has_work()) {
        for (int i = 0; i < messages_per_poll && !portal.failed; ++i) {
            int r = sd_bus_process(portal.bus, nullptr);
            if (r < 0) {
                give_up(bus_failure_reason());
            }
            if (r <= 0) {
                break;
            }
        }
        if (!portal.failed && !sd_bus_is_open(portal.bus)) {
            give_up(bus_failure_reason());
        }
    }
    // After the messages: an answer that came during a long frame counts
    // before the time it took.
    check_waiting_step();
    if (portal.failed) {
        drop_bus();
    }
}

int portal_shortcut_held(void) {
    return portal_key_look(&portal.key, now_ms());
}

void portal_shortcut_stop(void) {
    drop_bus();
    portal.key = portal_key{false, false, 0};
}
