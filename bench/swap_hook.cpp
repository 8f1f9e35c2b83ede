// The bench's view into a running program, loaded with LD_PRELOAD: counts
// and time-stamps every glXSwapBuffers and every glLinkProgram, and closes
// the window on request, without changing the program itself.
//
// glLinkProgram is reached through glXGetProcAddress(ARB), so those two are
// wrapped and hand out a counting glLinkProgram.
//
// QO_BENCH_SHARED names a file of sizeof(bench_counters) bytes that the
// runner maps too; without it the counters live in private memory.
// QO_BENCH_QUIT_AFTER=N sends the close request after the N-th swap.
#include "bench_counters.h"
#include "x11_probe.h"

#include <GL/glx.h>
#include <X11/Xlib.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

typedef void (*swap_buffers_fn)(Display*, GLXDrawable);
typedef __GLXextFuncPtr (*get_proc_address_fn)(const GLubyte*);
typedef void (*link_program_fn)(GLuint);

bench_counters* counters = nullptr;
swap_buffers_fn real_swap_buffers = nullptr;
link_program_fn real_link_program = nullptr;

int64_t monotonic_ns(void) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void map_counters(void) {
    void* memory = MAP_FAILED;
    const char* path = std::getenv(bench_shared_file_variable);
    if (path != nullptr && path[0] != '\0') {
        int fd = open(path, O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            std::fprintf(stderr, "qo bench hook: cannot open %s\n", path);
            std::_Exit(2);
        }
        memory = mmap(nullptr, sizeof(bench_counters), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
    } else {
        memory = mmap(nullptr, sizeof(bench_counters), PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    }
    if (memory == MAP_FAILED) {
        std::fprintf(stderr, "qo bench hook: cannot map the counters\n");
        std::_Exit(2);
    }
    counters = static_cast<bench_counters*>(memory);
    const char* quit_after = std::getenv(bench_quit_after_variable);
    if (quit_after != nullptr) {
        counters->quit_after.store(std::strtoull(quit_after, nullptr, 10));
    }
}

__attribute__((constructor)) void start_hook(void) {
    map_counters();
    real_swap_buffers = reinterpret_cast<swap_buffers_fn>(dlsym(RTLD_NEXT, "glXSwapBuffers"));
}

void record(std::atomic<uint64_t>& count, int64_t* times) {
    uint64_t index = count.load(std::memory_order_relaxed);
    if (index < bench_record_capacity) {
        times[index] = monotonic_ns();
    }
    count.store(index + 1, std::memory_order_release);
}

void counting_link_program(GLuint program) {
    real_link_program(program);
    record(counters->links, counters->link_ns);
}

__GLXextFuncPtr wrap_entry_point(const GLubyte* name, __GLXextFuncPtr found) {
    if (found != nullptr &&
        std::strcmp(reinterpret_cast<const char*>(name), "glLinkProgram") == 0) {
        real_link_program = reinterpret_cast<link_program_fn>(found);
        return reinterpret_cast<__GLXextFuncPtr>(counting_link_program);
    }
    return found;
}

} // namespace

extern "C" {

void glXSwapBuffers(Display* display, GLXDrawable drawable) {
    real_swap_buffers(display, drawable);
    if (counters->swaps.load(std::memory_order_relaxed) == 0) {
        timespec cpu;
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
        counters->first_swap_cpu_ns.store(static_cast<int64_t>(cpu.tv_sec) * 1000000000 +
                                          cpu.tv_nsec);
    }
    record(counters->swaps, counters->swap_ns);
    uint64_t quit_after = counters->quit_after.load(std::memory_order_acquire);
    if (quit_after != 0 && counters->swaps.load(std::memory_order_relaxed) >= quit_after &&
        counters->quit_sent.exchange(1) == 0) {
        probe_send_close_request(display, drawable);
    }
}

__GLXextFuncPtr glXGetProcAddressARB(const GLubyte* name) {
    static get_proc_address_fn real =
        reinterpret_cast<get_proc_address_fn>(dlsym(RTLD_NEXT, "glXGetProcAddressARB"));
    return wrap_entry_point(name, real(name));
}

__GLXextFuncPtr glXGetProcAddress(const GLubyte* name) {
    static get_proc_address_fn real =
        reinterpret_cast<get_proc_address_fn>(dlsym(RTLD_NEXT, "glXGetProcAddress"));
    return wrap_entry_point(name, real(name));
}

} // extern "C"
