// Stop requests on POSIX: the stop signals are blocked in every thread from
// the start (library threads inherit the mask) and taken by one thread of
// qo's own with sigwait. No signal handler runs: the stop thread is an
// ordinary thread, which takes the build output's lock, waits a bounded time
// for a write of the main thread under way, writes what standard output takes
// without waiting, and ends the process by the signal. A stop signal can
// come at any moment of the main thread's work, a write included, without
// a window where it is missed.
#include "app/process.h"

#include "output/build_output.h"
#include "output/stop_files.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

namespace {

constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

// The stop signals the process was not started to ignore: blocked in every
// thread, taken by the stop thread.
sigset_t taken_signals;

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

void* take_stop_requests(void*) {
    int number = 0;
    while (sigwait(&taken_signals, &number) != 0) {
    }
    // A second stop signal from here on ends the process at once, by its
    // default action, in this thread.
    pthread_sigmask(SIG_UNBLOCK, &taken_signals, nullptr);
    write_build_output_at_stop();
    remove_stop_file();
    end_by_signal(number);
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
    start_build_output();
    start_stop_thread();
}
