// What `qo --record FILE` makes of FILE: a numbered sequence of PNG files, or
// a video of the kind its extension names. Pure: reads and formats names,
// touches no file.
#pragma once

enum record_kind {
    record_png_sequence, // f%04d.png: one PNG per frame
    record_mp4,          // H.264 in MP4
    record_mkv,          // H.264 in Matroska
    record_mov,          // H.264 in QuickTime
    record_webm,         // VP9 in WebM
    record_gif,          // an animated GIF
};

// Room for a name: FILE, one frame's name, each half of a pattern.
constexpr int record_name_capacity = 4096;

struct record_target {
    record_kind kind = record_png_sequence;
    // For the PNG sequence: FILE before and after its frame-number field,
    // each "%%" turned into "%".
    char prefix[record_name_capacity] = {};
    char suffix[record_name_capacity] = {};
    // The least number of digits of the number, zero-padded (%0Nd), or 0 (%d).
    int digits = 0;
};

// Reads FILE. A name ending in ".png" (any case) needs exactly one field %d or
// %0Nd (N from 1 to 9) for the frame number, and may write "%%" for a "%";
// any other "%" is refused. A name ending in ".mp4", ".mkv", ".mov", ".webm"
// or ".gif" (any case) is a video, its "%"s plain characters. Returns 0, or 1
// with `error` set to one line (no line end) naming FILE.
int parse_record_target(const char* file, record_target* target, char* error, int capacity);

// The name of frame `frame` (>= 0): the prefix, the number, the suffix.
// Returns 0, or 1 when it does not fit `capacity`.
int format_frame_name(const record_target& target, int frame, char* name, int capacity);

// Whether a `kind` of file can hold pictures of width x height: YUV 4:2:0
// (mp4, mkv, mov, webm) needs both even. Returns 0, or 1 with `error` set to
// one line (no line end) saying why not.
int check_record_size(record_kind kind, int width, int height, char* error, int capacity);

// The file extension of a video kind without its dot ("mp4"); "png" for the
// sequence.
const char* record_kind_extension(record_kind kind);
