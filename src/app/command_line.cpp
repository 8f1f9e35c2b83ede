#include "app/command_line.h"

#include <cstdio>
#include <cstring>

namespace {

void set_error(command_line* line, const char* what, const char* argument) {
    line->action = command_usage_error;
    std::snprintf(line->error, sizeof line->error, "qo: %s '%s'; see 'qo --help'", what, argument);
}

// N of `--frame N`: decimal digits only, from 1 to max_shot_frame; -1 for
// anything else (a sign, a space, a fraction, too many digits).
int parse_frame_number(const char* text) {
    if (text[0] == '\0') {
        return -1;
    }
    long long value = 0;
    for (const char* digit = text; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9') {
            return -1;
        }
        value = value * 10 + (*digit - '0');
        if (value > max_shot_frame) {
            return -1;
        }
    }
    return value >= 1 ? static_cast<int>(value) : -1;
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
        } else if (std::strcmp(argument, "--paused") == 0) {
            line.paused = true;
        } else if (std::strcmp(argument, "--shot") == 0) {
            if (i + 1 >= argc || argv[i + 1] == nullptr || argv[i + 1][0] == '\0') {
                set_error(&line, "missing file name after", argument);
                return line;
            }
            if (line.shot_file != nullptr) {
                set_error(&line, "more than one picture file:", argv[i + 1]);
                return line;
            }
            line.shot_file = argv[++i];
        } else if (std::strcmp(argument, "--frame") == 0) {
            if (i + 1 >= argc || argv[i + 1] == nullptr) {
                set_error(&line, "missing frame number after", argument);
                return line;
            }
            line.shot_frame = parse_frame_number(argv[++i]);
            if (line.shot_frame < 0) {
                set_error(&line, "not a frame number from 1 to 2147483647:", argv[i]);
                return line;
            }
        } else {
            set_error(&line, "unknown option", argument);
            return line;
        }
    }
    // The options that draw without a window, which the viewer's own options
    // have no use with.
    const char* windowless = line.shot_file != nullptr ? "--shot" : nullptr;
    if (windowless != nullptr && line.watch) {
        set_error(&line, "--watch has no use with", windowless);
    } else if (windowless != nullptr && line.paused) {
        set_error(&line, "--paused has no use with", windowless);
    } else if (line.shot_file != nullptr) {
        line.action = command_shot;
    }
    return line;
}

const char* usage_text(void) {
    return "Usage: qo [--frame N] [--paused] [--watch] [DIR]\n"
           "       qo --shot FILE [--frame N] [DIR]\n"
           "       qo --help | --version\n"
           "\n"
           "Live GLSL shader viewer: builds an OpenGL program from vs.fx (vertex) and\n"
           "ps.fx (fragment) in DIR, or in the current folder, and draws it over an\n"
           "800x600 window every frame. Each build prints the program's number and\n"
           "link log on stdout; compile errors go to stderr as file:line: lines.\n"
           "\n"
           "Keys:\n"
           "  F5           rebuild from both files (also while the editor has the focus)\n"
           "  Space        pause / resume the clock (frames are still drawn: rebuilds show)\n"
           "  . / ,        one frame forward / back, and pause\n"
           "  Right / Left 300 frames (5 s) forward / back\n"
           "  Up / Down    3600 frames (60 s) forward / back\n"
           "  Home         back to frame 1\n"
           "               (these with qo's window focused; each names the frame on stderr)\n"
           "  Esc          quit (or close the window)\n"
           "\n"
           "Options:\n"
           "  --watch      also rebuild once each time vs.fx or ps.fx is saved\n"
           "               (for desktops where F5 cannot reach qo, such as GNOME 43 or sway)\n"
           "  --shot FILE  draw frame N off screen, write it to FILE as an 800x600 PNG and\n"
           "               exit; needs no display (CI, thumbnails). FILE is relative to\n"
           "               where qo starts, not to DIR\n"
           "  --frame N    the frame --shot draws, or the viewer's first: 1 (the default)\n"
           "               to 2147483647; frame N's clock is 1/60 added N times from 0\n"
           "  --paused     start the viewer paused (at frame 1 without --frame)\n"
           "  -h, --help   print this help and exit\n"
           "  --version    print the version and exit\n"
           "\n"
           "Exit status: 0 after Esc or closing the window, or once --shot wrote FILE;\n"
           "1 when the viewer cannot run (no display, window or OpenGL 2.0), or --shot\n"
           "wrote no FILE (the program did not link, FILE cannot be written); 2 for a\n"
           "bad command line or a DIR that cannot be entered.\n"
           "\n"
           "Manual: man qo (docs/qo.1 in the source), and README.md.\n";
}
