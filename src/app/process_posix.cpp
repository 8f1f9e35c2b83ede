#include "app/process.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <signal.h>
#include <unistd.h>

namespace {

constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};
// How long the main loop has to honour a stop signal before the process
// ends without writing out stdout.
constexpr unsigned int grace_seconds = 1;

// The first stop signal taken; 0 while none.
volatile std::sig_atomic_t pending_stop_signal = 0;

// Ends the process by `number` with its default action, as if no handler had
// been installed. Async-signal-safe.
void end_by_signal(int number) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(number, &action, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, number);
    raise(number);
    // Blocked in this thread (say, raised from within a handler that
    // blocks it): delivered here.
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    _exit(128 + number);
}

void note_stop_signal(int number) {
    if (pending_stop_signal == 0) {
        pending_stop_signal = number;
        alarm(grace_seconds);
    }
}

// The grace ran out: the main loop is stuck somewhere.
void end_without_flush(int) {
    int number = pending_stop_signal;
    end_by_signal(number != 0 ? number : SIGTERM);
}

} // namespace

void prepare_process(void) {
    // Writing the build lines to a closed pipe then fails quietly instead of
    // raising SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
}

void watch_stop_requests(void) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = end_without_flush;
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, nullptr);

    std::memset(&action, 0, sizeof action);
    action.sa_handler = note_stop_signal;
    sigemptyset(&action.sa_mask);
    for (int number : stop_signals) {
        sigaddset(&action.sa_mask, number);
    }
    // Restarted calls: Xlib's reads and writes are not cut short. Reset on
    // entry: a second signal of the same kind takes the default action.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    for (int number : stop_signals) {
        struct sigaction previous;
        if (sigaction(number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) {
            continue; // nohup, or a shell's background job: stays ignored
        }
        sigaction(number, &action, nullptr);
    }
}

void honour_stop_request(void) {
    int number = pending_stop_signal;
    if (number == 0) {
        return;
    }
    std::fflush(stdout);
    end_by_signal(number);
}
