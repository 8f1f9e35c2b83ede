// The fixture of the portal scenarios (portal_scenarios.cpp,
// desktop_answers.cpp): the viewer on an Xvfb of the test's own with
// WAYLAND_DISPLAY set, a private session bus with no standard service
// folders, the fake portal (fake_portal.py) in a mode, the real frontend,
// and the helpers that drive them.
#pragma once

// GoogleTest before the X11 headers: Xlib's macros (None, Bool) would break it.
#include <gtest/gtest.h>

#include "harness.h"

#include <X11/keysym.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <glob.h>
#include <sstream>
#include <sys/stat.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#ifndef QO_FAKE_PORTAL_PATH
#define QO_FAKE_PORTAL_PATH ""
#endif
#ifndef QO_FAKE_BACKEND_PATH
#define QO_FAKE_BACKEND_PATH ""
#endif
#ifndef QO_SLOW_SWAP_SHIM_PATH
#define QO_SLOW_SWAP_SHIM_PATH ""
#endif
#ifndef QO_PLASMA5_PORTAL_CASE
#define QO_PLASMA5_PORTAL_CASE 0
#endif
#ifndef QO_DESKTOP_ENTRY_PATH
#define QO_DESKTOP_ENTRY_PATH ""
#endif

namespace portal_test {

constexpr int deadline_ms = 60000;
constexpr const char* python = "/usr/bin/python3";
constexpr const char* hint_tail = "; run qo --watch to rebuild on save, or see README \"Wayland "
                                  "desktops\"\n";
constexpr const char* frontend_path = "/usr/libexec/xdg-desktop-portal";
constexpr const char* portal_name = "org.freedesktop.portal.Desktop";

inline std::string hint_for(const std::string& reason) {
    return "qo: F5 is seen only while an X11 window has the keyboard focus (" + reason + ")" +
           hint_tail;
}

// Starts `argv` with `environment` added to the test's own, stdout and stderr
// into `output` (/dev/null when empty); -1 on failure.
inline pid_t spawn(const std::vector<std::string>& argv,
                   const std::vector<std::string>& environment, const std::string& output) {
    pid_t pid = fork();
    if (pid != 0) {
        return pid;
    }
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    for (const std::string& item : environment) {
        std::string name = item.substr(0, item.find('='));
        setenv(name.c_str(), item.substr(name.size() + 1).c_str(), 1);
    }
    int in = open("/dev/null", O_RDONLY);
    int out =
        open(output.empty() ? "/dev/null" : output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

// Waits for a spawned process; its exit status, or -1 after the deadline
// (then it is killed).
inline int wait_for(pid_t pid, int timeout_ms) {
    viewer_run run;
    run.pid = pid;
    if (!wait_for_exit(&run, timeout_ms)) {
        return -1;
    }
    return run.status;
}

inline std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) {
        lines.push_back(line);
    }
    return lines;
}

// The index of the first line starting with `start`; -1 when none does.
inline int line_starting(const std::vector<std::string>& lines, const std::string& start) {
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].compare(0, start.size(), start) == 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// The swap shim preloaded into the viewer, after what the caller preloads
// (the sanitizer run preloads Mesa's driver); ASan then does not come
// first, which it allows when told.
inline void add_swap_shim(std::vector<std::string>* environment) {
    environment->push_back(environment_with_added("LD_PRELOAD", QO_SLOW_SWAP_SHIM_PATH, " "));
    environment->push_back(environment_with_added("ASAN_OPTIONS", "verify_asan_link_order=0", ":"));
}

// The text with the characters XML gives a meaning to escaped.
inline std::string xml_text(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        escaped += c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : std::string(1, c);
    }
    return escaped;
}

inline size_t count_of(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

class PortalScenario : public ::testing::Test {
  protected:
    void SetUp() override {
        platform_ = linux_platform();
        std::string error;
        ASSERT_TRUE(platform_ready(platform_, &error)) << error;
        ASSERT_EQ(access(QO_FAKE_PORTAL_PATH, R_OK), 0)
            << "the fake portal is missing: " << QO_FAKE_PORTAL_PATH;
        ASSERT_EQ(access(python, X_OK), 0) << python << " is missing: install python3";
        ASSERT_TRUE(start_xvfb(&server_, &error)) << error;
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string tag = folder_tag(info->name());
        folder_ = make_temp_folder("portal-" + tag);
        ASSERT_FALSE(folder_.empty()) << "cannot make a temporary folder";
        log_path_ = folder_ + "/portal.log";
        ASSERT_EQ(mkdir((folder_ + "/services").c_str(), 0755), 0);
        ASSERT_NO_FATAL_FAILURE(start_bus());
    }

    void TearDown() override {
        kill_viewer(&run_);
        if (HasFailure()) {
            std::printf("---- the viewer's stdout ----\n%s\n---- its stderr ----\n%s\n"
                        "---- the fake portal's log ----\n%s\n---- its output ----\n%s\n----\n",
                        run_stdout(run_).c_str(), run_stderr(run_).c_str(),
                        read_file(log_path_).c_str(), read_file(folder_ + "/fake.out").c_str());
            for (const char* name :
                 {"frontend.out", "backend.out", "kglobalaccel.out", "portal-kde.out"}) {
                std::string text = read_file(folder_ + "/" + name);
                if (!text.empty()) {
                    std::printf("---- %s (last 6000 bytes) ----\n%s\n", name,
                                text.substr(text.size() > 6000 ? text.size() - 6000 : 0).c_str());
                }
            }
        }
        if (fake_pid_ > 0) {
            kill(fake_pid_, SIGTERM);
            wait_for(fake_pid_, 30000);
        }
        for (pid_t pid : helpers_) {
            kill(pid, SIGTERM);
            wait_for(pid, 30000);
        }
        stop_bus();
        stop_xvfb(&server_);
        remove_folder(folder_);
    }

    // A private session bus: dbus-daemon forks, prints its address and pid,
    // and its first process ends. Its configuration names one service
    // folder, the test's own (empty unless the case puts a service there),
    // and none of the standard ones.
    void start_bus() {
        std::string config = folder_ + "/bus.conf";
        ASSERT_TRUE(write_file(
            config, "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                    "1.0//EN\"\n \"http://www.freedesktop.org/standards/dbus/1.0/"
                    "busconfig.dtd\">\n"
                    "<busconfig>\n"
                    "  <type>session</type>\n"
                    "  <listen>unix:tmpdir=/tmp</listen>\n"
                    "  <auth>EXTERNAL</auth>\n"
                    "  <servicedir>" +
                        xml_text(folder_ + "/services") +
                        "</servicedir>\n"
                        "  <policy context=\"default\">\n"
                        "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                        "    <allow eavesdrop=\"true\"/>\n"
                        "    <allow own=\"*\"/>\n"
                        "  </policy>\n"
                        "</busconfig>\n"));
        std::string out = folder_ + "/bus.out";
        std::remove(out.c_str());
        pid_t pid = spawn({"dbus-daemon", "--config-file=" + config, "--fork", "--print-address=1",
                           "--print-pid=1"},
                          {}, out);
        ASSERT_GT(pid, 0);
        int status = wait_for(pid, deadline_ms);
        std::vector<std::string> lines = lines_of(read_file(out));
        ASSERT_TRUE(status == 0 && lines.size() >= 2)
            << "dbus-daemon did not start (install dbus-daemon): status " << status << ", "
            << read_file(out);
        bus_address_ = lines[0];
        bus_pid_ = static_cast<pid_t>(std::stol(lines[1]));
    }

    void stop_bus(int signal = SIGTERM) {
        if (bus_pid_ > 0) {
            kill(bus_pid_, signal);
            bus_pid_ = -1;
        }
    }

    std::string bus_variable() {
        return "DBUS_SESSION_BUS_ADDRESS=" + bus_address_;
    }

    // Runs gdbus with `arguments` on the private bus; its exit status, and
    // its output in `output`.
    int gdbus(const std::vector<std::string>& arguments, std::string* output = nullptr) {
        std::string out = folder_ + "/gdbus.out";
        std::remove(out.c_str());
        std::vector<std::string> argv = {"gdbus"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        pid_t pid = spawn(argv, {bus_variable()}, out);
        int status = pid > 0 ? wait_for(pid, deadline_ms) : -1;
        if (output != nullptr) {
            *output = read_file(out);
        }
        return status;
    }

    // A method call on the private bus that must succeed.
    void call(const std::string& destination, const std::string& object, const std::string& method,
              const std::vector<std::string>& arguments = {}) {
        std::vector<std::string> argv = {"call",          "--session", "--dest",   destination,
                                         "--object-path", object,      "--method", method};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        std::string output;
        ASSERT_EQ(gdbus(argv, &output), 0) << "gdbus " << method << " failed: " << output;
    }

    bool name_owned(const std::string& name) {
        std::string output;
        return gdbus({"call", "--session", "--dest", "org.freedesktop.DBus", "--object-path",
                      "/org/freedesktop/DBus", "--method", "org.freedesktop.DBus.NameHasOwner",
                      name},
                     &output) == 0 &&
               output.find("true") != std::string::npos;
    }

    // Waits for `name` on the bus while `pid` runs; `output` is that
    // process's output, for the failure message.
    void wait_for_name(const std::string& name, pid_t pid, const std::string& output) {
        ASSERT_TRUE(poll_until(
            [&] {
                viewer_run probe;
                probe.pid = pid;
                return name_owned(name) || has_exited(&probe);
            },
            deadline_ms));
        ASSERT_TRUE(name_owned(name))
            << name << " did not show up on the bus: " << read_file(folder_ + "/" + output);
    }

    // Starts `argv` in a clean environment (a desktop session's): PATH,
    // HOME and XDG_RUNTIME_DIR of the test's own, the private bus, and
    // `environment`; output into `output` in the folder. Ended in TearDown.
    pid_t start_clean(const std::vector<std::string>& argv,
                      const std::vector<std::string>& environment, const std::string& output) {
        std::string home = folder_ + "/home";
        std::string runtime = folder_ + "/runtime";
        mkdir(home.c_str(), 0700);
        mkdir(runtime.c_str(), 0700);
        std::vector<std::string> command = {"env",
                                            "-i",
                                            "PATH=/usr/bin:/bin",
                                            "HOME=" + home,
                                            "XDG_RUNTIME_DIR=" + runtime,
                                            "XDG_CONFIG_HOME=" + home + "/.config",
                                            "XDG_DATA_HOME=" + home + "/.local/share",
                                            "XDG_CACHE_HOME=" + home + "/.cache",
                                            bus_variable()};
        command.insert(command.end(), environment.begin(), environment.end());
        command.insert(command.end(), argv.begin(), argv.end());
        pid_t pid = spawn(command, {}, folder_ + "/" + output);
        if (pid > 0) {
            helpers_.push_back(pid);
        }
        return pid;
    }

    // The real frontend, with the backends of `portals` (a folder of .portal
    // files) for the desktop `desktop`, once it owns its name. It sees qo
    // installed as a user would have it, in folders of the test's own: the
    // project's desktop entry in its XDG_DATA_HOME, and the viewer as `qo`
    // in a folder first on its PATH. A frontend with the host Registry
    // (1.19.4 on) takes the app id at Register only when it finds the entry
    // and the program its Exec line names ("App info not found" otherwise).
    pid_t start_frontend(const std::string& portals, const std::string& desktop) {
        EXPECT_EQ(access(frontend_path, X_OK), 0)
            << frontend_path << " is missing: install xdg-desktop-portal (make test does)";
        std::string applications = folder_ + "/home/.local/share/applications";
        for (const char* part : {"/home", "/home/.local", "/home/.local/share",
                                 "/home/.local/share/applications", "/bin"}) {
            mkdir((folder_ + part).c_str(), 0700);
        }
        std::string entry = read_file(QO_DESKTOP_ENTRY_PATH);
        EXPECT_FALSE(entry.empty()) << "cannot read " << QO_DESKTOP_ENTRY_PATH;
        EXPECT_TRUE(write_file(applications + "/example.qo.Qo.desktop", entry));
        EXPECT_EQ(symlink(linux_viewer_path().c_str(), (folder_ + "/bin/qo").c_str()), 0)
            << "cannot link the viewer into " << folder_ << "/bin: " << std::strerror(errno);
        pid_t pid =
            start_clean({frontend_path, "--verbose", "--replace"},
                        {"PATH=" + folder_ + "/bin:/usr/bin:/bin",
                         "XDG_DESKTOP_PORTAL_DIR=" + portals, "XDG_CURRENT_DESKTOP=" + desktop},
                        "frontend.out");
        EXPECT_GT(pid, 0);
        wait_for_name(portal_name, pid, "frontend.out");
        return pid;
    }

    // Watches the signals the frontend sends on its GlobalShortcuts
    // interface (dbus-monitor into monitor.out; a frontend from 1.17 on
    // sends them to the session's owner alone, which only a monitor sees),
    // to know when a signal a backend emitted has gone out to the viewer.
    void watch_frontend() {
        pid_t monitor =
            start_clean({"dbus-monitor", "--session",
                         "type='signal',interface='org.freedesktop.portal.GlobalShortcuts'"},
                        {}, "monitor.out");
        ASSERT_GT(monitor, 0);
        // Its own name's NameLost: it has become a monitor.
        ASSERT_TRUE(poll_until(
            [&] { return count_of(read_file(folder_ + "/monitor.out"), "member=NameLost") > 0; },
            deadline_ms))
            << "dbus-monitor did not start (dbus-bin): " << read_file(folder_ + "/monitor.out");
    }

    // How many times the watched frontend has sent the signal `member`
    // ("Deactivated").
    size_t frontend_sent(const std::string& member) {
        return count_of(read_file(folder_ + "/monitor.out"),
                        "interface=org.freedesktop.portal.GlobalShortcuts; member=" + member);
    }

    // The frontend's version as major * 10000 + minor * 100 + patch, from
    // its --version ("xdg-desktop-portal 1.16.0"); 0 when it prints none.
    int frontend_version() {
        std::string out = folder_ + "/version.out";
        pid_t pid = spawn({frontend_path, "--version"}, {}, out);
        if (pid <= 0 || wait_for(pid, deadline_ms) != 0) {
            return 0;
        }
        int major = 0;
        int minor = 0;
        int patch = 0;
        if (std::sscanf(read_file(out).c_str(), "xdg-desktop-portal %d.%d.%d", &major, &minor,
                        &patch) != 3) {
            return 0;
        }
        return major * 10000 + minor * 100 + patch;
    }

    // The fake portal in `mode`, once it owns its name on the bus.
    void start_fake(const std::string& mode) {
        fake_pid_ = spawn({python, QO_FAKE_PORTAL_PATH, mode, log_path_}, {bus_variable()},
                          folder_ + "/fake.out");
        ASSERT_GT(fake_pid_, 0);
        ASSERT_TRUE(poll_until(
            [&] { return read_file(log_path_).find("ready mode=" + mode) != std::string::npos; },
            deadline_ms))
            << "the fake portal did not start (it needs python3-dbus and python3-gi): "
            << read_file(folder_ + "/fake.out");
    }

    bool log_has(const std::string& text) {
        return read_file(log_path_).find(text) != std::string::npos;
    }

    // Asks the fake to emit Activated or Deactivated; once gdbus returns,
    // the signal is on its way to the viewer (the bus keeps a connection's
    // messages in order: the signal went out before the reply).
    void emit(const std::string& signal, const std::string& session, const std::string& id) {
        pid_t pid = spawn({"gdbus", "call", "--session", "--dest", "org.freedesktop.portal.Desktop",
                           "--object-path", "/org/freedesktop/portal/desktop", "--method",
                           "example.qo.test.PortalControl.Emit", signal, session, id},
                          {bus_variable()}, folder_ + "/gdbus.out");
        ASSERT_GT(pid, 0);
        ASSERT_EQ(wait_for(pid, deadline_ms), 0)
            << "gdbus failed (install libglib2.0-bin): " << read_file(folder_ + "/gdbus.out");
    }

    // The viewer's environment in a Wayland session whose bus is `bus`.
    std::vector<std::string> wayland_environment(const std::string& bus) {
        return {"WAYLAND_DISPLAY=wayland-qo-test", "XDG_SESSION_TYPE=", bus};
    }

    // Starts the viewer on the clock shader (tag 0) with `environment`, then
    // gives a window of the test's own the focus, and waits for a frame.
    void start_with_another_window_focused(const std::vector<std::string>& environment) {
        ASSERT_TRUE(write_file(folder_ + "/vs.fx", plain_vertex_shader()));
        ASSERT_TRUE(write_file(folder_ + "/ps.fx", clock_pixel_shader(0)));
        std::string error;
        ASSERT_TRUE(
            start_viewer(launch_for(platform_, server_.name, folder_, environment), &run_, &error))
            << error;
        ASSERT_TRUE(find_viewer_area(display(), platform_, deadline_ms, &area_, &error))
            << error << "\nstderr: " << run_stderr(run_);
        own_ = create_own_window(display(), 900, 650, 100, 100);
        ASSERT_NE(own_, 0u);
        ASSERT_TRUE(focus_window(display(), own_, deadline_ms));
        ASSERT_GE(wait_for_clock(display(), area_, 0, 1, deadline_ms).frame, 0) << "no frame drawn";
    }

    Display* display() {
        return server_.display;
    }

    clock_reading clock_at_least(long frame) {
        clock_reading reading = wait_for_clock(display(), area_, -1, frame, deadline_ms);
        EXPECT_GE(reading.frame, 0) << "the frame clock did not reach frame " << frame;
        return reading;
    }

    // With the viewer focused, F5 through XTest still rebuilds: the edited
    // shader (tag `tag`) shows.
    void expect_x11_f5_rebuilds(int tag) {
        ASSERT_TRUE(write_file(folder_ + "/ps.fx", clock_pixel_shader(tag)));
        ASSERT_TRUE(focus_window(display(), area_.window, deadline_ms));
        ASSERT_TRUE(fake_key(display(), XK_F5, true));
        clock_reading rebuilt = wait_for_clock(display(), area_, tag, 0, deadline_ms);
        ASSERT_TRUE(fake_key(display(), XK_F5, false));
        EXPECT_GE(rebuilt.frame, 0) << "F5 through X11 did not rebuild";
    }

    void close_and_expect_exit_0() {
        send_close_request(display(), area_.window);
        ASSERT_TRUE(wait_for_exit(&run_, deadline_ms)) << "the viewer did not end: killed";
        EXPECT_EQ(run_.status, 0);
    }

    int rebuilds() {
        build_report report = parse_builds(run_stdout(run_), "\n");
        EXPECT_TRUE(report.ok) << report.fault;
        return report.builds - 1;
    }

    viewer_platform platform_;
    xvfb_server server_;
    std::string folder_;
    std::string log_path_;
    std::string bus_address_;
    pid_t bus_pid_ = -1;
    pid_t fake_pid_ = -1;
    std::vector<pid_t> helpers_; // the frontend, backends, a second X server's clients
    viewer_run run_;
    viewer_area area_;
    Window own_ = 0;
};

} // namespace portal_test
