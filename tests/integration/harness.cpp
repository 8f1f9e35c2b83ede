#include "harness.h"

#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

#ifndef QO_VIEWER_PATH
#define QO_VIEWER_PATH ""
#endif
#ifndef QO_WINDOWS_VIEWER_PATH
#define QO_WINDOWS_VIEWER_PATH ""
#endif
#ifndef QO_WINE_PREFIX_PATH
#define QO_WINE_PREFIX_PATH ""
#endif

namespace {

bool is_executable(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

// The program's path: itself when it holds a slash, else the first match on
// PATH; "" when none.
std::string find_program(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        return is_executable(name) ? name : "";
    }
    const char* path = std::getenv("PATH");
    std::stringstream folders(path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
        if (is_executable(candidate)) {
            return candidate;
        }
    }
    return "";
}

std::string name_of(const std::string& assignment) {
    return assignment.substr(0, assignment.find('='));
}

// The test's environment with DISPLAY replaced (removed when `display_name`
// is empty) and `extra` added, later entries replacing earlier ones of the
// same name; an entry without "=" removes that name.
std::vector<std::string> child_environment(const std::string& display_name,
                                           const std::vector<std::string>& extra) {
    std::vector<std::string> overrides;
    if (!display_name.empty()) {
        overrides.push_back("DISPLAY=" + display_name);
    }
    overrides.insert(overrides.end(), extra.begin(), extra.end());
    std::vector<std::string> result;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string assignment = *entry;
        std::string name = name_of(assignment);
        bool replaced = name == "DISPLAY";
        for (const std::string& item : overrides) {
            replaced = replaced || name_of(item) == name;
        }
        if (!replaced) {
            result.push_back(assignment);
        }
    }
    for (const std::string& item : overrides) {
        std::string name = name_of(item);
        result.erase(std::remove_if(result.begin(), result.end(),
                                    [&](const std::string& s) { return name_of(s) == name; }),
                     result.end());
        if (item.find('=') != std::string::npos) {
            result.push_back(item); // a bare name only removes
        }
    }
    return result;
}

std::vector<char*> pointers_to(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& s : strings) {
        pointers.push_back(&s[0]);
    }
    pointers.push_back(nullptr);
    return pointers;
}

// Runs a command to its end (output discarded), killing it after the
// deadline. Returns its exit status, or -1.
int run_to_end(std::vector<std::string> command, const std::vector<std::string>& environment,
               int timeout_ms) {
    std::string program = find_program(command[0]);
    if (program.empty()) {
        return -1;
    }
    std::vector<std::string> env = child_environment("", environment);
    std::vector<char*> argv = pointers_to(command);
    std::vector<char*> envp = pointers_to(env);
    pid_t pid = fork();
    if (pid < 0) {
        return -1;
    }
    if (pid == 0) {
        int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    viewer_run run;
    run.pid = pid;
    if (!wait_for_exit(&run, timeout_ms)) {
        return -1;
    }
    return run.status;
}

} // namespace

// ---- the binaries under test ------------------------------------------------------

std::string linux_viewer_path() {
    const char* chosen = std::getenv("QO_TEST_VIEWER");
    return chosen != nullptr && *chosen != '\0' ? chosen : QO_VIEWER_PATH;
}

std::string windows_viewer_path() {
    return QO_WINDOWS_VIEWER_PATH;
}

std::string wine_prefix_path() {
    return QO_WINE_PREFIX_PATH;
}

// ---- platforms ------------------------------------------------------------------------

viewer_platform linux_platform() {
    viewer_platform platform;
    platform.name = "linux";
    platform.command = {linux_viewer_path()};
    platform.line_end = "\n";
    return platform;
}

viewer_platform wine_platform() {
    viewer_platform platform;
    platform.name = "wine";
    platform.command = {"wine", windows_viewer_path()};
    platform.environment = {"WINEPREFIX=" + wine_prefix_path(), "WINEDEBUG=-all",
                            "WINEDLLOVERRIDES=mscoree,mshtml="};
    platform.line_end = "\r\n";
    platform.wine = true;
    return platform;
}

bool platform_ready(const viewer_platform& platform, std::string* error) {
    if (!platform.wine) {
        if (!is_executable(linux_viewer_path())) {
            *error = "the viewer is missing: " + linux_viewer_path();
            return false;
        }
        return true;
    }
    struct stat status;
    if (windows_viewer_path().empty() || stat(windows_viewer_path().c_str(), &status) != 0) {
        *error = "the Windows viewer is missing: \"" + windows_viewer_path() +
                 "\" (build it with `make windows`)";
        return false;
    }
    if (find_program("wine").empty() || find_program("wineserver").empty()) {
        *error = "wine or wineserver is not on PATH: install wine and wine64";
        return false;
    }
    if (wine_prefix_path().empty() ||
        stat((wine_prefix_path() + "/system.reg").c_str(), &status) != 0) {
        *error = "the Wine prefix \"" + wine_prefix_path() +
                 "\" was not made (the ctest fixture wine.prefix_setup makes it)";
        return false;
    }
    return true;
}

void end_platform_session(const viewer_platform& platform) {
    if (!platform.wine) {
        return;
    }
    run_to_end({"wineserver", "-k"}, platform.environment, 60000);
    run_to_end({"wineserver", "-w"}, platform.environment, 60000);
}

// ---- an X server of the test's own --------------------------------------------------

bool start_xvfb(xvfb_server* server, std::string* error, int timeout_ms) {
    std::string program = find_program("Xvfb");
    if (program.empty()) {
        *error = "Xvfb is not on PATH: install xvfb";
        return false;
    }
    int fds[2];
    if (pipe(fds) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    std::string fd_text = std::to_string(fds[1]);
    std::vector<std::string> command = {program, "-displayfd",  fd_text,     "-screen",
                                        "0",     "1024x768x24", "-nolisten", "tcp"};
    std::vector<char*> argv = pointers_to(command);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        *error = std::string("fork: ") + std::strerror(errno);
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (pid == 0) {
        // The server ends with the test, even when the test is killed.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) {
            _exit(1);
        }
        close(fds[0]);
        int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(fds[1]);
    server->pid = pid;

    // Xvfb writes the display number and a newline once it takes clients.
    std::string number;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (number.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            break;
        }
        pollfd item = {fds[0], POLLIN, 0};
        if (poll(&item, 1, static_cast<int>(std::min<long>(left, 1000))) > 0) {
            char buffer[32];
            ssize_t count = read(fds[0], buffer, sizeof buffer);
            if (count <= 0) {
                break; // the server ended before saying its number
            }
            number.append(buffer, static_cast<size_t>(count));
        }
    }
    close(fds[0]);
    if (number.find('\n') == std::string::npos) {
        *error = "Xvfb did not report a display number";
        stop_xvfb(server);
        return false;
    }
    server->name = ":" + number.substr(0, number.find('\n'));
    poll_until(
        [&] {
            server->display = XOpenDisplay(server->name.c_str());
            return server->display != nullptr;
        },
        timeout_ms);
    if (server->display == nullptr) {
        *error = "cannot connect to the test's Xvfb on " + server->name;
        stop_xvfb(server);
        return false;
    }
    return true;
}

void stop_xvfb(xvfb_server* server) {
    if (server->display != nullptr) {
        XCloseDisplay(server->display);
        server->display = nullptr;
    }
    if (server->pid > 0) {
        kill(server->pid, SIGTERM);
        viewer_run run;
        run.pid = server->pid;
        if (!wait_for_exit(&run, 30000)) {
            // wait_for_exit killed it
        }
        server->pid = -1;
    }
}

int ignore_x_errors(Display*, XErrorEvent*) {
    return 0;
}

std::string unserved_display_name() {
    XErrorHandler previous = XSetErrorHandler(ignore_x_errors);
    std::string result;
    for (int number = 1999; number > 1000 && result.empty(); --number) {
        std::string n = std::to_string(number);
        struct stat status;
        if (stat(("/tmp/.X11-unix/X" + n).c_str(), &status) == 0 ||
            stat(("/tmp/.X" + n + "-lock").c_str(), &status) == 0) {
            continue;
        }
        std::string name = ":" + n;
        Display* display = XOpenDisplay(name.c_str());
        if (display != nullptr) {
            XCloseDisplay(display);
            continue;
        }
        result = name;
    }
    XSetErrorHandler(previous);
    return result;
}

// ---- files ----------------------------------------------------------------------------

std::string make_temp_folder(const std::string& tag) {
    std::string pattern =
        std::filesystem::temp_directory_path().string() + "/qo-it-" + tag + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
        return "";
    }
    return buffer.data();
}

std::string folder_tag(const std::string& test_name) {
    std::string tag = test_name.substr(0, 24);
    std::replace(tag.begin(), tag.end(), '/', '-');
    return tag;
}

void remove_folder(const std::string& path) {
    if (path.empty()) {
        return;
    }
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

bool write_file(const std::string& path, const std::string& bytes) {
    std::string temporary = path + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            return false;
        }
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// ---- the viewer process ------------------------------------------------------------------

viewer_launch launch_for(const viewer_platform& platform, const std::string& display_name,
                         const std::string& folder, const std::vector<std::string>& extra) {
    viewer_launch launch;
    launch.command = platform.command;
    launch.folder = folder;
    launch.display_name = display_name;
    launch.environment = platform.environment;
    launch.environment.insert(launch.environment.end(), extra.begin(), extra.end());
    return launch;
}

bool start_viewer(const viewer_launch& launch, viewer_run* run, std::string* error) {
    if (launch.command.empty()) {
        *error = "no command to start";
        return false;
    }
    std::string program = find_program(launch.command[0]);
    if (program.empty()) {
        *error = "cannot find " + launch.command[0];
        return false;
    }
    run->stdout_path = launch.folder + "/qo.stdout";
    run->stderr_path = launch.folder + "/qo.stderr";
    run->exited = false;
    run->killed = false;
    run->status = -1;
    run->signal = 0;

    std::vector<std::string> command = launch.command;
    std::vector<std::string> env = child_environment(launch.display_name, launch.environment);
    std::vector<char*> argv = pointers_to(command);
    std::vector<char*> envp = pointers_to(env);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        *error = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(1);
        }
        if (chdir(launch.folder.c_str()) != 0) {
            _exit(126);
        }
        int in = open("/dev/null", O_RDONLY);
        int out = open(run->stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(run->stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0) {
            _exit(126);
        }
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        for (int number : launch.ignored_signals) {
            signal(number, SIG_IGN);
        }
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    setpgid(pid, pid); // also here, so that a kill right after the start finds the group
    run->pid = pid;
    return true;
}

bool has_exited(viewer_run* run) {
    if (run->exited) {
        return true;
    }
    if (run->pid <= 0) {
        return false;
    }
    int status = 0;
    pid_t done = waitpid(run->pid, &status, WNOHANG);
    if (done == run->pid) {
        run->exited = true;
        run->status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        run->signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        return true;
    }
    if (done < 0 && errno == ECHILD) {
        run->exited = true;
        return true;
    }
    return false;
}

void print_viewer_output(const viewer_run& run) {
    if (run.pid <= 0) {
        return;
    }
    std::printf("---- the viewer's stdout ----\n%s\n---- its stderr ----\n%s\n----\n",
                run_stdout(run).c_str(), run_stderr(run).c_str());
}

void kill_viewer(viewer_run* run) {
    if (run->pid <= 0 || has_exited(run)) {
        return;
    }
    kill(-run->pid, SIGKILL);
    kill(run->pid, SIGKILL);
    int status = 0;
    if (waitpid(run->pid, &status, 0) == run->pid) {
        run->status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        run->signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }
    run->exited = true;
    run->killed = true;
}

bool wait_for_exit(viewer_run* run, int timeout_ms) {
    if (poll_until([&] { return has_exited(run); }, timeout_ms)) {
        return true;
    }
    kill_viewer(run);
    return false;
}

std::string run_stdout(const viewer_run& run) {
    return read_file(run.stdout_path);
}

std::string run_stderr(const viewer_run& run) {
    return read_file(run.stderr_path);
}

bool wait_for_stderr(const viewer_run& run, const std::string& text, int timeout_ms) {
    return poll_until([&] { return run_stderr(run).find(text) != std::string::npos; }, timeout_ms);
}

// ---- standard output -----------------------------------------------------------------------

build_report parse_builds(const std::string& output, const std::string& line_end) {
    build_report report;
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find(line_end, start);
        if (end == std::string::npos) {
            report.ok = false;
            report.fault =
                "the last line does not end with the line end: \"" + output.substr(start) + "\"";
            return report;
        }
        lines.push_back(output.substr(start, end - start));
        start = end + line_end.size();
    }
    bool expect_prog = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        std::string where = "line " + std::to_string(i + 1) + " \"" + line + "\"";
        if (line.find_first_of("\r\n") != std::string::npos) {
            report.ok = false;
            report.fault = where + " holds a stray line break";
            return report;
        }
        bool number = !line.empty() && line.find_first_not_of("0123456789") == std::string::npos;
        if (expect_prog) {
            if (line.compare(0, 5, "prog:") != 0) {
                report.ok = false;
                report.fault = where + " should start with prog:";
                return report;
            }
            report.link_logs.push_back(line.substr(5));
            expect_prog = false;
        } else if (number) {
            ++report.builds;
            expect_prog = true;
        } else if (report.builds == 0) {
            report.ok = false;
            report.fault = where + " comes before any program number";
            return report;
        } else {
            report.link_logs.back() += "\n" + line; // the link log goes on
        }
    }
    if (expect_prog) {
        report.ok = false;
        report.fault = "the last program number has no prog: line";
    }
    return report;
}

// ---- the viewer's window -----------------------------------------------------------------

// The same on both platforms (see harness.h): the window titled "qo" is the
// client area, also under Wine, which gives the frame to a window manager.
bool find_viewer_area(Display* display, const viewer_platform& platform, int timeout_ms,
                      viewer_area* area, std::string* error) {
    (void)platform;
    Window window = probe_find_window(display, "qo", timeout_ms);
    if (window == 0) {
        *error = "no viewable window titled \"qo\" appeared";
        return false;
    }
    XErrorHandler previous = XSetErrorHandler(ignore_x_errors);
    XWindowAttributes attributes;
    Window child = 0;
    int x = 0;
    int y = 0;
    bool ok =
        XGetWindowAttributes(display, window, &attributes) &&
        XTranslateCoordinates(display, window, DefaultRootWindow(display), 0, 0, &x, &y, &child);
    XSync(display, False);
    XSetErrorHandler(previous);
    if (!ok) {
        *error = "the window titled \"qo\" went away";
        return false;
    }
    area->window = window;
    area->x = x;
    area->y = y;
    area->width = attributes.width;
    area->height = attributes.height;
    return true;
}

bool operator==(const rgb& a, const rgb& b) {
    return a.r == b.r && a.g == b.g && a.b == b.b;
}

std::string describe(const rgb& colour) {
    char text[64];
    std::snprintf(text, sizeof text, "(%d, %d, %d)", colour.r, colour.g, colour.b);
    return text;
}

bool grab_area(Display* display, const viewer_area& area, probe_image* image) {
    return probe_grab_region(display, DefaultRootWindow(display), area.x, area.y, area.width,
                             area.height, image);
}

bool read_pixel(Display* display, const viewer_area& area, int x, int y, rgb* colour) {
    probe_image image;
    if (!probe_grab_region(display, DefaultRootWindow(display), area.x + x, area.y + y, 1, 1,
                           &image)) {
        return false;
    }
    colour->r = image.rgb[0];
    colour->g = image.rgb[1];
    colour->b = image.rgb[2];
    return true;
}

long count_other_pixels(const probe_image& image, const rgb& colour, std::string* first) {
    long count = 0;
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            const std::uint8_t* p = &image.rgb[(static_cast<size_t>(y) * image.width + x) * 3];
            rgb seen{p[0], p[1], p[2]};
            if (!(seen == colour)) {
                if (count == 0 && first != nullptr) {
                    *first = "(" + std::to_string(x) + ", " + std::to_string(y) + ") is " +
                             describe(seen);
                }
                ++count;
            }
        }
    }
    return count;
}

bool wait_for_uniform_colour(Display* display, const viewer_area& area, const rgb& colour,
                             int timeout_ms, std::string* seen) {
    return poll_until(
        [&] {
            probe_image image;
            if (!grab_area(display, area, &image)) {
                *seen = "the area could not be read";
                return false;
            }
            std::string first;
            long others = count_other_pixels(image, colour, &first);
            if (others == 0) {
                return true;
            }
            *seen = std::to_string(others) + " of " +
                    std::to_string(static_cast<long>(image.width) * image.height) +
                    " pixels differ from " + describe(colour) + ", the first: " + first;
            return false;
        },
        timeout_ms);
}

// ---- keys, focus, windows of the test's own --------------------------------------------------

bool fake_key(Display* display, KeySym key, bool down) {
    int event_base = 0;
    int error_base = 0;
    int major = 0;
    int minor = 0;
    if (!XTestQueryExtension(display, &event_base, &error_base, &major, &minor)) {
        return false;
    }
    KeyCode code = XKeysymToKeycode(display, key);
    if (code == 0) {
        return false;
    }
    bool ok = XTestFakeKeyEvent(display, code, down ? True : False, CurrentTime) != 0;
    XSync(display, False);
    return ok;
}

bool focus_window(Display* display, Window window, int timeout_ms) {
    XErrorHandler previous = XSetErrorHandler(ignore_x_errors);
    bool focused = poll_until(
        [&] {
            XSetInputFocus(display, window, RevertToPointerRoot, CurrentTime);
            XSync(display, False);
            Window focus = 0;
            int revert = 0;
            XGetInputFocus(display, &focus, &revert);
            return focus == window;
        },
        timeout_ms);
    XSetErrorHandler(previous);
    return focused;
}

void send_close_request(Display* display, Window window) {
    probe_send_close_request(display, window);
}

Window create_own_window(Display* display, int x, int y, int width, int height) {
    int screen = DefaultScreen(display);
    Window window = XCreateSimpleWindow(
        display, RootWindow(display, screen), x, y, static_cast<unsigned>(width),
        static_cast<unsigned>(height), 0, BlackPixel(display, screen), WhitePixel(display, screen));
    if (window == 0) {
        return 0;
    }
    XStoreName(display, window, "qo test window");
    XSelectInput(display, window, KeyPressMask | KeyReleaseMask | FocusChangeMask);
    XMapRaised(display, window);
    XSync(display, False);
    bool viewable = poll_until(
        [&] {
            XWindowAttributes attributes;
            return XGetWindowAttributes(display, window, &attributes) &&
                   attributes.map_state == IsViewable;
        },
        30000);
    if (!viewable) {
        XDestroyWindow(display, window);
        XSync(display, False);
        return 0;
    }
    return window;
}

// ---- shaders and the pixel frame clock ---------------------------------------------------------

std::string plain_vertex_shader() {
    return "void main()\n"
           "{\n"
           "    gl_Position = gl_Vertex;\n"
           "}\n";
}

std::string solid_pixel_shader(const rgb& colour) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "void main()\n"
                  "{\n"
                  "    gl_FragColor = vec4(%d.0, %d.0, %d.0, 255.0) / 255.0;\n"
                  "}\n",
                  colour.r, colour.g, colour.b);
    return text;
}

std::string clock_pixel_shader(int tag) {
    char text[640];
    std::snprintf(text, sizeof text,
                  "uniform vec4 fpar[4];\n"
                  "void main()\n"
                  "{\n"
                  "    float n = floor(fpar[2].x * 60.0 + 0.5);\n"
                  "    float low = mod(n, 256.0);\n"
                  "    float middle = mod(floor(n / 256.0), 256.0);\n"
                  "    float high = floor(n / 65536.0);\n"
                  "    gl_FragColor = vec4(low, middle, %d.0 * 64.0 + high, 255.0) / 255.0;\n"
                  "}\n",
                  tag);
    return text;
}

clock_reading decode_clock(const rgb& colour) {
    clock_reading reading;
    if (colour == rgb{0, 0, 0} || colour == rgb{255, 255, 255}) {
        return reading;
    }
    reading.tag = colour.b >> 6;
    reading.frame = colour.r + 256L * colour.g + 65536L * (colour.b & 63);
    return reading;
}

clock_reading read_clock(Display* display, const viewer_area& area) {
    rgb colour;
    if (!read_pixel(display, area, area.width / 2, area.height / 2, &colour)) {
        return clock_reading();
    }
    return decode_clock(colour);
}

clock_reading wait_for_clock(Display* display, const viewer_area& area, int tag, long frame,
                             int timeout_ms) {
    clock_reading reading;
    bool ok = poll_until(
        [&] {
            reading = read_clock(display, area);
            return (tag < 0 || reading.tag == tag) && reading.frame >= frame;
        },
        timeout_ms);
    return ok ? reading : clock_reading();
}

std::string environment_with_added(const char* name, const std::string& item,
                                   const char* separator) {
    const char* value = std::getenv(name);
    std::string result = std::string(name) + "=";
    if (value != nullptr && value[0] != '\0') {
        result += std::string(value) + separator;
    }
    return result + item;
}
