// Stop requests on POSIX: the stop signals are blocked in every thread from
// the start (library threads inherit the mask) and taken by one thread of
// qo's own with sigwait. No signal handler runs: the stop thread is an
// ordinary thread, which takes the build output's lock, waits a bounded time
// for a write of the main thread under way, writes what standard output takes
// without waiting, and ends the process by the signal. A stop signal can
// come at any moment of the main thread's work, a write included, without
// a window where it is missed.
#include "app/process.h"

#include "shader/build_output.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

// The stop signals the process was not started to ignore: blocked in every
// thread, taken by the stop thread.
sigset_t taken_signals;

// The file a stop removes (remove_at_stop), or nullptr.
std::atomic<const char*> file_removed_at_stop{nullptr};

// Ends the process by `number` with its default action (it has no handler).
[[noreturn]] void end_by_signal(int number) {
    std::signal(number, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, number);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    raise(number);
    _exit(128 + number);
}

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

void* take_stop_requests(void*) {
    int number = 0;
    while (sigwait(&taken_signals, &number) != 0) {
    }
    // A second stop signal from here on ends the process at once, by its
    // default action, in this thread.
    pthread_sigmask(SIG_UNBLOCK, &taken_signals, nullptr);
    write_out_for_stop(stop_write_wait_ms, write_now);
    // Renamed into place already, it is not there any more: nothing to do.
    const char* file = file_removed_at_stop.load();
    if (file != nullptr) {
        unlink(file);
    }
    end_by_signal(number);
}

void flush_at_exit(void) {
    flush_build_output();
}

// A standard descriptor the process was started without (`qo 2>&-`) would
// be the next one opened: the X connection's socket would get it, and the
// lines meant for it would go into the X protocol stream. Each one not open
// is opened on /dev/null, so that its lines go nowhere.
void open_missing_standard_descriptors(void) {
    for (int descriptor = 0; descriptor <= 2; ++descriptor) {
        if (fcntl(descriptor, F_GETFD) >= 0 || errno != EBADF) {
            continue;
        }
        int null = open("/dev/null", descriptor == 0 ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != descriptor) {
            dup2(null, descriptor);
            close(null);
        }
    }
}

// Blocks the stop signals (but those ignored from the start: nohup, a
// shell's background job) before any other thread exists, and starts the
// thread that takes them.
void start_stop_thread(void) {
    sigemptyset(&taken_signals);
    for (int number : stop_signals) {
        struct sigaction previous;
        if (sigaction(number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
            sigaddset(&taken_signals, number);
        }
    }
    pthread_sigmask(SIG_BLOCK, &taken_signals, nullptr);
    pthread_t thread;
    int error = pthread_create(&thread, nullptr, take_stop_requests, nullptr);
    if (error != 0) {
        // Without it the signals end the process by their default action.
        pthread_sigmask(SIG_UNBLOCK, &taken_signals, nullptr);
        std::fprintf(stderr, "qo: cannot start the stop thread: %s\n", std::strerror(error));
        return;
    }
    pthread_detach(thread);
}

} // namespace

void prepare_process(void) {
    open_missing_standard_descriptors();
    // Writing the build lines to a closed pipe then fails quietly instead of
    // raising SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    // As the C library buffers stdout: line by line on a terminal, or when
    // it was told so before main (stdbuf -oL or -o0 preload a setvbuf call).
    set_build_output_by_line(isatty(STDOUT_FILENO) == 1 || __flbf(stdout) != 0 ||
                             __fbufsize(stdout) == 1);
    std::atexit(flush_at_exit);
    start_stop_thread();
}

void remove_at_stop(const char* path) {
    file_removed_at_stop.store(path);
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
