// The build lines' way out on Windows: WriteFile on the standard output
// handle, in text mode (each LF goes out as CR LF).
#include "output/build_output.h"

#include <cstdlib>
#include <windows.h>

namespace {

// One piece of whole lines, written whole (a blocking write: the console
// handler bounds how long it may take).
bool write_piece(const char* bytes, int count) {
    return write_build_output(bytes, count) == count;
}

void flush_at_exit(void) {
    flush_build_output();
}

} // namespace

void start_build_output(void) {
    // Writing to a closed standard output fails quietly without a signal.
    // The build lines end in CR LF like every console program's (text mode),
    // and go out line by line on a console, as the C library's do.
    set_build_output_by_line(GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_CHAR);
    std::atexit(flush_at_exit);
}

void write_build_output_at_stop(void) {
    write_out_for_stop(stop_write_wait_ms, write_piece);
}

int write_build_output(const char* bytes, int count) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) {
        return -1;
    }
    // Text mode: each LF goes out as CR LF.
    char text[2 * build_output_capacity];
    int length = 0;
    for (int i = 0; i < count && length + 2 <= static_cast<int>(sizeof text); ++i) {
        if (bytes[i] == '\n') {
            text[length++] = '\r';
        }
        text[length++] = bytes[i];
    }
    int sent = 0;
    while (sent < length) {
        DWORD written = 0;
        if (!WriteFile(out, text + sent, static_cast<DWORD>(length - sent), &written, nullptr) ||
            written == 0) {
            return -1;
        }
        sent += static_cast<int>(written);
    }
    return count;
}

void end_stopped_build_output(void) {
    // The console handler's thread writes the rest and ends the process.
    Sleep(INFINITE);
}
