#include "app/command_line.h"

#include <cstdio>
#include <cstring>

namespace {

void set_error(command_line* line, const char* what, const char* argument) {
    line->action = command_usage_error;
    std::snprintf(line->error, sizeof line->error, "qo: %s '%s'; see 'qo --help'", what, argument);
}

// A whole number written with decimal digits only, from 1 to `largest`, in
// the text from `text` up to `end` (or its end when `end` is null); -1 for
// anything else (a sign, a space, a fraction, too many digits).
int parse_number(const char* text, const char* end, int largest) {
    if (end == nullptr) {
        end = text + std::strlen(text);
    }
    if (text == end) {
        return -1;
    }
    long long value = 0;
    for (const char* digit = text; digit != end; ++digit) {
        if (*digit < '0' || *digit > '9') {
            return -1;
        }
        value = value * 10 + (*digit - '0');
        if (value > largest) {
            return -1;
        }
    }
    return value >= 1 ? static_cast<int>(value) : -1;
}

// Two numbers around `separator` ("20-40", "1920x1080"): false unless both
// are whole numbers from 1 to `largest`.
bool parse_number_pair(const char* text, char separator, int largest, int* first, int* second) {
    const char* middle = std::strchr(text, separator);
    if (middle == nullptr) {
        return false;
    }
    *first = parse_number(text, middle, largest);
    *second = parse_number(middle + 1, nullptr, largest);
    return *first > 0 && *second > 0;
}

// The argument after option `argv[*i]`, taken, or null after a usage error.
const char* take_value(command_line* line, int argc, const char* const* argv, int* i,
                       const char* missing) {
    if (*i + 1 >= argc || argv[*i + 1] == nullptr) {
        set_error(line, missing, argv[*i]);
        return nullptr;
    }
    return argv[++*i];
}

// The file name after option `argv[*i]` (`--shot`, `--record`), taken into
// `*file`: false after a usage error (none, an empty one, a second one).
bool take_file(command_line* line, int argc, const char* const* argv, int* i, const char** file,
               const char* second) {
    const char* option = argv[*i];
    const char* value = take_value(line, argc, argv, i, "missing file name after");
    if (value == nullptr || value[0] == '\0') {
        set_error(line, "missing file name after", option);
        return false;
    }
    if (*file != nullptr) {
        set_error(line, second, value);
        return false;
    }
    *file = value;
    return true;
}

} // namespace

command_line parse_command_line(int argc, const char* const* argv) {
    command_line line;
    bool options_ended = false;
    bool frame_given = false;
    bool frames_given = false;
    bool size_given = false;
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
            if (!take_file(&line, argc, argv, &i, &line.shot_file, "more than one picture file:")) {
                return line;
            }
        } else if (std::strcmp(argument, "--frame") == 0) {
            const char* value = take_value(&line, argc, argv, &i, "missing frame number after");
            if (value == nullptr) {
                return line;
            }
            line.shot_frame = parse_number(value, nullptr, max_shot_frame);
            if (line.shot_frame < 0) {
                set_error(&line, "not a frame number from 1 to 2147483647:", value);
                return line;
            }
            frame_given = true;
        } else if (std::strcmp(argument, "--record") == 0) {
            if (!take_file(&line, argc, argv, &i, &line.record_file,
                           "more than one recording file:")) {
                return line;
            }
        } else if (std::strcmp(argument, "--frames") == 0) {
            const char* value = take_value(&line, argc, argv, &i, "missing frames A-B after");
            if (value == nullptr) {
                return line;
            }
            if (!parse_number_pair(value, '-', max_shot_frame, &line.first_frame,
                                   &line.last_frame) ||
                line.first_frame > line.last_frame) {
                set_error(&line, "not frames A-B with 1 <= A <= B <= 2147483647:", value);
                return line;
            }
            frames_given = true;
        } else if (std::strcmp(argument, "--size") == 0) {
            const char* value = take_value(&line, argc, argv, &i, "missing size WxH after");
            if (value == nullptr) {
                return line;
            }
            if (!parse_number_pair(value, 'x', max_picture_side, &line.width, &line.height)) {
                set_error(&line, "not a size WxH, each from 1 to 65535:", value);
                return line;
            }
            size_given = true;
        } else {
            set_error(&line, "unknown option", argument);
            return line;
        }
    }
    // The options that draw without a window, which the viewer's own options
    // have no use with.
    const char* windowless = line.shot_file != nullptr     ? "--shot"
                             : line.record_file != nullptr ? "--record"
                                                           : nullptr;
    if (line.shot_file != nullptr && line.record_file != nullptr) {
        set_error(&line, "--shot and --record go one at a time:", line.record_file);
    } else if (windowless != nullptr && line.watch) {
        set_error(&line, "--watch has no use with", windowless);
    } else if (windowless != nullptr && line.paused) {
        set_error(&line, "--paused has no use with", windowless);
    } else if (line.record_file != nullptr && frame_given) {
        set_error(&line, "--frame has no use with", "--record FILE (see --frames)");
    } else if (frames_given && line.record_file == nullptr) {
        set_error(&line, "--frames goes only with", "--record FILE");
    } else if (size_given && windowless == nullptr) {
        set_error(&line, "--size goes only with", "--shot FILE or --record FILE");
    } else if (line.shot_file != nullptr) {
        line.action = command_shot;
    } else if (line.record_file != nullptr) {
        line.action = command_record;
    }
    return line;
}

const char* usage_text(void) {
    return "Usage: qo [--frame N] [--paused] [--watch] [DIR]\n"
           "       qo --shot FILE [--frame N] [--size WxH] [DIR]\n"
           "       qo --record FILE [--frames A-B] [--size WxH] [DIR]\n"
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
           "  --shot FILE  draw frame N off screen, write it to FILE as a PNG (800x600) and\n"
           "               exit; needs no display (CI, thumbnails). FILE is relative to\n"
           "               where qo starts, not to DIR\n"
           "  --frame N    the frame --shot draws, or the viewer's first: 1 (the default)\n"
           "               to 2147483647; frame N's clock is 1/60 added N times from 0\n"
           "  --paused     start the viewer paused (at frame 1 without --frame)\n"
           "  --record FILE  draw frames A to B off screen, one per frame of the clock\n"
           "               (60 a second), and write them to FILE, relative to where qo\n"
           "               starts: out/f%04d.png writes one PNG per frame (%d or %0Nd,\n"
           "               N 1-9, is the frame number; %% is a %); .mp4, .mkv or .mov\n"
           "               is H.264, .webm VP9, .gif every third frame at 20 a second,\n"
           "               made by the ffmpeg program on PATH\n"
           "  --frames A-B the frames for --record, 1 <= A <= B; 1-600 (10 s) by default\n"
           "  --size WxH   draw --shot or --record at W x H pixels (800x600 by default)\n"
           "  -h, --help   print this help and exit\n"
           "  --version    print the version and exit\n"
           "\n"
           "Exit status: 0 after Esc or closing the window, or once --shot or --record\n"
           "wrote FILE; 1 when the viewer cannot run (no display, window or OpenGL 2.0),\n"
           "or --shot or --record could not write FILE (the program did not link, FILE\n"
           "cannot be written, ffmpeg is missing or failed); 2 for a bad command line\n"
           "or a DIR that cannot be entered.\n"
           "\n"
           "Manual: man qo (docs/qo.1 in the source), and README.md.\n";
}
