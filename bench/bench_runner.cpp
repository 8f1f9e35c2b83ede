// Measures the viewer against the bare loop on the X display of $DISPLAY,
// in pairs: in each pair both are started one after the other (each stopped
// at its first frame), then run in turn, viewer, bare, viewer, bare... in
// slices of 0.2 s, one stopped with SIGSTOP while the other runs, so that
// the machine's other load falls on both alike. Prints the medians of:
//   frame rate with F5 up; rebuilds per second with F5 held (the bare loop
//   rebuilding every frame); resident memory after the held-F5 rebuilds
//   minus before; time from start to the first presented frame.
// Frames and links are counted by the swap hook (LD_PRELOAD); F5 is held
// with XTest. Figures only: nothing here passes or fails on time.
//
//   qo_bench_runner --viewer PATH --bare PATH --hook PATH --shaders DIR
//                   [--pairs N] [--starts N] [--seconds S] [--rebuilds N]
//                   [--server-pid PID] [--only starts|frames|rebuilds]
//                   [--viewer-arg ARG]...   (up to 4, e.g. --viewer-arg --watch)
#include "bench_counters.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <dirent.h>
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
// The two programs take turns in slices this long, each stopped (SIGSTOP)
// while the other runs, so that the machine's other load falls on both.
constexpr double slice_s = 0.2;
// The bare loop's window sits beside the viewer's, both fully visible.
constexpr const char* bare_window_x = "900";

struct {
    const char* viewer;
    const char* bare;
    const char* hook;
    const char* shaders;
    int pairs;  // of runs with F5 up, and of runs with F5 held
    int starts; // of start-ups alone
    double seconds;
    int rebuilds;
    bool starts_on;   // measure the start-ups
    bool frames_on;   // measure the F5-up runs
    bool held_on;     // measure the F5-held runs
    pid_t server_pid; // the X server's, for its CPU time; 0 leaves it out
    // The viewer's own arguments (--viewer-arg), null-terminated.
    const char* viewer_arguments[5];
    int viewer_argument_count;
} options = {nullptr, nullptr, nullptr, nullptr, 5, 15, 2.0, 1000, true, true, true, 0, {}, 0};

// What one pair measured, for one of its two programs.
struct run_figures {
    double startup_ms;
    double startup_cpu_ms; // the program's CPU time up to its first frame
    double frames_per_s;
    double rebuilds_per_s;
    double rss_growth_kib;
    double cpu_ms_per_frame;   // the program's threads and the X server's
    double cpu_ms_per_rebuild; // the same while F5 is held
};

// One program under measure: its process, the counters its hook writes, and
// what its slices counted.
struct program_run {
    const char* name;
    pid_t pid;
    char shared_path[32];
    bench_counters* counters;
    uint64_t counted;     // frames or links within the slices
    int64_t counted_ns;   // the time they took
    uint64_t cpu_counted; // frames or links from each slice's start to its end
    int64_t cpu_ns;       // the CPU time of the program and the X server then
};

Display* display = nullptr;
KeyCode f5_keycode = 0;
program_run viewer_run = {"viewer", 0, "/tmp/qo-bench-viewer-XXXXXX", nullptr, 0, 0, 0, 0};
program_run bare_run = {"bare loop", 0, "/tmp/qo-bench-bare-XXXXXX", nullptr, 0, 0, 0, 0};

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

void end_runs(void);

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "qo_bench_runner: %s\n", what);
    end_runs();
    std::exit(1);
}

// Ends whatever is still running (on failure only).
void end_runs(void) {
    program_run* runs[] = {&viewer_run, &bare_run};
    for (program_run* run : runs) {
        if (run->pid > 0) {
            kill(run->pid, SIGKILL);
            waitpid(run->pid, nullptr, 0);
            run->pid = 0;
        }
        if (run->counters != nullptr) {
            unlink(run->shared_path);
        }
    }
}

void map_shared_counters(program_run* run) {
    int fd = mkstemp(run->shared_path);
    if (fd < 0 || ftruncate(fd, sizeof(bench_counters)) != 0) {
        fail("cannot create a shared counter file");
    }
    void* memory = mmap(nullptr, sizeof(bench_counters), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (memory == MAP_FAILED) {
        fail("cannot map a shared counter file");
    }
    run->counters = static_cast<bench_counters*>(memory);
}

// Waits until `count` reaches `target` or the program ends or the deadline
// passes.
void wait_for_count(program_run* run, const std::atomic<uint64_t>& count, uint64_t target,
                    double deadline_s) {
    int64_t end = monotonic_ns() + static_cast<int64_t>(deadline_s * 1e9);
    while (count.load(std::memory_order_acquire) < target) {
        int status = 0;
        if (waitpid(run->pid, &status, WNOHANG) == run->pid) {
            run->pid = 0;
            std::fprintf(stderr, "qo_bench_runner: the %s ended early (status %d)\n", run->name,
                         WIFEXITED(status) ? WEXITSTATUS(status) : -1);
            fail("a program under measure failed");
        }
        if (monotonic_ns() > end) {
            fail("timed out waiting for frames");
        }
        sleep_s(0.0005);
    }
}

void stop(program_run* run) {
    kill(run->pid, SIGSTOP);
    int status = 0;
    if (waitpid(run->pid, &status, WUNTRACED) != run->pid || !WIFSTOPPED(status)) {
        fail("a program under measure did not stop");
    }
}

// Starts the program, waits for its first frame and stops it there. Sets the
// time from the fork to the end of the first glXSwapBuffers and the CPU time
// the program had used then, when `figures` is given.
void launch(program_run* run, const char* program, const char* const* arguments,
            run_figures* figures) {
    bench_counters* counters = run->counters;
    counters->swaps.store(0);
    counters->links.store(0);
    counters->quit_after.store(0);
    counters->quit_sent.store(0);
    counters->first_swap_cpu_ns.store(0);
    const char* argv[8] = {program};
    for (int i = 0; i < 6 && arguments[i] != nullptr; ++i) {
        argv[i + 1] = arguments[i];
    }
    int64_t start = monotonic_ns();
    run->pid = fork();
    if (run->pid < 0) {
        fail("cannot fork");
    }
    if (run->pid == 0) {
        if (chdir(options.shaders) != 0) {
            std::perror("qo_bench_runner: chdir");
            _exit(127);
        }
        setenv("LD_PRELOAD", options.hook, 1);
        setenv(bench_shared_file_variable, run->shared_path, 1);
        int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, STDOUT_FILENO);
        close(null_fd);
        execv(program, const_cast<char* const*>(argv));
        std::perror("qo_bench_runner: exec");
        _exit(127);
    }
    wait_for_count(run, counters->swaps, 1, start_deadline_s);
    stop(run);
    if (figures != nullptr) {
        figures->startup_ms = static_cast<double>(counters->swap_ns[0] - start) / 1e6;
        figures->startup_cpu_ms = static_cast<double>(counters->first_swap_cpu_ns.load()) / 1e6;
    }
}

// The CPU time all threads of `pid` have run, from the scheduler's
// statistics (nanoseconds). 0 for pid 0.
int64_t cpu_time_ns(pid_t pid) {
    if (pid <= 0) {
        return 0;
    }
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/task", static_cast<int>(pid));
    DIR* tasks = opendir(path);
    if (tasks == nullptr) {
        fail("cannot list a program's threads");
    }
    int64_t total = 0;
    while (dirent* task = readdir(tasks)) {
        if (task->d_name[0] == '.') {
            continue;
        }
        char stat_path[384];
        std::snprintf(stat_path, sizeof stat_path, "%s/%s/schedstat", path, task->d_name);
        FILE* file = std::fopen(stat_path, "r");
        long long on_cpu = 0;
        if (file != nullptr) {
            if (std::fscanf(file, "%lld", &on_cpu) != 1) {
                on_cpu = 0;
            }
            std::fclose(file);
        }
        total += on_cpu;
    }
    closedir(tasks);
    return total;
}

// Lets the program run for about `seconds` and adds what `count` counted
// (the frames or the links) from its second new event on, so that the one
// interrupted by the stop is not counted.
void run_slice(program_run* run, const std::atomic<uint64_t>& count, const int64_t* times,
               double seconds, bool accumulate) {
    uint64_t stopped_at = count.load(std::memory_order_acquire);
    int64_t cpu_before = cpu_time_ns(run->pid) + cpu_time_ns(options.server_pid);
    kill(run->pid, SIGCONT);
    uint64_t resumed = count.load(std::memory_order_acquire);
    wait_for_count(run, count, resumed + 2, start_deadline_s);
    uint64_t from = count.load(std::memory_order_acquire);
    sleep_s(seconds);
    uint64_t to = count.load(std::memory_order_acquire);
    stop(run);
    if (accumulate && to > from && to <= bench_record_capacity) {
        run->counted += to - from;
        run->counted_ns += times[to - 1] - times[from - 1];
        run->cpu_counted += count.load(std::memory_order_acquire) - stopped_at;
        run->cpu_ns += cpu_time_ns(run->pid) + cpu_time_ns(options.server_pid) - cpu_before;
    }
}

// Milliseconds of CPU per counted event over the slices since the last call.
double counted_cpu_ms(program_run* run) {
    double ms = run->cpu_counted > 0
                    ? static_cast<double>(run->cpu_ns) / 1e6 / static_cast<double>(run->cpu_counted)
                    : 0.0;
    run->cpu_counted = 0;
    run->cpu_ns = 0;
    return ms;
}

double counted_rate(program_run* run) {
    double rate = run->counted_ns > 0 ? static_cast<double>(run->counted) * 1e9 /
                                            static_cast<double>(run->counted_ns)
                                      : 0.0;
    run->counted = 0;
    run->counted_ns = 0;
    return rate;
}

// Asks for the close through the hook and waits for a clean exit.
void finish(program_run* run) {
    uint64_t swaps = run->counters->swaps.load();
    run->counters->quit_after.store(swaps > 0 ? swaps : 1, std::memory_order_release);
    kill(run->pid, SIGCONT);
    int64_t end = monotonic_ns() + static_cast<int64_t>(exit_deadline_s * 1e9);
    for (;;) {
        int status = 0;
        if (waitpid(run->pid, &status, WNOHANG) == run->pid) {
            run->pid = 0;
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                fail("a program did not end with status 0 after the close request");
            }
            return;
        }
        if (monotonic_ns() > end) {
            fail("a program did not end after the close request");
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

const char* const bare_arguments[] = {"--x", bare_window_x, nullptr};
const char* const bare_rebuild_arguments[] = {"--x", bare_window_x, "--rebuild", nullptr};

// Each program's start to its first frame, the other one not running.
void measure_startup(run_figures* viewer, run_figures* bare) {
    launch(&viewer_run, options.viewer, options.viewer_arguments, viewer);
    finish(&viewer_run);
    launch(&bare_run, options.bare, bare_arguments, bare);
    finish(&bare_run);
}

// F5 up: the frame rates in alternating slices.
void measure_frames(run_figures* viewer, run_figures* bare) {
    launch(&viewer_run, options.viewer, options.viewer_arguments, nullptr);
    launch(&bare_run, options.bare, bare_arguments, nullptr);
    run_slice(&viewer_run, viewer_run.counters->swaps, viewer_run.counters->swap_ns, 0.3, false);
    run_slice(&bare_run, bare_run.counters->swaps, bare_run.counters->swap_ns, 0.3, false);
    int slices = static_cast<int>(options.seconds / slice_s + 0.5);
    for (int i = 0; i < slices; ++i) {
        run_slice(&viewer_run, viewer_run.counters->swaps, viewer_run.counters->swap_ns, slice_s,
                  true);
        run_slice(&bare_run, bare_run.counters->swaps, bare_run.counters->swap_ns, slice_s, true);
    }
    viewer->frames_per_s = counted_rate(&viewer_run);
    bare->frames_per_s = counted_rate(&bare_run);
    viewer->cpu_ms_per_frame = counted_cpu_ms(&viewer_run);
    bare->cpu_ms_per_frame = counted_cpu_ms(&bare_run);
    if (viewer_run.counters->links.load() != 1 || bare_run.counters->links.load() != 1) {
        fail("a program rebuilt with F5 up");
    }
    finish(&viewer_run);
    finish(&bare_run);
}

// F5 held until the viewer made `rebuilds` links, in alternating slices with
// the bare loop rebuilding every frame: their link rates, and each one's
// resident memory after those slices minus before.
void measure_rebuilds(run_figures* viewer, run_figures* bare) {
    launch(&viewer_run, options.viewer, options.viewer_arguments, nullptr);
    launch(&bare_run, options.bare, bare_rebuild_arguments, nullptr);
    bench_counters* v = viewer_run.counters;
    bench_counters* b = bare_run.counters;
    run_slice(&viewer_run, v->swaps, v->swap_ns, 0.3, false);
    run_slice(&bare_run, b->swaps, b->swap_ns, 0.3, false);
    long viewer_before = resident_kib(viewer_run.pid);
    long bare_before = resident_kib(bare_run.pid);
    uint64_t last = v->links.load() + static_cast<uint64_t>(options.rebuilds);
    set_f5(true);
    int64_t end = monotonic_ns() + static_cast<int64_t>(rebuild_deadline_s * 1e9);
    while (v->links.load() < last) {
        run_slice(&viewer_run, v->links, v->link_ns, slice_s, true);
        run_slice(&bare_run, b->links, b->link_ns, slice_s, true);
        if (monotonic_ns() > end) {
            fail("timed out waiting for the rebuilds");
        }
    }
    set_f5(false);
    viewer->rebuilds_per_s = counted_rate(&viewer_run);
    bare->rebuilds_per_s = counted_rate(&bare_run);
    viewer->cpu_ms_per_rebuild = counted_cpu_ms(&viewer_run);
    bare->cpu_ms_per_rebuild = counted_cpu_ms(&bare_run);
    // The release reaches the viewer within a frame or two; after it, no
    // more rebuilds.
    kill(viewer_run.pid, SIGCONT);
    wait_for_count(&viewer_run, v->swaps, v->swaps.load() + 5, start_deadline_s);
    viewer->rss_growth_kib = static_cast<double>(resident_kib(viewer_run.pid) - viewer_before);
    bare->rss_growth_kib = static_cast<double>(resident_kib(bare_run.pid) - bare_before);
    uint64_t links = v->links.load();
    wait_for_count(&viewer_run, v->swaps, v->swaps.load() + 20, start_deadline_s);
    if (v->links.load() != links) {
        fail("the viewer went on rebuilding after F5 was released");
    }
    finish(&viewer_run);
    finish(&bare_run);
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
        } else if (std::strcmp(name, "--starts") == 0) {
            options.starts = std::atoi(value);
        } else if (std::strcmp(name, "--seconds") == 0) {
            options.seconds = std::atof(value);
        } else if (std::strcmp(name, "--server-pid") == 0) {
            options.server_pid = static_cast<pid_t>(std::atoi(value));
        } else if (std::strcmp(name, "--rebuilds") == 0) {
            options.rebuilds = std::atoi(value);
        } else if (std::strcmp(name, "--viewer-arg") == 0 && options.viewer_argument_count < 4) {
            options.viewer_arguments[options.viewer_argument_count++] = value;
        } else if (std::strcmp(name, "--only") == 0) {
            options.starts_on = std::strcmp(value, "starts") == 0;
            options.frames_on = std::strcmp(value, "frames") == 0;
            options.held_on = std::strcmp(value, "rebuilds") == 0;
        } else {
            fail("unknown option");
        }
    }
    if (argc % 2 != 1 || options.viewer == nullptr || options.bare == nullptr ||
        options.hook == nullptr || options.shaders == nullptr || options.pairs < 1 ||
        options.pairs > max_pairs || options.starts < 1 || options.starts > max_pairs ||
        options.seconds <= 0.0 || options.rebuilds < 10) {
        fail("usage: qo_bench_runner --viewer PATH --bare PATH --hook PATH --shaders DIR "
             "[--pairs N<=50] [--seconds S] [--rebuilds N>=10] [--only frames|rebuilds] "
             "[--viewer-arg ARG]...");
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

// Prints one table row over `n` pairs: each program's median and the median
// of the per-pair ratios viewer / bare.
void print_row(const char* name, int n, const run_figures* viewer, const run_figures* bare,
               double run_figures::*field, const char* goal) {
    double v_values[max_pairs], b_values[max_pairs], ratios[max_pairs];
    for (int i = 0; i < n; ++i) {
        v_values[i] = viewer[i].*field;
        b_values[i] = bare[i].*field;
        ratios[i] = b_values[i] > 0.0 ? v_values[i] / b_values[i] : 0.0;
    }
    std::printf("| %s | %d | %.4g | %.4g | %.3f | %s |\n", name, n, median(v_values, n),
                median(b_values, n), median(ratios, n), goal);
}

} // namespace

int main(int argc, char** argv) {
    parse_options(argc, argv);
    open_x_display();
    map_shared_counters(&viewer_run);
    map_shared_counters(&bare_run);

    run_figures viewer_starts[max_pairs] = {};
    run_figures bare_starts[max_pairs] = {};
    run_figures viewer[max_pairs] = {};
    run_figures bare[max_pairs] = {};
    if (options.starts_on) {
        std::printf("start to first frame, wall time and the program's CPU time:\n");
        for (int i = 0; i < options.starts; ++i) {
            measure_startup(&viewer_starts[i], &bare_starts[i]);
            std::printf("  pair %2d: viewer %6.1f ms %6.1f ms CPU | bare %6.1f ms %6.1f ms CPU\n",
                        i + 1, viewer_starts[i].startup_ms, viewer_starts[i].startup_cpu_ms,
                        bare_starts[i].startup_ms, bare_starts[i].startup_cpu_ms);
            std::fflush(stdout);
        }
    }
    if (options.frames_on) {
        std::printf("F5 up, %g s each in slices of %g s: frame rate, CPU per frame:\n",
                    options.seconds, slice_s);
        for (int i = 0; i < options.pairs; ++i) {
            run_figures* v = &viewer[i];
            run_figures* b = &bare[i];
            measure_frames(v, b);
            std::printf("  pair %d: viewer %7.1f fps %6.3f ms CPU | bare %7.1f fps %6.3f ms CPU\n",
                        i + 1, v->frames_per_s, v->cpu_ms_per_frame, b->frames_per_s,
                        b->cpu_ms_per_frame);
            std::fflush(stdout);
        }
    }
    if (options.held_on) {
        std::printf("F5 held for %d rebuilds: rebuild rate, CPU per rebuild, resident memory "
                    "growth:\n",
                    options.rebuilds);
        for (int i = 0; i < options.pairs; ++i) {
            run_figures* v = &viewer[i];
            run_figures* b = &bare[i];
            measure_rebuilds(v, b);
            std::printf("  pair %d: viewer %6.1f /s %6.3f ms CPU %5.0f KiB | bare %6.1f /s %6.3f "
                        "ms CPU %5.0f KiB\n",
                        i + 1, v->rebuilds_per_s, v->cpu_ms_per_rebuild, v->rss_growth_kib,
                        b->rebuilds_per_s, b->cpu_ms_per_rebuild, b->rss_growth_kib);
            std::fflush(stdout);
        }
    }
    end_runs();

    std::printf("\n| measure (medians) | pairs | viewer | bare loop | viewer / bare | goal |\n");
    std::printf("|---|---:|---:|---:|---:|---|\n");
    int n = options.pairs;
    if (options.frames_on) {
        print_row("frames per second, F5 up", n, viewer, bare, &run_figures::frames_per_s,
                  "ratio >= 0.99");
        print_row("CPU ms per frame (program + X server)", n, viewer, bare,
                  &run_figures::cpu_ms_per_frame, "");
    }
    if (options.held_on) {
        print_row("rebuilds per second, F5 held", n, viewer, bare, &run_figures::rebuilds_per_s,
                  "ratio >= 0.98");
        print_row("CPU ms per rebuild (program + X server)", n, viewer, bare,
                  &run_figures::cpu_ms_per_rebuild, "");
        char name[96];
        std::snprintf(name, sizeof name, "resident memory after %d rebuilds minus before (KiB)",
                      options.rebuilds);
        print_row(name, n, viewer, bare, &run_figures::rss_growth_kib, "viewer < 2048 KiB");
    }
    if (options.starts_on) {
        print_row("start to first frame (ms)", options.starts, viewer_starts, bare_starts,
                  &run_figures::startup_ms, "ratio <= 1.05");
        print_row("CPU ms to first frame (program)", options.starts, viewer_starts, bare_starts,
                  &run_figures::startup_cpu_ms, "");
    }
    if (options.frames_on) {
        double fps[max_pairs];
        for (int i = 0; i < n; ++i) {
            fps[i] = viewer[i].frames_per_s;
        }
        double viewer_fps = median(fps, n);
        std::printf("\nswap: the viewer asks for 1 refresh per swap and runs at %.0f fps: %s\n",
                    viewer_fps, viewer_fps > 120.0 ? "not throttled" : "throttled");
    }
    return 0;
}
