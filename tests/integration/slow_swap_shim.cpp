// Preloaded into the viewer (LD_PRELOAD) by the slow-frame scenarios: every
// glXSwapBuffers sleeps $QO_SLOW_SWAP_MS milliseconds before the real swap,
// so a frame takes at least that long whatever the machine's speed, as it
// does with a heavy shader on a software renderer.
//
// $QO_SLOW_SWAP_LOG, when set, names a file that gets one line per swap,
// "<start> <end>\n": the monotonic clock in milliseconds when the swap was
// entered (the frame's drawing is done, its sleep begins) and when the real
// swap returned. A test reads it to place key presses between two frames'
// looks at F5 and to count frames.
//
// $QO_SLOW_SWAP_WHEN, when set, names a file: a swap sleeps only while it
// exists, so a test can run fast frames first and make them slow later.
// $QO_SLOW_SWAP_ASLEEP, when set, names a file created when a sleep begins:
// a test that waits for it knows the viewer is in a long frame.
#include <GL/glx.h>
#include <X11/Xlib.h>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sys/stat.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

typedef void (*swap_buffers_fn)(Display*, GLXDrawable);

long long monotonic_ms(void) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void sleep_ms(long milliseconds) {
    timespec rest;
    rest.tv_sec = milliseconds / 1000;
    rest.tv_nsec = (milliseconds % 1000) * 1000000;
    while (nanosleep(&rest, &rest) != 0) {
        // A signal cut it short: sleep the rest.
    }
}

void log_swap(long long start, long long end) {
    static int fd = -2;
    if (fd == -2) {
        const char* path = std::getenv("QO_SLOW_SWAP_LOG");
        fd = path != nullptr && path[0] != '\0'
                 ? open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)
                 : -1;
    }
    if (fd < 0) {
        return;
    }
    char line[64];
    int length = std::snprintf(line, sizeof line, "%lld %lld\n", start, end);
    ssize_t written = write(fd, line, static_cast<size_t>(length));
    (void)written;
}

} // namespace

extern "C" void glXSwapBuffers(Display* display, GLXDrawable drawable) {
    static swap_buffers_fn real =
        reinterpret_cast<swap_buffers_fn>(dlsym(RTLD_NEXT, "glXSwapBuffers"));
    static long delay_ms = [] {
        const char* text = std::getenv("QO_SLOW_SWAP_MS");
        return text != nullptr ? std::strtol(text, nullptr, 10) : 0L;
    }();
    static const char* when = std::getenv("QO_SLOW_SWAP_WHEN");
    static const char* asleep = std::getenv("QO_SLOW_SWAP_ASLEEP");
    long long start = monotonic_ms();
    struct stat file;
    if (delay_ms > 0 && (when == nullptr || stat(when, &file) == 0)) {
        if (asleep != nullptr) {
            int fd = open(asleep, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            if (fd >= 0) {
                close(fd);
            }
        }
        sleep_ms(delay_ms);
    }
    if (real != nullptr) {
        real(display, drawable);
    }
    log_swap(start, monotonic_ms());
}
