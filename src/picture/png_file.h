// The picture file of `qo --shot`: an 8-bit RGB PNG, written whole or not at
// all. One backend per platform, picked in CMake (png_file_posix.cpp with
// libpng, png_file_win32.cpp with the Windows Imaging Component).
#pragma once

// Room for a picture file's path once made absolute.
constexpr int png_path_capacity = 4096;

// Turns FILE as the user gave it into a path that names the same file after
// the working directory changed (qo enters DIR before it builds): a relative
// FILE is taken from the current folder. Returns 0, or 1 after one stderr
// line "qo: cannot write FILE: reason".
int resolve_png_path(const char* file, char* path, int capacity);

// Writes the picture (`width` x `height` pixels of 3 bytes, rows top to
// bottom) as an 8-bit RGB PNG to `path`, named `file` in messages. The bytes
// go to a new file in the same folder, which then replaces `path` in one
// step: a reader never sees half a picture, and a failure leaves `path` as
// it was and no new file behind. A stop request (Ctrl+C) meanwhile removes
// the new file and ends the process: `path` stays as it was, or is already
// the whole new picture. Returns 0, or 1 after one stderr line "qo: cannot
// write FILE: reason".
int write_png_file(const char* path, const char* file, const unsigned char* rgb, int width,
                   int height);
