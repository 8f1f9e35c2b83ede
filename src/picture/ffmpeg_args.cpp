#include "picture/ffmpeg_args.h"

#include <cstdio>
#include <cstring>

namespace {

void add(ffmpeg_command* command, const char* argument) {
    if (command->count < ffmpeg_max_arguments) {
        command->argv[command->count++] = argument;
        command->argv[command->count] = nullptr;
    }
}

void add_all(ffmpeg_command* command, const char* const* arguments) {
    for (; *arguments != nullptr; ++arguments) {
        add(command, *arguments);
    }
}

// RGB to YUV 4:2:0 with the BT.709 matrix in limited range (pure red at
// Y = 63), done by the conversion itself: ffmpeg's default for rgb24 input
// is the BT.601 matrix (Y = 81), which tags alone would only mislabel. The
// frames are marked BT.709 too (setparams): from ffmpeg 7 on the encoder
// takes the frames' primaries and transfer over the options below, and the
// scaler leaves those unknown.
const char* const bt709_yuv420p[] = {"-vf",
                                     "scale=out_color_matrix=bt709:out_range=tv,format=yuv420p,"
                                     "setparams=color_primaries=bt709:color_trc=bt709:"
                                     "colorspace=bt709:range=tv",
                                     "-pix_fmt",
                                     "yuv420p",
                                     "-colorspace",
                                     "bt709",
                                     "-color_primaries",
                                     "bt709",
                                     "-color_trc",
                                     "bt709",
                                     "-color_range",
                                     "tv",
                                     nullptr};

const char* const h264[] = {"-c:v", "libx264", nullptr};
// Constant quality (the default bit rate of 256 kb/s blurs), rows in
// parallel.
const char* const vp9[] = {"-c:v", "libvpx-vp9", "-crf", "30",   "-b:v",
                           "0",    "-row-mt",    "1",    nullptr};
// A GIF's delays are whole hundredths of a second: every third frame (from
// the first), each shown 5/100 s, plays at the clock's speed (20 a second).
// One palette made from all those frames.
const char* const gif[] = {
    "-vf",
    "select=not(mod(n\\,3)),setpts=N/(20*TB),split[frames][again];[frames]palettegen[palette];"
    "[again][palette]paletteuse",
    "-r",
    "20",
    "-loop",
    "0",
    nullptr};

} // namespace

int build_ffmpeg_command(record_kind kind, int width, int height, const char* path,
                         ffmpeg_command* command) {
    *command = ffmpeg_command();
    int length = std::snprintf(command->output, sizeof command->output, "file:%s", path);
    if (length < 0 || length >= static_cast<int>(sizeof command->output)) {
        return 1;
    }
    std::snprintf(command->size, sizeof command->size, "%dx%d", width, height);
    // Errors only (its last lines are shown when it fails); the temporary
    // output file qo made is overwritten. Not -nostdin: the frames come on
    // standard input.
    const char* const input[] = {
        "ffmpeg", "-hide_banner", "-loglevel",   "error",      "-y", "-f", "rawvideo", "-pix_fmt",
        "rgb24",  "-s",           command->size, "-framerate", "60", "-i", "-",        nullptr};
    add_all(command, input);
    const char* format = "mp4";
    switch (kind) {
    case record_mp4:
    case record_mkv:
    case record_mov:
        add_all(command, h264);
        add_all(command, bt709_yuv420p);
        format = kind == record_mp4 ? "mp4" : kind == record_mkv ? "matroska" : "mov";
        break;
    case record_webm:
        add_all(command, vp9);
        add_all(command, bt709_yuv420p);
        format = "webm";
        break;
    case record_gif:
    case record_png_sequence:
        add_all(command, gif);
        format = "gif";
        break;
    }
    add(command, "-f");
    add(command, format);
    add(command, command->output);
    return 0;
}

int join_windows_command_line(const char* const* argv, char* line, int capacity) {
    int length = 0;
    auto put = [&](char c) {
        if (length + 1 < capacity) {
            line[length] = c;
        }
        ++length;
    };
    for (int i = 0; argv[i] != nullptr; ++i) {
        const char* argument = argv[i];
        if (i > 0) {
            put(' ');
        }
        bool plain = argument[0] != '\0' && std::strpbrk(argument, " \t\n\v\"") == nullptr;
        if (plain) {
            for (const char* c = argument; *c != '\0'; ++c) {
                put(*c);
            }
            continue;
        }
        // Inside quotes: backslashes are plain unless a quote follows them;
        // then each is doubled and the quote escaped. Before the closing
        // quote they are doubled too.
        put('"');
        int backslashes = 0;
        for (const char* c = argument;; ++c) {
            if (*c == '\\') {
                ++backslashes;
                continue;
            }
            if (*c == '\0' || *c == '"') {
                int count = backslashes * 2 + (*c == '"' ? 1 : 0);
                for (int k = 0; k < count; ++k) {
                    put('\\');
                }
            } else {
                for (int k = 0; k < backslashes; ++k) {
                    put('\\');
                }
            }
            backslashes = 0;
            if (*c == '\0') {
                break;
            }
            put(*c);
        }
        put('"');
    }
    if (capacity > 0) {
        line[length < capacity ? length : capacity - 1] = '\0';
    }
    return length < capacity ? 0 : 1;
}
