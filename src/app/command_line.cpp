#include "app/command_line.h"

#include <cstdio>
#include <cstring>

namespace {

void set_error(command_line* line, const char* what, const char* argument) {
    line->action = command_usage_error;
    std::snprintf(line->error, sizeof line->error, "qo: %s '%s'; see 'qo --help'", what, argument);
}

} // namespace

command_line parse_command_line(int argc, const char* const* argv) {
    command_line line;
    bool options_ended = false;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i] != nullptr ? argv[i] : "";
        bool option = !options_ended && argument[0] == '-' && argument[1] != '\0';
        if (!option) {
            if (line.folder != nullptr) {
                set_error(&line, "more than one folder:", argument);
                return line;
            }
            line.folder = argument;
        } else if (std::strcmp(argument, "--") == 0) {
            options_ended = true;
        } else if (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0) {
            line.action = command_help;
            return line;
        } else if (std::strcmp(argument, "--version") == 0) {
            line.action = command_version;
            return line;
        } else if (std::strcmp(argument, "--watch") == 0) {
            line.watch = true;
        } else {
            set_error(&line, "unknown option", argument);
            return line;
        }
    }
    return line;
}

const char* usage_text(void) {
    return "Usage: qo [--watch] [DIR]\n"
           "       qo --help | --version\n"
           "\n"
           "Live GLSL shader viewer: builds an OpenGL program from vs.fx (vertex) and\n"
           "ps.fx (fragment) in DIR, or in the current folder, and draws it over an\n"
           "800x600 window every frame. Each build prints the program's number and\n"
           "link log on stdout; compile errors go to stderr as file:line: lines.\n"
           "\n"
           "Keys:\n"
           "  F5           rebuild from both files (also while the editor has the focus)\n"
           "  Esc          quit (or close the window)\n"
           "\n"
           "Options:\n"
           "  --watch      also rebuild once each time vs.fx or ps.fx is saved\n"
           "               (for desktops where F5 cannot reach qo, such as GNOME 43 or sway)\n"
           "  -h, --help   print this help and exit\n"
           "  --version    print the version and exit\n"
           "\n"
           "Exit status: 0 after Esc or closing the window; 1 when the viewer cannot run\n"
           "(no display, window or OpenGL 2.0); 2 for a bad command line or a DIR that\n"
           "cannot be entered.\n"
           "\n"
           "Manual: man qo (docs/qo.1 in the source), and README.md.\n";
}
