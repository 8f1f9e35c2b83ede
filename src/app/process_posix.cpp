#include "app/process.h"

#include "shader/build_output.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio_ext.h>
#include <unistd.h>

namespace {

constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

// The first stop signal taken; 0 while none.
volatile std::sig_atomic_t stop_signal = 0;
pthread_t main_thread;

// Ends the process by `number` with its default action, as if no handler had
// been installed. Async-signal-safe.
[[noreturn]] void end_by_signal(int number) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(number, &action, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, number);
    raise(number);
    // Blocked in this thread (raised from within the handler, which blocks
    // the stop signals): delivered here.
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    _exit(128 + number);
}

// Writes whole lines to standard output as far as it takes them now, without
// waiting for a reader that stopped reading; the rest is dropped.
// Async-signal-safe.
void write_without_waiting(const char* bytes, int count) {
    int flags = fcntl(STDOUT_FILENO, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) == 0) {
        fcntl(STDOUT_FILENO, F_SETFL, flags | O_NONBLOCK);
    }
    // A line at a time: a pipe takes one of at most PIPE_BUF bytes whole or
    // not at all.
    const char* end = bytes + count;
    while (bytes < end) {
        const char* line_end = bytes;
        while (line_end < end && *line_end != '\n') {
            ++line_end;
        }
        if (line_end < end) {
            ++line_end;
        }
        while (bytes < line_end) {
            ssize_t written = write(STDOUT_FILENO, bytes, static_cast<size_t>(line_end - bytes));
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written <= 0) {
                bytes = end; // full or gone: the rest is dropped
                break;
            }
            bytes += written;
        }
    }
    if (flags >= 0 && (flags & O_NONBLOCK) == 0) {
        // The descriptor may be shared (a terminal): as it was.
        fcntl(STDOUT_FILENO, F_SETFL, flags);
    }
}

// Runs with the three stop signals blocked. Writes out the build lines and
// ends the process by the signal; when the main thread is in a write of its
// own, lets that write return (it is cut short, the handler has no
// SA_RESTART) and the main thread does the same right after.
void on_stop_signal(int number) {
    int saved_errno = errno;
    if (!pthread_equal(pthread_self(), main_thread)) {
        // Another thread took it (libraries' threads normally block it).
        pthread_kill(main_thread, number);
        errno = saved_errno;
        return;
    }
    if (stop_signal != 0) {
        end_by_signal(number); // a second one: at once
    }
    stop_signal = number;
    const char* bytes = nullptr;
    int count = 0;
    if (claim_build_output(&bytes, &count)) {
        write_without_waiting(bytes, count);
        end_by_signal(number);
    }
    errno = saved_errno;
}

void flush_at_exit(void) {
    flush_build_output();
}

} // namespace

void prepare_process(void) {
    // Writing the build lines to a closed pipe then fails quietly instead of
    // raising SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    // As the C library buffers stdout: line by line on a terminal, or when
    // it was told so before main (stdbuf -oL or -o0 preload a setvbuf call).
    set_build_output_by_line(isatty(STDOUT_FILENO) == 1 || __flbf(stdout) != 0 ||
                             __fbufsize(stdout) == 1);
    std::atexit(flush_at_exit);
}

void watch_stop_requests(void) {
    main_thread = pthread_self();
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    for (int number : stop_signals) {
        sigaddset(&action.sa_mask, number);
    }
    // No SA_RESTART: a write of the build lines that waits for a stalled
    // reader must return to let the process end.
    action.sa_flags = 0;
    for (int number : stop_signals) {
        struct sigaction previous;
        if (sigaction(number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) {
            continue; // nohup, or a shell's background job: stays ignored
        }
        sigaction(number, &action, nullptr);
    }
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
        // blocking write would (a stop signal cuts the wait short).
        struct pollfd room = {STDOUT_FILENO, POLLOUT, 0};
        poll(&room, 1, -1);
        return 0;
    }
    return -1;
}

void end_stopped_build_output(void) {
    const char* bytes = nullptr;
    int count = 0;
    if (claim_build_output(&bytes, &count)) {
        write_without_waiting(bytes, count);
    }
    end_by_signal(stop_signal != 0 ? static_cast<int>(stop_signal) : SIGTERM);
}
