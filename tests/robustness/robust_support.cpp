#include "robust_support.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <signal.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef QO_CLOSED_STDOUT_PATH
#define QO_CLOSED_STDOUT_PATH ""
#endif

// ---- the scenario fixture ----------------------------------------------------

void RobustScenario::SetUp() {
    platform_ = scenario_platform();
    std::string error;
    ASSERT_TRUE(platform_ready(platform_, &error)) << error;
    ASSERT_TRUE(start_xvfb(&server_, &error)) << error;
    // The test's own requests may name a window the viewer or the window
    // manager has just destroyed: no test dies of that.
    XSetErrorHandler(ignore_x_errors);
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string tag = folder_tag(info->name());
    folder_ = make_temp_folder("robust-" + platform_.name + "-" + tag);
    ASSERT_FALSE(folder_.empty()) << "cannot make a temporary folder";
}

void RobustScenario::TearDown() {
    kill_viewer(&run_);
    if (HasFailure() && run_.pid > 0) {
        std::string out = run_stdout(run_);
        std::string err = run_stderr(run_);
        if (out.size() > 2000) {
            out = "...\n" + out.substr(out.size() - 2000);
        }
        if (err.size() > 4000) {
            err = err.substr(0, 4000) + "\n...";
        }
        std::printf("---- the viewer's stdout (end) ----\n%s\n---- its stderr ----\n%s\n----\n",
                    out.c_str(), err.c_str());
    }
    stop_child(window_manager_);
    window_manager_ = -1;
    end_platform_session(platform_);
    stop_xvfb(&server_);
    remove_folder(folder_);
}

void RobustScenario::write_shaders(const std::string& pixel) {
    ASSERT_TRUE(write_file(path("vs.fx"), plain_vertex_shader()));
    ASSERT_TRUE(write_file(path("ps.fx"), pixel));
}

void RobustScenario::start_and_find_window(const std::vector<std::string>& wrapper) {
    viewer_launch launch = launch_for(platform_, server_.name, folder_);
    launch.command.insert(launch.command.begin(), wrapper.begin(), wrapper.end());
    std::string error;
    ASSERT_TRUE(start_viewer(launch, &run_, &error)) << error;
    ASSERT_TRUE(find_viewer_area(display(), platform_, deadline_ms, &area_, &error))
        << error << "\nstderr: " << run_stderr(run_);
    if (platform_.wine) {
        // Wine's key state follows the keys its own windows receive.
        ASSERT_TRUE(focus_window(display(), area_.window, deadline_ms))
            << "the viewer's window did not take the focus";
    }
}

void RobustScenario::key(KeySym key, bool down) {
    ASSERT_TRUE(fake_key(display(), key, down)) << "XTest could not press the key";
}

void RobustScenario::expect_picture(const rgb& colour) {
    std::string seen;
    bool shown = poll_until(
        [&] {
            // One short look at a time, so that an ended viewer stops the wait.
            return wait_for_uniform_colour(display(), area_, colour, 0, &seen) || has_exited(&run_);
        },
        deadline_ms);
    EXPECT_FALSE(has_exited(&run_)) << "the viewer ended, status " << run_.status;
    EXPECT_TRUE(shown) << "waiting for " << describe(colour) << ": " << seen;
}

clock_reading RobustScenario::wait_for_clock_while_running(int tag, long frame, int timeout_ms) {
    clock_reading reading;
    bool shown = poll_until(
        [&] {
            reading = read_clock(display(), area_);
            return (reading.tag == tag && reading.frame >= frame) || has_exited(&run_);
        },
        timeout_ms);
    return shown && !has_exited(&run_) ? reading : clock_reading();
}

rgb RobustScenario::uniform_picture() {
    probe_image image;
    EXPECT_TRUE(grab_area(display(), area_, &image)) << "the client area can't be read";
    if (image.rgb.empty()) {
        return rgb{-1, -1, -1};
    }
    rgb first{image.rgb[0], image.rgb[1], image.rgb[2]};
    std::string where;
    EXPECT_EQ(count_other_pixels(image, first, &where), 0)
        << "the picture is not one colour: " << describe(first) << " at (0, 0), " << where;
    return first;
}

void RobustScenario::close_and_expect_0() {
    send_close_request(display(), area_.window);
    ASSERT_TRUE(wait_for_exit(&run_, deadline_ms)) << "the viewer did not end: killed";
    EXPECT_EQ(run_.status, 0);
}

build_report RobustScenario::builds() {
    build_report report = parse_builds(run_stdout(run_), platform_.line_end);
    EXPECT_TRUE(report.ok) << report.fault;
    return report;
}

int RobustScenario::stderr_lines_starting(const std::string& start) {
    std::istringstream err(run_stderr(run_));
    std::string line;
    int count = 0;
    while (std::getline(err, line)) {
        count += line.compare(0, start.size(), start) == 0 ? 1 : 0;
    }
    return count;
}

// ---- processes -------------------------------------------------------------

long resident_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return -1;
}

long count_lines_in_file(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return 0;
    }
    long lines = 0;
    char buffer[65536];
    size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        for (size_t i = 0; i < count; ++i) {
            lines += buffer[i] == '\n' ? 1 : 0;
        }
    }
    std::fclose(file);
    return lines;
}

void stop_child(pid_t pid) {
    if (pid <= 0) {
        return;
    }
    kill(pid, SIGTERM);
    bool ended = poll_until([&] { return waitpid(pid, nullptr, WNOHANG) != 0; }, 10000);
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

std::string closed_stdout_wrapper_path() {
    return QO_CLOSED_STDOUT_PATH;
}

// ---- editors ---------------------------------------------------------------

namespace {

bool write_all(int fd, const char* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

void PrintTo(save_style style, std::ostream* out) {
    *out << (style == save_style::rename_over ? "write then rename" : "truncate and rewrite");
}

bool save_file(const std::string& path, const std::string& text, save_style style) {
    if (style == save_style::rename_over) {
        std::string temporary = path + ".swp";
        int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            return false;
        }
        bool written = write_all(fd, text.data(), text.size());
        close(fd);
        return written && rename(temporary.c_str(), path.c_str()) == 0;
    }
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    // In two writes, as an editor writing its buffer in pieces: a reader in
    // between sees nothing or the first half.
    size_t half = text.size() / 2;
    bool written =
        write_all(fd, text.data(), half) && write_all(fd, text.data() + half, text.size() - half);
    close(fd);
    return written;
}

void start_editor(editor_loop* loop, const std::string& path, save_style style,
                  const std::string& text_a, const std::string& text_b) {
    loop->stop = false;
    loop->saves = 0;
    loop->thread = std::thread([loop, path, style, text_a, text_b]() {
        while (!loop->stop) {
            if (save_file(path, loop->saves % 2 == 0 ? text_b : text_a, style)) {
                ++loop->saves;
            }
        }
    });
}

void stop_editor(editor_loop* loop) {
    loop->stop = true;
    if (loop->thread.joinable()) {
        loop->thread.join();
    }
}

// ---- a real window manager ---------------------------------------------------

namespace {

// A 32-bit property's values (Xlib hands them over as longs), at most
// `most` of them; empty when the window has no such property of that type.
std::vector<unsigned long> property_words(Display* display, Window window, Atom property, Atom type,
                                          long most) {
    std::vector<unsigned long> words;
    Atom actual_type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, window, property, 0, most, False, type, &actual_type, &format,
                           &count, &after, &data) == Success &&
        data != nullptr) {
        if (format == 32) {
            const unsigned long* values = reinterpret_cast<const unsigned long*>(data);
            words.assign(values, values + count);
        }
        XFree(data);
    }
    return words;
}

Window supporting_wm_window(Display* display) {
    Atom check = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False);
    std::vector<unsigned long> words =
        property_words(display, DefaultRootWindow(display), check, XA_WINDOW, 1);
    return words.size() == 1 ? static_cast<Window>(words[0]) : 0;
}

// Openbox's stock behaviour with one desktop; new windows take the focus.
const char* const openbox_rc = R"(<?xml version="1.0" encoding="UTF-8"?>
<openbox_config xmlns="http://openbox.org/3.4/rc">
  <focus><focusNew>yes</focusNew><followMouse>no</followMouse></focus>
  <placement><policy>Smart</policy></placement>
  <desktops><number>1</number></desktops>
</openbox_config>
)";

} // namespace

pid_t start_openbox(const std::string& display_name, const std::string& config_folder,
                    int timeout_ms, std::string* error) {
    std::string rc_path = config_folder + "/openbox-rc.xml";
    std::string log_path = config_folder + "/openbox.log";
    {
        std::ofstream rc(rc_path);
        rc << openbox_rc;
        if (!rc) {
            *error = "cannot write " + rc_path;
            return -1;
        }
    }
    pid_t pid = fork();
    if (pid < 0) {
        *error = std::string("fork: ") + std::strerror(errno);
        return -1;
    }
    if (pid == 0) {
        int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (log >= 0) {
            dup2(log, 1);
            dup2(log, 2);
        }
        setenv("DISPLAY", display_name.c_str(), 1);
        setenv("HOME", config_folder.c_str(), 1);
        execlp("openbox", "openbox", "--sm-disable", "--config-file", rc_path.c_str(),
               static_cast<char*>(nullptr));
        std::fprintf(stderr, "cannot run openbox: %s (install openbox)\n", std::strerror(errno));
        _exit(127);
    }
    Display* display = XOpenDisplay(display_name.c_str());
    if (display == nullptr) {
        stop_child(pid);
        *error = "cannot open display " + display_name;
        return -1;
    }
    bool ended = false;
    bool up = poll_until(
        [&] {
            if (waitpid(pid, nullptr, WNOHANG) == pid) {
                ended = true;
                return true;
            }
            return supporting_wm_window(display) != 0;
        },
        timeout_ms);
    XCloseDisplay(display);
    if (!up || ended) {
        std::string log = read_file(log_path);
        if (!ended) {
            stop_child(pid);
        }
        *error = std::string(ended ? "openbox ended" : "openbox did not take the screen in time") +
                 "; its output: " + log;
        return -1;
    }
    return pid;
}

namespace {

void send_to_root(Display* display, Window window, const char* message, long l0, long l1, long l2,
                  long l3, long l4) {
    XEvent event;
    std::memset(&event, 0, sizeof event);
    event.xclient.type = ClientMessage;
    event.xclient.send_event = True;
    event.xclient.display = display;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, message, False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = l0;
    event.xclient.data.l[1] = l1;
    event.xclient.data.l[2] = l2;
    event.xclient.data.l[3] = l3;
    event.xclient.data.l[4] = l4;
    XSendEvent(display, DefaultRootWindow(display), False,
               SubstructureRedirectMask | SubstructureNotifyMask, &event);
    XSync(display, False);
}

constexpr long source_pager = 2; // the request comes from a pager or a taskbar

} // namespace

void send_net_wm_state(Display* display, Window window, long action, const char* first,
                       const char* second) {
    long a = static_cast<long>(XInternAtom(display, first, False));
    long b = second != nullptr ? static_cast<long>(XInternAtom(display, second, False)) : 0;
    send_to_root(display, window, "_NET_WM_STATE", action, a, b, source_pager, 0);
}

void send_net_active_window(Display* display, Window window) {
    send_to_root(display, window, "_NET_ACTIVE_WINDOW", source_pager, CurrentTime, 0, 0, 0);
}

void send_net_close_window(Display* display, Window window) {
    send_to_root(display, window, "_NET_CLOSE_WINDOW", CurrentTime, source_pager, 0, 0, 0);
}

void send_net_moveresize(Display* display, Window window, int x, int y, int width, int height) {
    // Static gravity (10), x, y, width and height given, from a pager.
    long flags = 10 | (1L << 8) | (1L << 9) | (1L << 10) | (1L << 11) | (source_pager << 12);
    send_to_root(display, window, "_NET_MOVERESIZE_WINDOW", flags, x, y, width, height);
}

std::vector<std::string> atom_list(Display* display, Window window, const char* property) {
    std::vector<std::string> names;
    Atom atom = XInternAtom(display, property, False);
    for (unsigned long value : property_words(display, window, atom, XA_ATOM, 256)) {
        char* name = XGetAtomName(display, static_cast<Atom>(value));
        if (name != nullptr) {
            names.push_back(name);
            XFree(name);
        }
    }
    return names;
}

long wm_state(Display* display, Window window) {
    Atom property = XInternAtom(display, "WM_STATE", False);
    std::vector<unsigned long> words = property_words(display, window, property, property, 2);
    return words.empty() ? 0 : static_cast<long>(words[0]);
}

bool window_geometry(Display* display, Window window, int* map_state, int* width, int* height) {
    XWindowAttributes attributes;
    if (XGetWindowAttributes(display, window, &attributes) == 0) {
        return false;
    }
    *map_state = attributes.map_state;
    *width = attributes.width;
    *height = attributes.height;
    return true;
}

bool motif_functions(Display* display, Window window, unsigned long* flags,
                     unsigned long* functions) {
    Atom property = XInternAtom(display, "_MOTIF_WM_HINTS", False);
    std::vector<unsigned long> words =
        property_words(display, window, property, AnyPropertyType, 5);
    if (words.size() < 2) {
        return false;
    }
    *flags = words[0];
    *functions = words[1];
    return true;
}
