// The viewer stopped from outside while its standard output goes to a file or
// a pipe (block-buffered): the process ends the way the stop request ends it,
// at once however long the frame under way takes, and every build it made is
// in its output, whole. Built for Linux (SIGINT, SIGTERM, SIGHUP; frames made
// ten seconds long by the slow-swap shim; a pipe nobody reads; Ctrl+C typed
// on a terminal of the test's own to `qo | tee -i`) and, with
// QO_SCENARIOS_ON_WINE, for qo.exe under Wine, which turns a SIGINT to its
// process into Ctrl+C (CTRL_C_EVENT).
// GoogleTest before the X11 headers: Xlib's macros (None, Bool) would break it.
#include <gtest/gtest.h>

#include "harness.h"

#include <X11/keysym.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

#if QO_SCENARIOS_ON_WINE
viewer_platform stop_platform() {
    return wine_platform();
}
#else
viewer_platform stop_platform() {
    return linux_platform();
}
#endif

constexpr int deadline_ms = 60000;
// How long a slow frame takes, and how soon after a stop signal the viewer
// must be gone: a coarse bound, far below the frame.
constexpr int slow_frame_ms = 10000;
constexpr int prompt_end_ms = 3000;

// What a console break ends a Windows process with (STATUS_CONTROL_C_EXIT),
// as the exit status Wine hands to its Unix parent: the low byte.
constexpr int wine_control_c_status = 0xC000013A & 0xff;

const char* const broken_pixel_shader = "void main()\n"
                                        "{\n"
                                        "    gl_FragColor = vec4(1.0) +;\n"
                                        "}\n";
// What the compiler says on stderr at each build of it (one line a build).
const char* const broken_marker = "ps.fx:3:";

[[maybe_unused]] long file_size(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 ? static_cast<long>(status.st_size) : -1;
}

int count_of(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

struct line_counts {
    int numbers = 0;
    int progs = 0;
    int incomplete = 0; // a last line without its line end
};

line_counts count_lines(const std::string& output, const std::string& line_end) {
    line_counts counts;
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find(line_end, start);
        if (end == std::string::npos) {
            counts.incomplete = 1;
            break;
        }
        std::string line = output.substr(start, end - start);
        if (line.compare(0, 5, "prog:") == 0) {
            ++counts.progs;
        } else if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos) {
            ++counts.numbers;
        }
        start = end + line_end.size();
    }
    return counts;
}

// Everything readable from `fd` until end of file (or, with `until_eof`
// false, until nothing more is there right now).
std::string drain(int fd, bool until_eof) {
    std::string bytes;
    char chunk[4096];
    for (;;) {
        struct pollfd ready = {fd, POLLIN, 0};
        if (poll(&ready, 1, until_eof ? 200 : 0) == 0) {
            if (until_eof) {
                continue;
            }
            break;
        }
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n > 0) {
            bytes.append(chunk, static_cast<size_t>(n));
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
            break;
        }
    }
    return bytes;
}

class StopSignal : public ::testing::Test {
  protected:
    void SetUp() override {
        platform_ = stop_platform();
        std::string error;
        ASSERT_TRUE(platform_ready(platform_, &error)) << error;
        ASSERT_TRUE(start_xvfb(&server_, &error)) << error;
        folder_ = make_temp_folder(platform_.name + "-stop");
        ASSERT_FALSE(folder_.empty()) << "cannot make a temporary folder";
        ASSERT_TRUE(write_file(folder_ + "/vs.fx", plain_vertex_shader()));
        ASSERT_TRUE(write_file(folder_ + "/ps.fx", clock_pixel_shader(0)));
    }

    void TearDown() override {
        if (f5_down_) {
            fake_key(server_.display, XK_F5, false);
        }
        kill_viewer(&run_);
        if (placeholder_fd_ >= 0) {
            close(placeholder_fd_);
            placeholder_fd_ = -1;
        }
        if (reader_.joinable()) {
            reader_.join();
        }
        if (pipe_fd_ >= 0) {
            close(pipe_fd_);
        }
        if (HasFailure() && run_.pid > 0) {
            std::string out = output();
            std::printf("---- the viewer's stdout (%zu bytes), its end ----\n%s\n"
                        "---- its stderr, its end ----\n%s\n----\n",
                        out.size(), out.substr(out.size() > 400 ? out.size() - 400 : 0).c_str(),
                        tail(run_stderr(run_)).c_str());
        }
        end_platform_session(platform_);
        stop_xvfb(&server_);
        remove_folder(folder_);
    }

    static std::string tail(const std::string& text) {
        return text.substr(text.size() > 400 ? text.size() - 400 : 0);
    }

    // Makes the viewer's stdout (the harness's "qo.stdout") a named pipe,
    // its reading end held here; `read_it`: a thread reads it all along,
    // else nobody reads it, and it holds one page.
    void use_a_pipe(bool read_it) {
        std::string path = folder_ + "/qo.stdout";
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0) << std::strerror(errno);
        pipe_fd_ = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(pipe_fd_, 0) << std::strerror(errno);
        piped_ = true;
        if (read_it) {
            // A writing end of the test's own until the viewer has opened
            // its: the reader sees the end of the file only once the viewer
            // is gone.
            placeholder_fd_ = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            ASSERT_GE(placeholder_fd_, 0) << std::strerror(errno);
            reader_ = std::thread([this] { piped_output_ = drain(pipe_fd_, true); });
        } else {
            ASSERT_GE(fcntl(pipe_fd_, F_SETPIPE_SZ, 4096), 0) << std::strerror(errno);
        }
    }

    // A pipe nobody reads, filled to the brim with build lines before the
    // viewer starts: no write of the viewer's can go through.
    void use_a_full_pipe() {
        ASSERT_NO_FATAL_FAILURE(use_a_pipe(false));
        int filler = open((folder_ + "/qo.stdout").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(filler, 0) << std::strerror(errno);
        const std::string line = "0\nprog:\n";
        while (write(filler, line.data(), line.size()) > 0) {
        }
        close(filler);
    }

    // The viewer's stdout: the file, or what came through the pipe.
    std::string output() {
        if (!piped_) {
            return run_stdout(run_);
        }
        if (reader_.joinable()) {
            reader_.join();
            return piped_output_;
        }
        return piped_output_ += drain(pipe_fd_, false);
    }

    // Starts the viewer (with `ignored` signals ignored from the start and
    // `extra` environment), waits for its window, focuses it and waits for
    // its first frames.
    void start_and_watch_clock(const std::vector<int>& ignored = {},
                               const std::vector<std::string>& extra = {}) {
        std::string error;
        viewer_launch launch = launch_for(platform_, server_.name, folder_, extra);
        launch.ignored_signals = ignored;
        ASSERT_TRUE(start_viewer(launch, &run_, &error)) << error;
        ASSERT_TRUE(find_viewer_area(server_.display, platform_, deadline_ms, &area_, &error))
            << error << "\nstderr: " << run_stderr(run_);
        if (placeholder_fd_ >= 0) {
            close(placeholder_fd_); // the viewer's stdout is open by now
            placeholder_fd_ = -1;
        }
        ASSERT_TRUE(focus_window(server_.display, area_.window, deadline_ms));
        ASSERT_GE(wait_for_clock(server_.display, area_, 0, 1, deadline_ms).frame, 0)
            << "the viewer drew no frame";
    }

    // Breaks ps.fx and holds F5: every frame rebuilds, and each failed
    // build says so on stderr (unbuffered), which counts the builds made.
    // The clock goes on: the first program keeps drawing.
    void rebuild_broken_every_frame() {
        ASSERT_TRUE(write_file(folder_ + "/ps.fx", broken_pixel_shader));
        ASSERT_TRUE(fake_key(server_.display, XK_F5, true));
        f5_down_ = true;
    }

    // Waits until stderr tells of `builds` failed builds.
    void wait_for_failed_builds(int builds) {
        bool made = poll_until(
            [&] {
                return count_of(run_stderr(run_), broken_marker) >= builds || has_exited(&run_);
            },
            deadline_ms);
        ASSERT_TRUE(made && !run_.exited) << "the viewer made too few builds, or ended";
    }

    void release_f5() {
        if (f5_down_) {
            EXPECT_TRUE(fake_key(server_.display, XK_F5, false));
            f5_down_ = false;
        }
    }

    // Sends the signal and expects the viewer gone within prompt_end_ms.
    void stop_promptly(int number) {
        ASSERT_EQ(kill(run_.pid, number), 0);
        bool ended = wait_for_exit(&run_, prompt_end_ms);
        release_f5();
        ASSERT_TRUE(ended) << "the viewer did not end within " << prompt_end_ms
                           << " ms of the signal: killed";
    }

    void expect_ended_by(int number) {
        if (platform_.wine) {
            EXPECT_EQ(run_.signal, 0);
            EXPECT_EQ(run_.status, wine_control_c_status)
                << "not the exit code of a console break (STATUS_CONTROL_C_EXIT)";
        } else {
            EXPECT_EQ(run_.signal, number) << "exit status " << run_.status;
        }
    }

    // The output: complete lines only, a prog: line for every number, and
    // one build for the first and for each failed one that stderr tells of;
    // `one_under_way`: less the one whose compile log was on stderr when the
    // stop came (Windows: the console handler runs beside the main thread).
    void expect_every_build_whole(const std::string& out, bool one_under_way = false) {
        line_counts counts = count_lines(out, platform_.line_end);
        EXPECT_EQ(counts.incomplete, 0) << "the output ends in the middle of a line";
        EXPECT_EQ(counts.progs, counts.numbers);
        build_report report = parse_builds(out, platform_.line_end);
        EXPECT_TRUE(report.ok) << report.fault;
        int failed = count_of(run_stderr(run_), broken_marker);
        if (one_under_way) {
            EXPECT_GE(report.builds, failed) << "builds are missing";
            EXPECT_LE(report.builds, 1 + failed);
        } else {
            EXPECT_EQ(report.builds, 1 + failed) << "builds are missing";
        }
        std::printf("%d builds written, %d bytes\n", report.builds, static_cast<int>(out.size()));
    }

    viewer_platform platform_;
    xvfb_server server_;
    std::string folder_;
    viewer_run run_;
    viewer_area area_;
    bool f5_down_ = false;
    bool piped_ = false;
    int pipe_fd_ = -1;
    int placeholder_fd_ = -1;
    std::thread reader_;
    std::string piped_output_;
};

#if !QO_SCENARIOS_ON_WINE

// LD_PRELOAD with `shim` added to what the test was given (the sanitizer
// run preloads the GL driver).
std::string with_shim(const char* shim) {
    const char* given = std::getenv("LD_PRELOAD");
    std::string preload = shim;
    if (given != nullptr && given[0] != '\0') {
        preload += std::string(" ") + given;
    }
    return preload;
}

std::string with_slow_swap_shim() {
    return with_shim(QO_SLOW_SWAP_SHIM_PATH);
}

// The environment of a viewer whose frames take slow_frame_ms once the file
// `slow` exists; `asleep` appears while a slow frame sleeps.
std::vector<std::string> slow_frames(const std::string& slow, const std::string& asleep) {
    return {"LD_PRELOAD=" + with_slow_swap_shim(),
            "QO_SLOW_SWAP_MS=" + std::to_string(slow_frame_ms), "QO_SLOW_SWAP_WHEN=" + slow,
            "QO_SLOW_SWAP_ASLEEP=" + asleep};
}

enum class output_kind { file, pipe, unread_pipe };

struct stop_case {
    const char* name;
    int signal;
    output_kind output;
};

class StopsBySignal : public StopSignal, public ::testing::WithParamInterface<stop_case> {};

// F5 held over a few hundred fast frames (more build lines than one block
// holds), then the frames turn ten seconds long; the signal comes in the
// first of them, F5 still held.
TEST_P(StopsBySignal, InALongFrameEndsByItAtOnceWithEveryBuildWhole) {
    const stop_case& c = GetParam();
    if (c.output != output_kind::file) {
        ASSERT_NO_FATAL_FAILURE(use_a_pipe(c.output == output_kind::pipe));
    }
    const std::string slow = folder_ + "/slow";
    const std::string asleep = folder_ + "/asleep";
    ASSERT_NO_FATAL_FAILURE(start_and_watch_clock({}, slow_frames(slow, asleep)));
    ASSERT_NO_FATAL_FAILURE(rebuild_broken_every_frame());
    if (c.output == output_kind::unread_pipe) {
        // The page fills, then the block: the viewer waits in its write for
        // a reader that never comes, as long as a frame can be.
        ASSERT_NO_FATAL_FAILURE(wait_for_failed_builds(20));
        int last = -1;
        bool stalled = poll_until(
            [&] {
                int now = count_of(run_stderr(run_), broken_marker);
                bool same = now == last;
                last = now;
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
                return same;
            },
            deadline_ms);
        ASSERT_TRUE(stalled) << "the viewer went on building with its stdout full";
    } else {
        ASSERT_NO_FATAL_FAILURE(wait_for_failed_builds(300));
        ASSERT_TRUE(write_file(slow, ""));
        ASSERT_TRUE(poll_until([&] { return file_size(asleep) >= 0; }, deadline_ms))
            << "no slow frame began";
        if (c.output == output_kind::file) {
            EXPECT_GT(file_size(folder_ + "/qo.stdout"), 0) << "no block went out before the stop";
        }
    }
    ASSERT_NO_FATAL_FAILURE(stop_promptly(c.signal));
    expect_ended_by(c.signal);

    std::string out = output();
    if (c.output == output_kind::unread_pipe) {
        // What the pipe took: whole lines, the first builds in order.
        line_counts counts = count_lines(out, platform_.line_end);
        EXPECT_EQ(counts.incomplete, 0) << "the pipe holds half a line";
        EXPECT_GT(counts.numbers, 0);
        EXPECT_LE(out.size(), 4096u);
    } else {
        expect_every_build_whole(out);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Signals, StopsBySignal,
    ::testing::Values(stop_case{"sigint_file", SIGINT, output_kind::file},
                      stop_case{"sigterm_file", SIGTERM, output_kind::file},
                      stop_case{"sighup_file", SIGHUP, output_kind::file},
                      stop_case{"sigint_pipe", SIGINT, output_kind::pipe},
                      stop_case{"sigterm_pipe", SIGTERM, output_kind::pipe},
                      stop_case{"sighup_pipe", SIGHUP, output_kind::pipe},
                      stop_case{"sigint_unread_pipe", SIGINT, output_kind::unread_pipe},
                      stop_case{"sigterm_unread_pipe", SIGTERM, output_kind::unread_pipe},
                      stop_case{"sighup_unread_pipe", SIGHUP, output_kind::unread_pipe}),
    [](const ::testing::TestParamInfo<stop_case>& info) { return std::string(info.param.name); });

// The stop signal lands after the output path decided to write its first
// block and before the write began (the stop-race shim sends it from inside
// write(), every time), F5 held with a broken shader. Into a file the write
// goes through and the stop writes the rest; into a pipe the test filled and
// nobody reads, the write can never go through: either way the viewer ends
// by the signal within the prompt bound, not at a second signal.
class StopRace : public StopSignal, public ::testing::WithParamInterface<output_kind> {};

TEST_P(StopRace, ASignalJustBeforeAWriteEndsItPromptly) {
    const output_kind output = GetParam();
    if (output == output_kind::unread_pipe) {
        ASSERT_NO_FATAL_FAILURE(use_a_full_pipe());
    }
    const std::string sent = folder_ + "/sent";
    ASSERT_NO_FATAL_FAILURE(start_and_watch_clock(
        {}, {"LD_PRELOAD=" + with_shim(QO_STOP_RACE_SHIM_PATH),
             "QO_STOP_RACE_SIGNAL=" + std::to_string(SIGTERM), "QO_STOP_RACE_SENT=" + sent}));
    ASSERT_NO_FATAL_FAILURE(rebuild_broken_every_frame());
    ASSERT_TRUE(poll_until([&] { return file_size(sent) >= 0 || has_exited(&run_); }, deadline_ms))
        << "the viewer wrote no block";
    bool ended = wait_for_exit(&run_, prompt_end_ms);
    release_f5();
    ASSERT_TRUE(ended) << "the viewer did not end within " << prompt_end_ms
                       << " ms of a signal sent just before a write: killed";
    expect_ended_by(SIGTERM);
    if (output == output_kind::file) {
        // Builds made after the stop came are not written.
        std::string out = run_stdout(run_);
        line_counts counts = count_lines(out, platform_.line_end);
        EXPECT_EQ(counts.incomplete, 0);
        EXPECT_EQ(counts.progs, counts.numbers);
        build_report report = parse_builds(out, platform_.line_end);
        EXPECT_TRUE(report.ok) << report.fault;
        EXPECT_GE(report.builds, 2);
    }
}

INSTANTIATE_TEST_SUITE_P(BeforeTheFirstWrite, StopRace,
                         ::testing::Values(output_kind::file, output_kind::unread_pipe),
                         [](const ::testing::TestParamInfo<output_kind>& info) {
                             return std::string(info.param == output_kind::file ? "file"
                                                                                : "unread_pipe");
                         });

// Standard output is a pipe that nobody reads, full before the viewer
// starts; F5 held, builds wait in the viewer's block (too few to fill it, so
// no write of the main thread is under way) when SIGTERM comes in a long
// frame. The stop must find the pipe takes nothing and end by the signal at
// once: a stop that waited for room would wait for ever.
TEST_F(StopSignal, NeverWaitsForAReaderOfAFullPipe) {
    ASSERT_NO_FATAL_FAILURE(use_a_full_pipe());
    const std::string slow = folder_ + "/slow";
    const std::string asleep = folder_ + "/asleep";
    ASSERT_NO_FATAL_FAILURE(start_and_watch_clock({}, slow_frames(slow, asleep)));
    ASSERT_NO_FATAL_FAILURE(rebuild_broken_every_frame());
    ASSERT_NO_FATAL_FAILURE(wait_for_failed_builds(2));
    ASSERT_TRUE(write_file(slow, ""));
    ASSERT_TRUE(poll_until([&] { return file_size(asleep) >= 0; }, deadline_ms))
        << "no slow frame began";
    // A failed build's two lines take some 60 bytes of the 4096-byte block.
    int pending = count_of(run_stderr(run_), broken_marker);
    ASSERT_LT(pending, 40) << "the block may have filled: the main thread would be in a write";
    ASSERT_NO_FATAL_FAILURE(stop_promptly(SIGTERM));
    expect_ended_by(SIGTERM);
    std::printf("%d builds pending at the stop\n", 1 + pending);
}

// Idle (one build, well inside the first block), each signal: ends by it
// with that build written.
TEST_F(StopSignal, IdleEndsByEachSignalWithItsOneBuild) {
    for (int number : {SIGINT, SIGTERM, SIGHUP}) {
        ASSERT_NO_FATAL_FAILURE(start_and_watch_clock());
        ASSERT_NO_FATAL_FAILURE(stop_promptly(number));
        expect_ended_by(number);
        EXPECT_EQ(run_stdout(run_),
                  run_stdout(run_).substr(0, run_stdout(run_).find('\n')) + "\nprog:\n");
        end_platform_session(platform_);
    }
}

// The X server stops answering (stopped here with SIGSTOP), so the frame
// under way never ends: the signal still ends the viewer at once, by that
// signal, with the builds written.
TEST_F(StopSignal, EndsByItWhileTheXServerDoesNotAnswer) {
    ASSERT_NO_FATAL_FAILURE(start_and_watch_clock());
    ASSERT_NO_FATAL_FAILURE(rebuild_broken_every_frame());
    ASSERT_NO_FATAL_FAILURE(wait_for_failed_builds(100));
    ASSERT_EQ(kill(server_.pid, SIGSTOP), 0);
    ASSERT_EQ(kill(run_.pid, SIGINT), 0);
    bool ended = wait_for_exit(&run_, prompt_end_ms);
    kill(server_.pid, SIGCONT);
    f5_down_ = false; // the server forgets it with the test's connection
    ASSERT_TRUE(ended) << "the viewer did not end while the X server was stopped: killed";
    EXPECT_EQ(run_.signal, SIGINT) << "exit status " << run_.status;
    expect_every_build_whole(run_stdout(run_));
}

// Started with SIGHUP ignored (nohup): it stays ignored, the viewer goes on
// and ends on a close request as usual.
TEST_F(StopSignal, IgnoredAtStartStaysIgnored) {
    ASSERT_NO_FATAL_FAILURE(start_and_watch_clock({SIGHUP}));
    ASSERT_EQ(kill(run_.pid, SIGHUP), 0);
    clock_reading now = read_clock(server_.display, area_);
    ASSERT_GE(now.frame, 0);
    EXPECT_GE(wait_for_clock(server_.display, area_, 0, now.frame + 60, deadline_ms).frame, 0)
        << "the viewer stopped drawing after the ignored SIGHUP";
    send_close_request(server_.display, area_.window);
    ASSERT_TRUE(wait_for_exit(&run_, deadline_ms)) << "the viewer did not end: killed";
    EXPECT_EQ(run_.signal, 0);
    EXPECT_EQ(run_.status, 0);
    expect_every_build_whole(run_stdout(run_));
}

// Ctrl+C typed on a terminal goes to the whole foreground process group:
// `qo | tee -i builds.log` run by a shell on a pseudo-terminal of the
// test's own, F5 held for a few hundred builds, then ^C on the terminal in
// a ten-second frame. tee -i lives on and writes what qo hands it: the
// pipeline ends at once, and the log ends with every build whole.
TEST_F(StopSignal, CtrlCOnATerminalToQoPipedIntoTeeKeepsEveryBuild) {
    std::string command = "'" + linux_viewer_path() + "' 2>qo.stderr | tee -i builds.log";
    int master = -1;
    pid_t shell = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(shell, 0) << std::strerror(errno);
    if (shell == 0) {
        if (chdir(folder_.c_str()) != 0) {
            _exit(126);
        }
        setenv("DISPLAY", server_.name.c_str(), 1);
        setenv("LD_PRELOAD", with_slow_swap_shim().c_str(), 1);
        setenv("QO_SLOW_SWAP_MS", std::to_string(slow_frame_ms).c_str(), 1);
        setenv("QO_SLOW_SWAP_WHEN", (folder_ + "/slow").c_str(), 1);
        setenv("QO_SLOW_SWAP_ASLEEP", (folder_ + "/asleep").c_str(), 1);
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    // The terminal's output is read all along, so tee never waits on it.
    std::atomic<bool> done{false};
    std::thread terminal([&] {
        while (!done.load()) {
            drain(master, false);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    run_.pid = -1;
    run_.stderr_path = folder_ + "/qo.stderr";
    std::string error;
    bool found = find_viewer_area(server_.display, platform_, deadline_ms, &area_, &error);
    EXPECT_TRUE(found) << error;
    if (found) {
        EXPECT_TRUE(focus_window(server_.display, area_.window, deadline_ms));
        EXPECT_GE(wait_for_clock(server_.display, area_, 0, 1, deadline_ms).frame, 0);
        rebuild_broken_every_frame();
        wait_for_failed_builds(300);
        EXPECT_TRUE(write_file(folder_ + "/slow", ""));
        EXPECT_TRUE(poll_until([&] { return file_size(folder_ + "/asleep") >= 0; }, deadline_ms))
            << "no slow frame began";
        char ctrl_c = 3; // the terminal's VINTR: SIGINT to its foreground group
        EXPECT_EQ(write(master, &ctrl_c, 1), 1);
    }
    int status = 0;
    bool ended =
        poll_until([&] { return waitpid(shell, &status, WNOHANG) == shell; }, prompt_end_ms);
    release_f5();
    if (!ended) {
        kill(-shell, SIGKILL);
        waitpid(shell, &status, 0);
    }
    done = true;
    terminal.join();
    close(master);
    ASSERT_TRUE(ended) << "the pipeline did not end on ^C";
    std::string log = read_file(folder_ + "/builds.log");
    EXPECT_GE(count_of(run_stderr(run_), broken_marker), 300);
    expect_every_build_whole(log);
}

#else

// Wine turns only SIGINT into a console event (Ctrl+C): idle, and in the
// middle of a storm of rebuilds (more build lines than one block holds).
TEST_F(StopSignal, CtrlCEndsWithEveryBuildWrittenWhole) {
    for (bool rebuilding : {false, true}) {
        ASSERT_NO_FATAL_FAILURE(start_and_watch_clock());
        if (rebuilding) {
            ASSERT_NO_FATAL_FAILURE(rebuild_broken_every_frame());
            ASSERT_NO_FATAL_FAILURE(wait_for_failed_builds(150));
        }
        ASSERT_NO_FATAL_FAILURE(stop_promptly(SIGINT));
        expect_ended_by(SIGINT);
        expect_every_build_whole(run_stdout(run_), rebuilding);
        end_platform_session(platform_);
        ASSERT_TRUE(write_file(folder_ + "/ps.fx", clock_pixel_shader(0)));
    }
}

// The clock shader with a loop of `rounds` per pixel: frames as slow as a
// heavy shader's on the software renderer (Wine draws with the host's).
std::string heavy_clock_shader(int tag, long rounds) {
    std::string text = clock_pixel_shader(tag);
    const std::string paint = "    gl_FragColor = ";
    text.replace(text.find(paint), paint.size(),
                 "    float acc = 0.0;\n"
                 "    for (int i = 0; i < " +
                     std::to_string(rounds) +
                     "; i++) {\n"
                     "        acc = fract(acc * 1.37 + sin(float(i) + acc));\n"
                     "    }\n"
                     "    gl_FragColor = vec4(acc * 1e-6) + ");
    return text;
}

// Ctrl+C while a frame of several seconds is under way (a heavy shader,
// sized by measuring the frame time first): the console handler writes the
// builds and ends the process without waiting for the frame.
TEST_F(StopSignal, CtrlCInALongFrameEndsAtOnceWithEveryBuild) {
    const long probe_rounds = 64;
    ASSERT_TRUE(write_file(folder_ + "/ps.fx", heavy_clock_shader(0, probe_rounds)));
    ASSERT_NO_FATAL_FAILURE(start_and_watch_clock());
    clock_reading before = read_clock(server_.display, area_);
    auto start = std::chrono::steady_clock::now();
    clock_reading after = wait_for_clock(server_.display, area_, 0, before.frame + 20, deadline_ms);
    ASSERT_GE(after.frame, 0);
    double frame_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count() /
        static_cast<double>(after.frame - before.frame);
    // Aim at frames of about slow_frame_ms: most of the frame is the loop.
    long rounds = static_cast<long>(probe_rounds * slow_frame_ms / std::max(frame_ms, 1.0));
    std::printf("%.1f ms a frame with %ld rounds: %ld rounds for the long frames\n", frame_ms,
                probe_rounds, rounds);

    ASSERT_TRUE(write_file(folder_ + "/ps.fx", heavy_clock_shader(1, rounds)));
    ASSERT_TRUE(fake_key(server_.display, XK_F5, true));
    f5_down_ = true;
    clock_reading heavy = wait_for_clock(server_.display, area_, 1, 0, deadline_ms);
    release_f5();
    ASSERT_GE(heavy.frame, 0) << "the heavy shader did not show";
    // The frame after the one that showed it has begun: it reads the key's
    // release and rebuilds (F5 was still down), then draws for seconds. The
    // Ctrl+C comes once it is in that draw. Sent in those first milliseconds,
    // while the main thread is inside malloc, it hangs Wine itself: Wine's
    // SIGINT handler starts the console thread with pthread_create, which
    // allocates too, and waits for the lock the main thread holds for good.
    std::this_thread::sleep_for(std::chrono::milliseconds(slow_frame_ms / 10));
    auto sent = std::chrono::steady_clock::now();
    ASSERT_NO_FATAL_FAILURE(stop_promptly(SIGINT));
    std::printf(
        "ended %.0f ms after Ctrl+C\n",
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sent).count());
    expect_ended_by(SIGINT);
    std::string out = run_stdout(run_);
    line_counts counts = count_lines(out, platform_.line_end);
    EXPECT_EQ(counts.incomplete, 0);
    EXPECT_EQ(counts.progs, counts.numbers);
    EXPECT_GE(counts.numbers, 2) << "the builds are lost";
}

#endif

} // namespace
