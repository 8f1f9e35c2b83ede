// The video encoder: the ffmpeg program, started directly (no shell) with
// raw frames on a pipe to its standard input. One backend per platform,
// picked in CMake (video_pipe_posix.cpp: posix_spawnp; video_pipe_win32.cpp:
// CreateProcess). One encoder at a time, process-wide.
#pragma once

#include <cstddef>

// Whether an executable "ffmpeg" ("ffmpeg.exe" on Windows) is in one of the
// folders of PATH: 0 when it is, 1 when not (nothing printed).
int find_ffmpeg(void);

// Makes an empty file to record into beside `path` (a full path), hidden
// and with the same extension: ".NAME.qo-PID-N.EXT". It is named for a stop
// to remove before it is made (name_stop_file), and stays named until the
// caller clears it (clear_stop_file) once it is renamed into place or
// removed. Returns 0, or 1 after one stderr line "qo: cannot write FILE:
// reason" (`file` as the user gave it).
int create_video_file(const char* path, const char* file, char* temporary, int capacity);

// Starts `argv` (argv[0] looked up on PATH), its standard input a pipe from
// qo, its standard output and error kept in a file of their own that is
// gone when qo ends, in a process group of its own (a terminal's Ctrl+C
// reaches qo alone, which then finishes the video). Returns 0, or 1 after one
// stderr line.
int start_video_encoder(const char* const* argv);

// Writes `count` bytes to the encoder's input, all of them. Returns 0, or 1
// when the encoder takes no more (it ended). Prints nothing.
int write_video_bytes(const unsigned char* bytes, size_t count);

// Closes the encoder's input and waits for it to end: at most `wait_ms`
// milliseconds (-1: as long as it takes), after which it is killed. Returns
// 0 when it ended with exit status 0, or 1 after stderr lines: one naming
// `file` and how the encoder ended, then its last lines.
int finish_video_encoder(int wait_ms, const char* file);

// Kills a running encoder at once (a stop that cannot wait).
void kill_video_encoder(void);

// Moves the finished `temporary` file to `path` in one step. Returns 0, or 1
// after one stderr line "qo: cannot write FILE: reason".
int commit_video_file(const char* temporary, const char* path, const char* file);
