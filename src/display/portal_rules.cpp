// The pure decisions of the portal path (see portal_shortcut.h).
#include "display/portal_shortcut.h"

#include <cctype>
#include <cstdio>
#include <cstring>

int is_wayland_session(const char* wayland_display, const char* session_type) {
    if (wayland_display != nullptr && wayland_display[0] != '\0') {
        return 1;
    }
    return session_type != nullptr && std::strcmp(session_type, "wayland") == 0 ? 1 : 0;
}

int portal_request_path(const char* unique_name, const char* token, char* path, std::size_t size) {
    static const char prefix[] = "/org/freedesktop/portal/desktop/request/";
    if (size == 0) {
        return 0;
    }
    path[0] = '\0';
    if (unique_name == nullptr || token == nullptr || token[0] == '\0') {
        return 0;
    }
    const char* sender = unique_name[0] == ':' ? unique_name + 1 : unique_name;
    if (sender[0] == '\0') {
        return 0;
    }
    std::size_t length = sizeof prefix - 1;
    if (length + std::strlen(sender) + 1 + std::strlen(token) + 1 > size) {
        return 0;
    }
    std::memcpy(path, prefix, length);
    for (const char* c = sender; *c != '\0'; ++c) {
        // A unique name holds [A-Za-z0-9_-] and dots; an object path element
        // holds [A-Za-z0-9_] only.
        bool plain = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') ||
                     (*c >= '0' && *c <= '9') || *c == '_';
        path[length++] = plain ? *c : '_';
    }
    path[length++] = '/';
    for (const char* c = token; *c != '\0'; ++c) {
        bool plain = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') ||
                     (*c >= '0' && *c <= '9') || *c == '_';
        if (!plain) {
            path[0] = '\0';
            return 0;
        }
        path[length++] = *c;
    }
    path[length] = '\0';
    return 1;
}

void portal_key_activated(portal_key* key, long long now_ms) {
    key->pressed = key->pressed || !key->held;
    key->held = true;
    key->last_activated = now_ms;
}

void portal_key_deactivated(portal_key* key) {
    key->held = false;
}

int portal_key_look(portal_key* key, long long now_ms) {
    if (key->held && now_ms - key->last_activated > PORTAL_HOLD_LAPSE_MS) {
        key->held = false; // a lost release: the hold lapses
    }
    int down = key->held || key->pressed ? 1 : 0;
    key->pressed = false;
    return down;
}

const char* portal_response_reason(unsigned int code) {
    switch (code) {
    case 0:
        return nullptr;
    case 1:
        return "cancelled";
    default:
        return "the portal refused the request";
    }
}

const char* portal_bind_reason(unsigned int code, bool listed, bool changed_listed) {
    if (listed || changed_listed) {
        return nullptr;
    }
    const char* reason = portal_response_reason(code);
    return reason != nullptr ? reason : PORTAL_REASON_BOUND_NOTHING;
}

const char* portal_error_reason(portal_step step, const char* error_name) {
    const char* name = error_name != nullptr ? error_name : "";
    bool unknown_method = std::strcmp(name, "org.freedesktop.DBus.Error.UnknownMethod") == 0 ||
                          std::strcmp(name, "org.freedesktop.DBus.Error.UnknownInterface") == 0 ||
                          std::strcmp(name, "org.freedesktop.DBus.Error.UnknownObject") == 0;
    if (std::strcmp(name, "org.freedesktop.DBus.Error.ServiceUnknown") == 0 ||
        std::strcmp(name, "org.freedesktop.DBus.Error.NameHasNoOwner") == 0) {
        return "no desktop portal";
    }
    // The bus found the service but could not run it (its Exec failed, or
    // the program ended before taking its name).
    static const char spawn[] = "org.freedesktop.DBus.Error.Spawn.";
    if (std::strncmp(name, spawn, sizeof spawn - 1) == 0) {
        return "the portal could not be started";
    }
    if (std::strcmp(name, "org.freedesktop.DBus.Error.NoReply") == 0 ||
        std::strcmp(name, "org.freedesktop.DBus.Error.Timeout") == 0 ||
        std::strcmp(name, "org.freedesktop.DBus.Error.TimedOut") == 0) {
        return "the portal did not answer";
    }
    if (step == portal_step_register) {
        // Portals before 1.19.4 have no host Registry: they take unsandboxed
        // callers without it.
        return unknown_method ? nullptr : PORTAL_REASON_APP_ID_REFUSED;
    }
    if (unknown_method) {
        return "no global-shortcuts portal";
    }
    return "the portal refused the request";
}

int portal_reason_wants_desktop_entry(const char* reason) {
    return reason != nullptr && (std::strcmp(reason, "the portal refused the request") == 0 ||
                                 std::strcmp(reason, PORTAL_REASON_BOUND_NOTHING) == 0)
               ? 1
               : 0;
}

void portal_reason_with_desktop_entry(const char* reason, char* text, std::size_t size) {
    std::snprintf(text, size,
                  "%s; %s, so install its desktop entry %s.desktop in "
                  "~/.local/share/applications with Exec= naming qo by its full path",
                  reason != nullptr ? reason : "", PORTAL_REASON_APP_ID_REFUSED, QO_PORTAL_APP_ID);
}

portal_bind_rule portal_bind_rule_from(const char* setting) {
    if (setting != nullptr && std::strcmp(setting, "if-unheld") == 0) {
        return portal_bind_if_unheld;
    }
    return portal_bind_always;
}

int portal_listed_as_held(unsigned int code, bool listed, const char* trigger) {
    return code == 0 && listed && trigger != nullptr && trigger[0] != '\0' ? 1 : 0;
}

void portal_hint_line(const char* reason, char* line, std::size_t size) {
    std::snprintf(line, size,
                  "qo: F5 is seen only while an X11 window has the keyboard focus (%s); run qo "
                  "--watch to rebuild on save, or see README \"Wayland desktops\"\n",
                  reason != nullptr ? reason : "no global-shortcuts portal");
}

namespace {

bool is_word_character(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0;
}

// Whether `word` (lower case, letters and digits) is a modifier's name in
// the desktops' and their languages' usual spellings.
bool is_modifier_word(const char* word) {
    static const char* const modifiers[] = {
        "ctrl",  "control", "strg", "ctl", "shift", "alt",  "altgr", "option",  "super",    "meta",
        "hyper", "logo",    "win",  "mod", "mod1",  "mod4", "cmd",   "command", "umschalt", "maj",
    };
    for (const char* modifier : modifiers) {
        if (std::strcmp(word, modifier) == 0) {
            return true;
        }
    }
    return false;
}

} // namespace

int portal_trigger_is_f5(const char* description) {
    if (description == nullptr || description[0] == '\0') {
        return 1;
    }
    // A key combination: Ctrl+F5, <Control>F5.
    if (std::strchr(description, '+') != nullptr || std::strchr(description, '<') != nullptr) {
        return 0;
    }
    bool f5 = false;
    const char* c = description;
    while (*c != '\0') {
        if (!is_word_character(*c)) {
            ++c;
            continue;
        }
        char word[16];
        std::size_t length = 0;
        for (; is_word_character(*c); ++c) {
            if (length + 1 < sizeof word) {
                word[length++] = static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
            }
        }
        word[length] = '\0';
        if (std::strcmp(word, "f5") == 0) {
            f5 = true;
        } else if (is_modifier_word(word)) {
            return 0;
        }
    }
    return f5 ? 1 : 0;
}

void portal_trigger_line(const char* description, char* line, std::size_t size) {
    char shown[128];
    std::size_t length = 0;
    for (const char* c = description != nullptr ? description : ""; *c != '\0'; ++c) {
        if (length + 1 >= sizeof shown) {
            break;
        }
        unsigned char byte = static_cast<unsigned char>(*c);
        shown[length++] = byte < 0x20 || byte == 0x7f ? '?' : *c;
    }
    shown[length] = '\0';
    std::snprintf(line, size, "qo: the desktop bound \"%s\" to %s\n", PORTAL_SHORTCUT_DESCRIPTION,
                  shown);
}
