// Reads a shader file: binary, no terminator added, at most `capacity` bytes.
#pragma once

#include <cstdio>

// Reads up to `capacity` bytes of the file at `path` in one read and returns
// how many it got, or -1 when the file cannot be opened or is not a regular
// file (a directory, a FIFO, a device), in which case load_failure_reason
// tells why. Opening never blocks.
int load_text_file(const char* path, char* buffer, int capacity);

// Why the last load_text_file returned -1, for a message such as
// "qo: cannot read vs.fx: No such file or directory".
const char* load_failure_reason(void);

// Opens `path` for reading in binary mode, without blocking, only when it is
// a regular file. Null on failure, with `reason` set to a short text.
// One definition per platform.
std::FILE* open_regular_file(const char* path, const char** reason);
