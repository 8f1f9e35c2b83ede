// The command line: what qo was asked to do. Pure: parses the arguments and
// holds the usage text, prints nothing and touches no file.
#pragma once

enum command_action {
    command_run,         // open the viewer
    command_shot,        // draw one frame off screen into a PNG file, exit
    command_record,      // draw frames off screen into PNG files or a video, exit
    command_help,        // print the usage text on stdout, exit 0
    command_version,     // print "qo <version>" on stdout, exit 0
    command_usage_error, // print `error` on stderr, exit 2
};

// The exit status of a command line qo cannot act on (a usage error, a
// folder it cannot enter).
constexpr int usage_error_status = 2;

// The last frame `--frame` and `--frames` accept.
constexpr int max_shot_frame = 2147483647;

// The largest width and height `--size` takes; the GL may give less.
constexpr int max_picture_side = 65535;

struct command_line {
    command_action action = command_run;
    // The folder to run in (the argument as given); null: the current one.
    const char* folder = nullptr;
    // Rebuild when vs.fx or ps.fx is saved, besides F5.
    bool watch = false;
    // For command_shot: the PNG file to write (the argument as given).
    const char* shot_file = nullptr;
    // The frame of `--frame N`, counted from 1 as the viewer draws them: the
    // one command_shot draws, or the viewer's first.
    int shot_frame = 1;
    // The viewer starts paused (`--paused`).
    bool paused = false;
    // For command_record: FILE as given and the frames drawn, first to last.
    const char* record_file = nullptr;
    int first_frame = 1;
    int last_frame = 600;
    // `--size WxH` of --shot and --record; 0 x 0 when not given (the default).
    int width = 0;
    int height = 0;
    // For command_usage_error: one line, without its line end, naming the
    // argument at fault and pointing at --help.
    char error[256] = {};
};

// Reads argv[1] to argv[argc - 1] in order. `--help`/`-h` and `--version` act
// as soon as they are read (what follows is not looked at); an unknown option
// or a second folder is an error at once. `--` makes every later argument a
// folder name, so that a folder may start with "-". No arguments: run here.
// `--shot FILE` (FILE is the next argument, whatever it looks like) asks for
// command_shot; `--frame N` (a whole number from 1 to 2147483647) is the
// frame it draws, or the viewer's first frame; `--paused` starts the viewer
// paused and has no use with --shot. `--record FILE` asks for
// command_record, with `--frames A-B` (1 <= A <= B <= 2147483647); `--size
// WxH` (each 1 to max_picture_side) goes with --shot or --record.
command_line parse_command_line(int argc, const char* const* argv);

// The text `qo --help` prints, lines ended by "\n".
const char* usage_text(void);
