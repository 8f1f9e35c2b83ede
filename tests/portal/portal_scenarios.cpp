// F5 through the desktop portal's global shortcuts: the real viewer on an
// Xvfb of the test's own with WAYLAND_DISPLAY set (nothing connects to it),
// a private session bus (dbus-daemon) and the fake portal of
// fake_portal.py on it, in the mode each case asks for. A window of the
// test's own has the keyboard focus, so no X key event can explain a
// rebuild: only the portal's Activated can.
//
// Needs dbus-daemon, /usr/bin/python3 with the dbus and gi modules, and
// gdbus (libglib2.0-bin); a case fails, saying so, when one is missing.
// GoogleTest before the X11 headers: Xlib's macros (None, Bool) would break it.
#include <gtest/gtest.h>

#include "harness.h"

#include <X11/keysym.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#ifndef QO_FAKE_PORTAL_PATH
#define QO_FAKE_PORTAL_PATH ""
#endif

namespace {

constexpr int deadline_ms = 60000;
constexpr const char* python = "/usr/bin/python3";
constexpr const char* hint_tail = "; see README \"Wayland desktops\"\n";

// Starts `argv` with `environment` added to the test's own, stdout and stderr
// into `output` (/dev/null when empty); -1 on failure.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
            const std::string& output) {
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
int wait_for(pid_t pid, int timeout_ms) {
    viewer_run run;
    run.pid = pid;
    if (!wait_for_exit(&run, timeout_ms)) {
        return -1;
    }
    return run.status;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) {
        lines.push_back(line);
    }
    return lines;
}

// The index of the first line starting with `start`; -1 when none does.
int line_starting(const std::vector<std::string>& lines, const std::string& start) {
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].compare(0, start.size(), start) == 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

size_t count_of(const std::string& text, const std::string& part) {
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
        std::string tag = std::string(info->name()).substr(0, 24);
        for (char& c : tag) {
            c = c == '/' ? '-' : c;
        }
        folder_ = make_temp_folder("portal-" + tag);
        ASSERT_FALSE(folder_.empty()) << "cannot make a temporary folder";
        log_path_ = folder_ + "/portal.log";
        ASSERT_NO_FATAL_FAILURE(start_bus());
    }

    void TearDown() override {
        kill_viewer(&run_);
        if (HasFailure()) {
            std::printf("---- the viewer's stdout ----\n%s\n---- its stderr ----\n%s\n"
                        "---- the fake portal's log ----\n%s\n---- its output ----\n%s\n----\n",
                        run_stdout(run_).c_str(), run_stderr(run_).c_str(),
                        read_file(log_path_).c_str(), read_file(folder_ + "/fake.out").c_str());
        }
        if (fake_pid_ > 0) {
            kill(fake_pid_, SIGTERM);
            wait_for(fake_pid_, 30000);
        }
        stop_bus();
        stop_xvfb(&server_);
        remove_folder(folder_);
    }

    // A private session bus: dbus-daemon forks, prints its address and pid,
    // and its first process ends.
    void start_bus() {
        std::string out = folder_ + "/bus.out";
        pid_t pid = spawn(
            {"dbus-daemon", "--session", "--fork", "--print-address=1", "--print-pid=1"}, {}, out);
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
    viewer_run run_;
    viewer_area area_;
    Window own_ = 0;
};

// ---- the shortcut works ----------------------------------------------------------

// "ok", and "no-registry": a portal before 1.19.4 answers Register with
// "unknown method" and takes the rest as usual.
class PortalWorks : public PortalScenario, public ::testing::WithParamInterface<const char*> {};

TEST_P(PortalWorks, RegistersBindsF5AndRebuildsEveryFrameFromActivatedToDeactivated) {
    ASSERT_NO_FATAL_FAILURE(start_fake(GetParam()));
    ASSERT_NO_FATAL_FAILURE(start_with_another_window_focused(wayland_environment(bus_variable())));
    ASSERT_TRUE(poll_until([&] { return log_has("BindShortcuts"); }, deadline_ms))
        << "the viewer did not bind its shortcut";

    // The sequence: Register with the app id, then CreateSession, then
    // BindShortcuts with the session the Response named, all from one
    // connection.
    std::vector<std::string> log = lines_of(read_file(log_path_));
    int connect = line_starting(log, "connect ");
    int reg = line_starting(log, "Register ");
    int create = line_starting(log, "CreateSession ");
    int bind = line_starting(log, "BindShortcuts ");
    ASSERT_TRUE(connect >= 0 && reg > connect && create > reg && bind > create)
        << "the calls came in another order";
    std::string sender = log[connect].substr(std::strlen("connect "));
    std::string element = sender.substr(1);
    for (char& c : element) {
        c = c == '.' ? '_' : c;
    }
    EXPECT_EQ(log[reg], "Register example.qo.Qo {} from " + sender);
    EXPECT_EQ(log[create], "CreateSession {handle_token=qo_create_session, "
                           "session_handle_token=qo_session} from " +
                               sender);
    EXPECT_EQ(log[bind], "BindShortcuts /org/freedesktop/portal/desktop/session/" + element +
                             "/qo_session [[rebuild, {description=Rebuild the shaders, "
                             "preferred_trigger=F5}]] parent='' {handle_token=qo_bind_shortcuts} "
                             "from " +
                             sender);

    // Other shortcuts and other sessions are not F5.
    ASSERT_TRUE(write_file(folder_ + "/ps.fx", clock_pixel_shader(1)));
    ASSERT_NO_FATAL_FAILURE(emit("Activated", "", "another"));
    ASSERT_NO_FATAL_FAILURE(
        emit("Activated", "/org/freedesktop/portal/desktop/session/1_999/other", "rebuild"));
    clock_reading before = read_clock(display(), area_);
    clock_reading idle = clock_at_least(before.frame + 30);
    EXPECT_EQ(idle.tag, 0) << "a signal for another shortcut or session rebuilt";

    // Activated: every frame rebuilds, until Deactivated.
    before = read_clock(display(), area_);
    ASSERT_NO_FATAL_FAILURE(emit("Activated", "", "rebuild"));
    clock_reading first = wait_for_clock(display(), area_, 1, 0, deadline_ms);
    ASSERT_GE(first.frame, 0) << "Activated did not rebuild";
    clock_reading held = clock_at_least(first.frame + 20);
    ASSERT_NO_FATAL_FAILURE(emit("Deactivated", "", "rebuild"));
    clock_reading released = read_clock(display(), area_);

    // None after it.
    ASSERT_TRUE(write_file(folder_ + "/ps.fx", clock_pixel_shader(2)));
    clock_reading later = clock_at_least(released.frame + 30);
    EXPECT_EQ(later.tag, 1) << "the viewer rebuilt after Deactivated";
    EXPECT_EQ(run_stderr(run_), "");

    ASSERT_NO_FATAL_FAILURE(close_and_expect_exit_0());
    int count = rebuilds();
    std::printf("frames: %ld before Activated, %ld first rebuilt, %ld held, %ld after "
                "Deactivated, %ld later; %d rebuilds\n",
                before.frame, first.frame, held.frame, released.frame, later.frame, count);
    // Every frame from the first rebuilt one seen to the last held one seen
    // (one of slack for the frame being read), none outside the emissions
    // (two of slack: the frame in flight when a signal lands).
    EXPECT_GE(count, held.frame - first.frame);
    EXPECT_LE(count, released.frame - before.frame + 2);
}

INSTANTIATE_TEST_SUITE_P(Modes, PortalWorks, ::testing::Values("ok", "no-registry"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             std::string name = info.param;
                             return name == "ok" ? std::string("Ok") : std::string("NoRegistry");
                         });

// ---- the portal path fails: one hint, the X11 path goes on ------------------------------

struct Failure {
    const char* name;
    const char* mode; // the fake's mode; "" for no fake on the bus, "no-bus" for no bus
    const char* reason;
};

class PortalFails : public PortalScenario, public ::testing::WithParamInterface<Failure> {};

TEST_P(PortalFails, OneHintThenDrawingAndX11F5GoOn) {
    const Failure& failure = GetParam();
    std::string bus = bus_variable();
    if (std::string(failure.mode) == "no-bus") {
        bus = "DBUS_SESSION_BUS_ADDRESS=unix:path=" + folder_ + "/no-bus-here";
    } else if (failure.mode[0] != '\0') {
        ASSERT_NO_FATAL_FAILURE(start_fake(failure.mode));
    }
    ASSERT_NO_FATAL_FAILURE(start_with_another_window_focused(wayland_environment(bus)));
    std::string hint = "qo: F5 is seen only while an X11 window has the keyboard focus (" +
                       std::string(failure.reason) + ")" + hint_tail;
    ASSERT_TRUE(wait_for_stderr(run_, hint, deadline_ms)) << "no hint";

    // Drawing goes on, and the hint stays the only line.
    clock_reading after_hint = read_clock(display(), area_);
    clock_at_least(after_hint.frame + 30);
    ASSERT_NO_FATAL_FAILURE(expect_x11_f5_rebuilds(1));
    ASSERT_NO_FATAL_FAILURE(close_and_expect_exit_0());
    EXPECT_EQ(run_stderr(run_), hint);
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, PortalFails,
    ::testing::Values(
        Failure{"Cancelled", "cancel", "cancelled"},
        Failure{"ResponseError", "error", "the portal refused the request"},
        Failure{"RegisterRefused", "register-refused", "the portal refused the app id"},
        Failure{"NoGlobalShortcuts", "no-globalshortcuts", "no global-shortcuts portal"},
        Failure{"NoPortal", "", "no desktop portal"}, Failure{"NoBus", "no-bus", "no session bus"}),
    [](const ::testing::TestParamInfo<Failure>& info) { return std::string(info.param.name); });

// The bus, or the portal alone, goes away while F5 is held through the
// portal: the held state ends with it, one hint says why, and the X11 path
// goes on.
struct Loss {
    const char* name;
    bool whole_bus; // else only the portal ends
    const char* reason;
};

class PortalLost : public PortalScenario, public ::testing::WithParamInterface<Loss> {};

TEST_P(PortalLost, WhileHeldReleasesF5AndHintsOnce) {
    ASSERT_NO_FATAL_FAILURE(start_fake("ok"));
    ASSERT_NO_FATAL_FAILURE(start_with_another_window_focused(wayland_environment(bus_variable())));
    ASSERT_TRUE(poll_until([&] { return log_has("BindShortcuts"); }, deadline_ms));
    ASSERT_TRUE(write_file(folder_ + "/ps.fx", clock_pixel_shader(1)));
    ASSERT_NO_FATAL_FAILURE(emit("Activated", "", "rebuild"));
    ASSERT_GE(wait_for_clock(display(), area_, 1, 0, deadline_ms).frame, 0)
        << "Activated did not rebuild";

    if (GetParam().whole_bus) {
        // Killed: on SIGTERM the bus may still pass on the portal's
        // departure before it closes the viewer's connection.
        stop_bus(SIGKILL);
    } else {
        kill(fake_pid_, SIGKILL);
        wait_for(fake_pid_, deadline_ms);
        fake_pid_ = -1;
    }
    std::string hint = "qo: F5 is seen only while an X11 window has the keyboard focus (" +
                       std::string(GetParam().reason) + ")" + hint_tail;
    ASSERT_TRUE(wait_for_stderr(run_, hint, deadline_ms)) << "no hint";
    ASSERT_TRUE(write_file(folder_ + "/ps.fx", clock_pixel_shader(2)));
    clock_reading after_hint = read_clock(display(), area_);
    clock_reading later = clock_at_least(after_hint.frame + 30);
    EXPECT_EQ(later.tag, 1) << "F5 stayed held";

    ASSERT_NO_FATAL_FAILURE(expect_x11_f5_rebuilds(3));
    ASSERT_NO_FATAL_FAILURE(close_and_expect_exit_0());
    EXPECT_EQ(run_stderr(run_), hint);
}

INSTANTIATE_TEST_SUITE_P(Ends, PortalLost,
                         ::testing::Values(Loss{"Bus", true, "lost the session bus"},
                                           Loss{"Portal", false, "the portal went away"}),
                         [](const ::testing::TestParamInfo<Loss>& info) {
                             return std::string(info.param.name);
                         });

// ---- an X11 session: no bus traffic at all ----------------------------------------------

TEST_F(PortalScenario, X11SessionMakesNoBusConnection) {
    ASSERT_NO_FATAL_FAILURE(start_fake("ok"));
    ASSERT_NO_FATAL_FAILURE(start_with_another_window_focused(
        {"WAYLAND_DISPLAY=", "XDG_SESSION_TYPE=x11", bus_variable()}));
    clock_reading now = read_clock(display(), area_);
    clock_at_least(now.frame + 60);
    ASSERT_NO_FATAL_FAILURE(expect_x11_f5_rebuilds(1));
    ASSERT_NO_FATAL_FAILURE(close_and_expect_exit_0());
    // The fake logs every connection that joins the bus after it.
    EXPECT_EQ(read_file(log_path_), "ready mode=ok\n");
    EXPECT_EQ(run_stderr(run_), "");
}

// ---- a portal that never answers ------------------------------------------------------

// Frames go on while Register waits for an answer; the call's timeout (the
// bus library's 25 s) is when the hint comes.
TEST_F(PortalScenario, SilentPortalDelaysNoFrame) {
    ASSERT_NO_FATAL_FAILURE(start_fake("silent"));
    ASSERT_NO_FATAL_FAILURE(start_with_another_window_focused(wayland_environment(bus_variable())));
    ASSERT_TRUE(poll_until([&] { return log_has("Register example.qo.Qo"); }, deadline_ms));
    clock_reading now = read_clock(display(), area_);
    clock_at_least(now.frame + 30);
    EXPECT_EQ(run_stderr(run_), "") << "the call ended before the frames";

    std::string hint = "qo: F5 is seen only while an X11 window has the keyboard focus (the "
                       "portal did not answer)" +
                       std::string(hint_tail);
    ASSERT_TRUE(wait_for_stderr(run_, hint, 2 * deadline_ms)) << "no hint after the timeout";
    now = read_clock(display(), area_);
    clock_at_least(now.frame + 30);
    EXPECT_FALSE(log_has("CreateSession"));
    ASSERT_NO_FATAL_FAILURE(close_and_expect_exit_0());
    EXPECT_EQ(count_of(run_stderr(run_), hint_tail), 1u);
}

} // namespace
