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
// Built a second time with QO_SLOW_SWAP_LOOKUPS=1 (qo_slow_swap_wine_shim)
// for qo.exe under Wine: Wine's X11 driver does not call glXSwapBuffers by
// name but looks it up on its own handle of libGL (dlsym,
// glXGetProcAddressARB), which a preloaded definition does not reach. That
// build also stands in for dlsym and glXGetProcAddress(ARB) and answers a
// look-up of glXSwapBuffers with its own, keeping the real one the look-up
// found. Only that build: standing in for dlsym changes what RTLD_NEXT means
// to every other caller (the sanitizers' runtime among them).
//
// $QO_SLOW_SWAP_WHEN, when set, names a file: a swap sleeps only while it
// exists, so a test can run fast frames first and make them slow later.
// $QO_SLOW_SWAP_ASLEEP, when set, names a file created when a sleep begins:
// a test that waits for it knows the viewer is in a long frame.
#include <GL/glx.h>
#include <X11/Xlib.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

typedef void (*swap_buffers_fn)(Display*, GLXDrawable);

// The real glXSwapBuffers: the next definition after the shim, or the one a
// look-up through the stand-ins below found.
swap_buffers_fn real_swap = nullptr;

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
    if (real_swap == nullptr) {
        real_swap = reinterpret_cast<swap_buffers_fn>(dlsym(RTLD_NEXT, "glXSwapBuffers"));
    }
    swap_buffers_fn real = real_swap;
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

#if QO_SLOW_SWAP_LOOKUPS
namespace {

typedef void* (*dlsym_fn)(void*, const char*);
typedef void (*gl_proc_fn)(void);
typedef gl_proc_fn (*get_proc_fn)(const GLubyte*);

get_proc_fn real_get_proc = nullptr;

gl_proc_fn shim_get_proc(const GLubyte* name);

dlsym_fn real_dlsym(void) {
    static dlsym_fn real = [] {
        // dlsym's version in glibc 2.34 and later, then the older one.
        void* found = dlvsym(RTLD_NEXT, "dlsym", "GLIBC_2.34");
        if (found == nullptr) {
            found = dlvsym(RTLD_NEXT, "dlsym", "GLIBC_2.2.5");
        }
        return reinterpret_cast<dlsym_fn>(found);
    }();
    return real;
}

// What a look-up by name answers: the shim's own glXSwapBuffers and
// glXGetProcAddress(ARB) in place of the real ones, which are kept.
void* stand_in(const char* name, void* found) {
    if (found == nullptr) {
        return found;
    }
    if (std::strcmp(name, "glXSwapBuffers") == 0 &&
        found != reinterpret_cast<void*>(&glXSwapBuffers)) {
        real_swap = reinterpret_cast<swap_buffers_fn>(found);
        return reinterpret_cast<void*>(&glXSwapBuffers);
    }
    if ((std::strcmp(name, "glXGetProcAddressARB") == 0 ||
         std::strcmp(name, "glXGetProcAddress") == 0) &&
        found != reinterpret_cast<void*>(&shim_get_proc)) {
        real_get_proc = reinterpret_cast<get_proc_fn>(found);
        return reinterpret_cast<void*>(&shim_get_proc);
    }
    return found;
}

gl_proc_fn shim_get_proc(const GLubyte* name) {
    if (real_get_proc == nullptr && real_dlsym() != nullptr) {
        real_get_proc =
            reinterpret_cast<get_proc_fn>(real_dlsym()(RTLD_NEXT, "glXGetProcAddressARB"));
    }
    if (real_get_proc == nullptr) {
        return nullptr;
    }
    const char* text = reinterpret_cast<const char*>(name);
    return reinterpret_cast<gl_proc_fn>(
        stand_in(text, reinterpret_cast<void*>(real_get_proc(name))));
}

} // namespace

extern "C" gl_proc_fn glXGetProcAddressARB(const GLubyte* name) {
    return shim_get_proc(name);
}

extern "C" gl_proc_fn glXGetProcAddress(const GLubyte* name) {
    return shim_get_proc(name);
}

// Wine's X11 driver opens libGL itself and looks its functions up by name,
// through dlsym and through glXGetProcAddressARB. A look-up relative to the
// caller (RTLD_NEXT) is passed on as it is, now relative to the shim.
extern "C" void* dlsym(void* handle, const char* name) {
    dlsym_fn real = real_dlsym();
    if (real == nullptr) {
        return nullptr;
    }
    void* found = real(handle, name);
    if (handle == RTLD_NEXT || handle == RTLD_DEFAULT) {
        return found;
    }
    return stand_in(name, found);
}
#endif
