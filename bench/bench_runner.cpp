// Runs the viewer and the bare loop in turn (viewer, bare, viewer, bare...)
// on the X display of $DISPLAY and prints the median figures and ratios:
//   frame rate with F5 up, rebuilds per second with F5 held (the bare loop
//   rebuilding every frame), resident memory growth over the held-F5
//   rebuilds, time from start to the first presented frame.
// Frames and links are counted by the swap hook (LD_PRELOAD); F5 is held
// with XTest. Figures only: nothing here passes or fails on time.
//
//   qo_bench_runner --viewer PATH --bare PATH --hook PATH --shaders DIR
//                   [--pairs N] [--seconds S] [--rebuilds N] [--only frames|rebuilds]
#include "bench_counters.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr int max_pairs = 50;
constexpr double start_deadline_s = 60.0;
constexpr double rebuild_deadline_s = 300.0;
constexpr double exit_deadline_s = 30.0;

struct {
    const char* viewer;
    const char* bare;
    const char* hook;
    const char* shaders;
    int pairs;
    double seconds;
    int rebuilds;
    bool frames; // measure the F5-up runs
    bool held;   // measure the F5-held runs
} options = {nullptr, nullptr, nullptr, nullptr, 5, 2.0, 1000, true, true};

// What one run of one program measured.
struct run_figures {
    double startup_ms;
    double frames_per_s;
    double rebuilds_per_s;
    double rss_growth_kib;
};

Display* display = nullptr;
KeyCode f5_keycode = 0;
char shared_path[] = "/tmp/qo-bench-XXXXXX";
bench_counters* counters = nullptr;

int64_t monotonic_ns(void) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void sleep_s(double seconds) {
    timespec span;
    span.tv_sec = static_cast<time_t>(seconds);
    span.tv_nsec = static_cast<long>((seconds - static_cast<double>(span.tv_sec)) * 1e9);
    while (nanosleep(&span, &span) != 0 && errno == EINTR) {
    }
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "qo_bench_runner: %s\n", what);
    std::exit(1);
}

void map_shared_counters(void) {
    int fd = mkstemp(shared_path);
    if (fd < 0 || ftruncate(fd, sizeof(bench_counters)) != 0) {
        fail("cannot create the shared counter file");
    }
    void* memory = mmap(nullptr, sizeof(bench_counters), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (memory == MAP_FAILED) {
        fail("cannot map the shared counter file");
    }
    counters = static_cast<bench_counters*>(memory);
}

void reset_counters(void) {
    counters->swaps.store(0);
    counters->links.store(0);
    counters->quit_after.store(0);
    counters->quit_sent.store(0);
}

pid_t launch(const char* program, const char* argument) {
    pid_t pid = fork();
    if (pid < 0) {
        fail("cannot fork");
    }
    if (pid == 0) {
        if (chdir(options.shaders) != 0) {
            std::perror("qo_bench_runner: chdir");
            _exit(127);
        }
        setenv("LD_PRELOAD", options.hook, 1);
        setenv(bench_shared_file_variable, shared_path, 1);
        int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, STDOUT_FILENO);
        close(null_fd);
        if (argument != nullptr) {
            execl(program, program, argument, static_cast<char*>(nullptr));
        } else {
            execl(program, program, static_cast<char*>(nullptr));
        }
        std::perror("qo_bench_runner: exec");
        _exit(127);
    }
    return pid;
}

// Waits until `count` reaches `target` or the child ends or the deadline
// passes. Returns 1 once reached.
int wait_for_count(pid_t pid, const std::atomic<uint64_t>& count, uint64_t target,
                   double deadline_s) {
    int64_t end = monotonic_ns() + static_cast<int64_t>(deadline_s * 1e9);
    while (count.load(std::memory_order_acquire) < target) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            std::fprintf(stderr, "qo_bench_runner: the program ended early (status %d)\n",
                         WIFEXITED(status) ? WEXITSTATUS(status) : -1);
            std::exit(1);
        }
        if (monotonic_ns() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            fail("timed out waiting for frames");
        }
        sleep_s(0.001);
    }
    return 1;
}

// Asks for the close through the hook and waits for a clean exit.
void finish(pid_t pid) {
    uint64_t swaps = counters->swaps.load();
    counters->quit_after.store(swaps > 0 ? swaps : 1, std::memory_order_release);
    int64_t end = monotonic_ns() + static_cast<int64_t>(exit_deadline_s * 1e9);
    for (;;) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                fail("the program did not end with status 0 after the close request");
            }
            return;
        }
        if (monotonic_ns() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            fail("the program did not end after the close request");
        }
        sleep_s(0.001);
    }
}

long resident_kib(pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        fail("cannot read the program's /proc status");
    }
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        if (std::strncmp(line, "VmRSS:", 6) == 0) {
            kib = std::strtol(line + 6, nullptr, 10);
        }
    }
    std::fclose(file);
    return kib;
}

void set_f5(bool down) {
    XTestFakeKeyEvent(display, f5_keycode, down ? True : False, CurrentTime);
    XSync(display, False);
}

// Frames per second between two swap counts, from the hook's time stamps.
double rate_between(const int64_t* times, uint64_t from, uint64_t to) {
    if (to <= from || to > bench_record_capacity) {
        return 0.0;
    }
    double span_s = static_cast<double>(times[to - 1] - times[from - 1]) / 1e9;
    return span_s > 0.0 ? static_cast<double>(to - from) / span_s : 0.0;
}

// F5 up: the time to the first frame, then the frame rate over `seconds`.
run_figures measure_frames(const char* program) {
    reset_counters();
    run_figures figures = {};
    int64_t start = monotonic_ns();
    pid_t pid = launch(program, nullptr);
    wait_for_count(pid, counters->swaps, 1, start_deadline_s);
    figures.startup_ms = static_cast<double>(counters->swap_ns[0] - start) / 1e6;
    sleep_s(0.5);
    uint64_t from = counters->swaps.load(std::memory_order_acquire);
    sleep_s(options.seconds);
    uint64_t to = counters->swaps.load(std::memory_order_acquire);
    figures.frames_per_s = rate_between(counters->swap_ns, from, to);
    finish(pid);
    return figures;
}

// F5 held for `rebuilds` links: their rate over the last nine tenths, and
// the resident memory after them (F5 released, a few frames later) minus
// before the press.
run_figures measure_rebuilds(const char* program, const char* argument) {
    reset_counters();
    run_figures figures = {};
    pid_t pid = launch(program, argument);
    wait_for_count(pid, counters->swaps, 1, start_deadline_s);
    sleep_s(0.5);
    long before = resident_kib(pid);
    uint64_t first = counters->links.load(std::memory_order_acquire);
    set_f5(true);
    uint64_t last = first + static_cast<uint64_t>(options.rebuilds);
    wait_for_count(pid, counters->links, last, rebuild_deadline_s);
    set_f5(false);
    figures.rebuilds_per_s = rate_between(counters->link_ns, first + options.rebuilds / 10, last);
    // The release reaches the program within a frame or two.
    wait_for_count(pid, counters->swaps, counters->swaps.load() + 5, start_deadline_s);
    figures.rss_growth_kib = static_cast<double>(resident_kib(pid) - before);
    finish(pid);
    return figures;
}

double median(double* values, int count) {
    std::sort(values, values + count);
    return count % 2 == 1 ? values[count / 2] : (values[count / 2 - 1] + values[count / 2]) / 2.0;
}

void parse_options(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const char* name = argv[i];
        const char* value = argv[i + 1];
        if (std::strcmp(name, "--viewer") == 0) {
            options.viewer = value;
        } else if (std::strcmp(name, "--bare") == 0) {
            options.bare = value;
        } else if (std::strcmp(name, "--hook") == 0) {
            options.hook = value;
        } else if (std::strcmp(name, "--shaders") == 0) {
            options.shaders = value;
        } else if (std::strcmp(name, "--pairs") == 0) {
            options.pairs = std::atoi(value);
        } else if (std::strcmp(name, "--seconds") == 0) {
            options.seconds = std::atof(value);
        } else if (std::strcmp(name, "--rebuilds") == 0) {
            options.rebuilds = std::atoi(value);
        } else if (std::strcmp(name, "--only") == 0) {
            options.frames = std::strcmp(value, "frames") == 0;
            options.held = std::strcmp(value, "rebuilds") == 0;
        } else {
            fail("unknown option");
        }
    }
    if (argc % 2 != 1 || options.viewer == nullptr || options.bare == nullptr ||
        options.hook == nullptr || options.shaders == nullptr || options.pairs < 1 ||
        options.pairs > max_pairs || options.seconds <= 0.0 || options.rebuilds < 10) {
        fail("usage: qo_bench_runner --viewer PATH --bare PATH --hook PATH --shaders DIR "
             "[--pairs N<=50] [--seconds S] [--rebuilds N>=10] [--only frames|rebuilds]");
    }
}

void open_x_display(void) {
    display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        fail("cannot open the display");
    }
    int event_base, error_base, major, minor;
    if (!XTestQueryExtension(display, &event_base, &error_base, &major, &minor)) {
        fail("the X server has no XTEST extension");
    }
    f5_keycode = XKeysymToKeycode(display, XK_F5);
    if (f5_keycode == 0) {
        fail("the keyboard map has no F5");
    }
}

// Prints one table row: each program's median and the median of the
// per-pair ratios viewer / bare.
void print_row(const char* name, const run_figures* viewer, const run_figures* bare,
               double run_figures::*field, const char* goal) {
    int n = options.pairs;
    double v_values[max_pairs], b_values[max_pairs], ratios[max_pairs];
    for (int i = 0; i < n; ++i) {
        v_values[i] = viewer[i].*field;
        b_values[i] = bare[i].*field;
        ratios[i] = b_values[i] > 0.0 ? v_values[i] / b_values[i] : 0.0;
    }
    std::printf("| %s | %.1f | %.1f | %.3f | %s |\n", name, median(v_values, n),
                median(b_values, n), median(ratios, n), goal);
}

} // namespace

int main(int argc, char** argv) {
    parse_options(argc, argv);
    open_x_display();
    map_shared_counters();

    run_figures viewer[max_pairs] = {};
    run_figures bare[max_pairs] = {};
    if (options.frames) {
        std::printf("F5 up, %g s per run: start to first frame, frame rate\n", options.seconds);
        for (int i = 0; i < options.pairs; ++i) {
            run_figures v = measure_frames(options.viewer);
            run_figures b = measure_frames(options.bare);
            viewer[i].startup_ms = v.startup_ms;
            viewer[i].frames_per_s = v.frames_per_s;
            bare[i].startup_ms = b.startup_ms;
            bare[i].frames_per_s = b.frames_per_s;
            std::printf("  pair %d: viewer %7.1f ms %8.1f fps | bare %7.1f ms %8.1f fps\n", i + 1,
                        v.startup_ms, v.frames_per_s, b.startup_ms, b.frames_per_s);
            std::fflush(stdout);
        }
    }
    if (options.held) {
        std::printf("F5 held for %d rebuilds: rebuild rate, resident memory growth\n",
                    options.rebuilds);
        for (int i = 0; i < options.pairs; ++i) {
            run_figures v = measure_rebuilds(options.viewer, nullptr);
            run_figures b = measure_rebuilds(options.bare, "--rebuild");
            viewer[i].rebuilds_per_s = v.rebuilds_per_s;
            viewer[i].rss_growth_kib = v.rss_growth_kib;
            bare[i].rebuilds_per_s = b.rebuilds_per_s;
            bare[i].rss_growth_kib = b.rss_growth_kib;
            std::printf("  pair %d: viewer %7.1f /s %6.0f KiB | bare %7.1f /s %6.0f KiB\n", i + 1,
                        v.rebuilds_per_s, v.rss_growth_kib, b.rebuilds_per_s, b.rss_growth_kib);
            std::fflush(stdout);
        }
    }
    unlink(shared_path);

    std::printf("\n| measure (median of %d pairs) | viewer | bare loop | viewer / bare | goal |\n",
                options.pairs);
    std::printf("|---|---:|---:|---:|---|\n");
    if (options.frames) {
        print_row("frames per second, F5 up", viewer, bare, &run_figures::frames_per_s,
                  "ratio >= 0.99");
    }
    if (options.held) {
        print_row("rebuilds per second, F5 held", viewer, bare, &run_figures::rebuilds_per_s,
                  "ratio >= 0.98");
        char name[96];
        std::snprintf(name, sizeof name, "resident memory after %d rebuilds minus before (KiB)",
                      options.rebuilds);
        print_row(name, viewer, bare, &run_figures::rss_growth_kib, "viewer < 2048 KiB");
    }
    if (options.frames) {
        print_row("start to first frame (ms)", viewer, bare, &run_figures::startup_ms,
                  "ratio <= 1.05");
        double fps[max_pairs];
        for (int i = 0; i < options.pairs; ++i) {
            fps[i] = viewer[i].frames_per_s;
        }
        double viewer_fps = median(fps, options.pairs);
        std::printf("\nswap: the viewer asks for 1 refresh per swap and runs at %.0f fps: %s\n",
                    viewer_fps, viewer_fps > 120.0 ? "not throttled" : "throttled");
    }
    return 0;
}
