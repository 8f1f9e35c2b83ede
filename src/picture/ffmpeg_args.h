// The ffmpeg command that turns qo's raw frames into a video: what it reads
// (8-bit RGB frames of one size, top row first, 60 a second, on its standard
// input) and what it makes of them for each kind of file. Pure: builds the
// arguments, starts nothing.
#pragma once

#include "picture/record_target.h"

constexpr int ffmpeg_max_arguments = 64;
// Room for the output argument: "file:" and a full path with a temporary
// name.
constexpr int ffmpeg_output_capacity = record_name_capacity + 128;

struct ffmpeg_command {
    // "ffmpeg" and its arguments, ended by nullptr.
    const char* argv[ffmpeg_max_arguments + 1] = {};
    int count = 0;
    // Storage the arguments point into.
    char size[32] = {};
    char output[ffmpeg_output_capacity] = {};
};

// The command for a video of `kind` (not the PNG sequence) of width x height
// written to `path` (a full path; passed as "file:path" so that no name is
// taken for a protocol or an option). Returns 0, or 1 when `path` is too
// long.
int build_ffmpeg_command(record_kind kind, int width, int height, const char* path,
                         ffmpeg_command* command);

// The Windows command line of `argv` (ended by nullptr): each argument quoted
// when it needs it so that the C runtime's parser (CommandLineToArgvW's
// rules) gives it back unchanged. Returns 0, or 1 when it does not fit
// `capacity`.
int join_windows_command_line(const char* const* argv, char* line, int capacity);
