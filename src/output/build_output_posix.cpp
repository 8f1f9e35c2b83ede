// The build lines' way out on POSIX: write(2) on standard output, blocking
// for the main thread and without waiting for the stop thread.
#include "output/build_output.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Writes one piece of whole lines if standard output takes it now, without
// waiting and without touching its flags (they may be shared with a shell's
// terminal). A pipe with room takes a piece of at most PIPE_BUF bytes whole.
bool write_now(const char* bytes, int count) {
    struct stat status;
    bool regular = fstat(STDOUT_FILENO, &status) == 0 && S_ISREG(status.st_mode);
    while (count > 0) {
        if (!regular) {
            struct pollfd room = {STDOUT_FILENO, POLLOUT, 0};
            if (poll(&room, 1, 0) != 1 || (room.revents & POLLOUT) == 0) {
                return false;
            }
        }
        ssize_t written = write(STDOUT_FILENO, bytes, static_cast<size_t>(count));
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes += written;
        count -= static_cast<int>(written);
    }
    return true;
}

void flush_at_exit(void) {
    flush_build_output();
}

} // namespace

void start_build_output(void) {
    // As the C library buffers stdout: line by line on a terminal, or when
    // it was told so before main (stdbuf -oL or -o0 preload a setvbuf call).
    set_build_output_by_line(isatty(STDOUT_FILENO) == 1 || __flbf(stdout) != 0 ||
                             __fbufsize(stdout) == 1);
    std::atexit(flush_at_exit);
}

void write_build_output_at_stop(void) {
    write_out_for_stop(stop_write_wait_ms, write_now);
}

int write_build_output(const char* bytes, int count) {
    ssize_t written = write(STDOUT_FILENO, bytes, static_cast<size_t>(count));
    if (written > 0) {
        return static_cast<int>(written);
    }
    if (written < 0 && errno == EINTR) {
        return 0;
    }
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        // Standard output was handed over non-blocking: wait for room as a
        // blocking write would.
        struct pollfd room = {STDOUT_FILENO, POLLOUT, 0};
        poll(&room, 1, -1);
        return 0;
    }
    return -1;
}

void end_stopped_build_output(void) {
    // The stop thread ends the process; this thread has the stop signals
    // blocked, so the wait is for ever.
    for (;;) {
        pause();
    }
}
