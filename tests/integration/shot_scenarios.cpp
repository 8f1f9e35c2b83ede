// qo --shot FILE [--frame N], run as a user or a CI job would: the picture
// file read back with libpng, the exit status, stdout and stderr. On Linux
// with no display at all (DISPLAY and WAYLAND_DISPLAY unset); built with
// QO_SCENARIOS_ON_WINE, the same against qo.exe under Wine (which draws
// through the X server it is given).
// GoogleTest before the X11 headers: Xlib's macros (None, Bool) would break it.
#include <gtest/gtest.h>

#include "harness.h"
#include "picture_fixture.h"

#include <X11/keysym.h>

#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <map>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

class Shot : public PictureFixture {};

// ---- the picture ---------------------------------------------------------------------

// The parameter block read back bit for bit at the first frame (no --frame),
// at frame 120, and long after the clock stopped advancing (2^19 seconds);
// the shaders in DIR, the file named from where qo was started; an existing
// file replaced.
TEST_F(Shot, ParameterBlockBitForBitAtEachFrame) {
    std::string shaders = folder_ + "/shader dir";
    ASSERT_EQ(mkdir(shaders.c_str(), 0755), 0);
    ASSERT_NO_FATAL_FAILURE(
        write_shaders(shaders, compatibility_vertex_shader, fpar_bits_pixel_shader));
    ASSERT_TRUE(write_file(folder_ + "/frame 120.png", "an older picture"));
    struct Case {
        long frame;
        std::vector<std::string> arguments;
        std::string file;
    };
    const Case cases[] = {
        {1, {"--shot", "first.png", "shader dir"}, "first.png"},
        {120, {"shader dir", "--frame", "120", "--shot", "frame 120.png"}, "frame 120.png"},
        {40000000, {"--shot", "late.png", "--frame", "40000000", "shader dir"}, "late.png"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("frame " + std::to_string(c.frame));
        ASSERT_NO_FATAL_FAILURE(run_qo(folder_, c.arguments));
        EXPECT_EQ(run_.status, 0);
        EXPECT_EQ(run_stderr(run_), "");
        expect_one_clean_build();
        EXPECT_FALSE(exists(shaders + "/" + c.file)) << "written into DIR";
        probe_image image;
        std::string error;
        ASSERT_TRUE(read_png(folder_ + "/" + c.file, &image, &error)) << error;
        std::string first;
        EXPECT_EQ(count_differences(image, expected_fpar_picture(c.frame), &first), 0) << first;
    }
    EXPECT_EQ(folder_entries(folder_),
              (std::set<std::string>{"shader dir", "first.png", "frame 120.png", "late.png"}));
}

#if !QO_SCENARIOS_ON_WINE
// With an X server there (DISPLAY set) qo --shot does not touch it: no
// window is created on it, and the picture is the one drawn without it.
TEST_F(Shot, SamePictureWithADisplayAndNoWindowOnIt) {
    ASSERT_NO_FATAL_FAILURE(write_shaders(folder_, plain_vertex_shader(), clock_pixel_shader(2)));
    ASSERT_NO_FATAL_FAILURE(run_qo(folder_, {"--shot", "none.png", "--frame", "77"}));
    ASSERT_EQ(run_.status, 0) << run_stderr(run_);

    std::string error;
    ASSERT_TRUE(start_xvfb(&server_, &error)) << error;
    XSelectInput(server_.display, DefaultRootWindow(server_.display), SubstructureNotifyMask);
    XSync(server_.display, False);
    ASSERT_NO_FATAL_FAILURE(
        run_qo(folder_, {"--shot", "shown.png", "--frame", "77"}, server_.name));
    ASSERT_EQ(run_.status, 0) << run_stderr(run_);
    XSync(server_.display, False);
    int windows_made = 0;
    while (XPending(server_.display) > 0) {
        XEvent event;
        XNextEvent(server_.display, &event);
        windows_made += event.type == CreateNotify ? 1 : 0;
    }
    EXPECT_EQ(windows_made, 0);

    probe_image without;
    probe_image with;
    ASSERT_TRUE(read_png(folder_ + "/none.png", &without, &error)) << error;
    ASSERT_TRUE(read_png(folder_ + "/shown.png", &with, &error)) << error;
    std::string first;
    EXPECT_EQ(count_differences(with, without, &first), 0) << first;
    rgb centre{without.rgb[(300 * 800 + 400) * 3], without.rgb[(300 * 800 + 400) * 3 + 1],
               without.rgb[(300 * 800 + 400) * 3 + 2]};
    EXPECT_EQ(decode_clock(centre).frame, 77) << describe(centre);
}

// The picture is the viewer's window at the same frame, pixel for pixel:
// the viewer is held on that frame by a preloaded shim while its window is
// read from the screen.
TEST_F(Shot, SameAsTheWindowAtThatFrame) {
    struct Case {
        const char* name;
        std::string folder; // empty: the clock shader in a folder of the test's
        long frame;
    };
    const Case cases[] = {
        {"the example", QO_EXAMPLES_PATH, 3},
        {"the example later", QO_EXAMPLES_PATH, 40},
        {"the clock shader", "", 9},
    };
    std::string error;
    ASSERT_TRUE(start_xvfb(&server_, &error)) << error;
    ASSERT_NO_FATAL_FAILURE(write_shaders(folder_, plain_vertex_shader(), clock_pixel_shader(1)));
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " at frame " + std::to_string(c.frame));
        std::string shaders = c.folder.empty() ? folder_ : c.folder;
        std::string picture = folder_ + "/shot " + std::to_string(c.frame) + ".png";
        ASSERT_NO_FATAL_FAILURE(
            run_qo(folder_, {"--shot", picture, "--frame", std::to_string(c.frame), shaders}));
        ASSERT_EQ(run_.status, 0) << run_stderr(run_);
        probe_image shot;
        ASSERT_TRUE(read_png(picture, &shot, &error)) << error;

        std::string ready = outputs_ + "/ready";
        std::remove(ready.c_str());
        viewer_launch launch =
            launch_for(platform_, server_.name, shaders,
                       {environment_with_added("LD_PRELOAD", QO_FRAME_STOP_SHIM_PATH, " "),
                        "QO_STOP_AT_FRAME=" + std::to_string(c.frame), "QO_STOP_READY=" + ready});
        // Started in the outputs' folder: DIR may be the source's.
        launch.folder = outputs_;
        launch.command.push_back(shaders);
        run_ = viewer_run();
        ASSERT_TRUE(start_viewer(launch, &run_, &error)) << error;
        ASSERT_TRUE(poll_until([&] { return exists(ready) || has_exited(&run_); }, deadline_ms))
            << "the viewer never reached frame " << c.frame;
        ASSERT_TRUE(exists(ready)) << "the viewer ended: " << run_stderr(run_);
        viewer_area area;
        ASSERT_TRUE(find_viewer_area(server_.display, platform_, deadline_ms, &area, &error))
            << error;
        probe_image window;
        ASSERT_TRUE(grab_area(server_.display, area, &window));
        kill_viewer(&run_);
        std::string first;
        EXPECT_EQ(count_differences(shot, window, &first), 0) << first;
    }
}

// The file FILE names, whatever the path to it: an existing file keeps its
// mode, a symbolic link stays a link and the file it names (relative to
// the link's folder, through a chain of links, or not there yet) gets the
// picture, as a shell's redirection writes through a link. A link whose
// target cannot be made fails with one line, changes nothing and makes no
// folder.
TEST_F(Shot, ReplacesTheFileAPathNamesKeepingItsMode) {
    ASSERT_NO_FATAL_FAILURE(write_shaders(folder_, plain_vertex_shader(), clock_pixel_shader(0)));
    mode_t mask = umask(0);
    umask(mask);
    const mode_t new_mode = 0666 & ~mask;
    ASSERT_EQ(mkdir((folder_ + "/sub").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((folder_ + "/links").c_str(), 0755), 0);
    ASSERT_TRUE(write_file(folder_ + "/private.png", "an older picture"));
    ASSERT_EQ(chmod((folder_ + "/private.png").c_str(), 0600), 0);
    ASSERT_TRUE(write_file(folder_ + "/sub/shared.png", "an older picture"));
    ASSERT_EQ(chmod((folder_ + "/sub/shared.png").c_str(), 0640), 0);
    const std::pair<const char*, const char*> links[] = {
        {"to existing.png", "sub/shared.png"},
        {"dangling.png", "sub/missing.png"},
        {"links/relative.png", "../sub/relative.png"},
        {"chain.png", "links/chained.png"},
        {"links/chained.png", "../sub/end of chain.png"},
        {"broken.png", "no such folder/x.png"},
    };
    for (const auto& link : links) {
        ASSERT_EQ(symlink(link.second, (folder_ + "/" + link.first).c_str()), 0) << link.first;
    }
    struct Case {
        const char* file;
        const char* written; // the file that gets the picture; nullptr: none
        mode_t mode;
    };
    const Case cases[] = {
        {"private.png", "private.png", 0600},
        {"to existing.png", "sub/shared.png", 0640},
        {"dangling.png", "sub/missing.png", new_mode},
        {"links/relative.png", "sub/relative.png", new_mode},
        {"chain.png", "sub/end of chain.png", new_mode},
        {"broken.png", nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        ASSERT_NO_FATAL_FAILURE(run_qo(folder_, {"--shot", c.file, "--frame", "4"}));
        if (c.written == nullptr) {
            EXPECT_EQ(run_.status, 1);
            EXPECT_EQ(run_stderr(run_),
                      std::string("qo: cannot write ") + c.file + ": No such file or directory\n");
            EXPECT_FALSE(exists(folder_ + "/no such folder"));
            continue;
        }
        EXPECT_EQ(run_.status, 0);
        EXPECT_EQ(run_stderr(run_), "");
        struct stat status;
        ASSERT_EQ(lstat((folder_ + "/" + c.written).c_str(), &status), 0) << "not written";
        EXPECT_TRUE(S_ISREG(status.st_mode));
        EXPECT_EQ(status.st_mode & 07777, c.mode);
        probe_image image;
        std::string error;
        ASSERT_TRUE(read_png(folder_ + "/" + c.written, &image, &error)) << error;
        rgb centre{image.rgb[(300 * 800 + 400) * 3], image.rgb[(300 * 800 + 400) * 3 + 1],
                   image.rgb[(300 * 800 + 400) * 3 + 2]};
        EXPECT_EQ(decode_clock(centre).frame, 4) << describe(centre);
    }
    for (const auto& link : links) {
        char target[256];
        ssize_t length = readlink((folder_ + "/" + link.first).c_str(), target, sizeof target);
        ASSERT_GT(length, 0) << link.first << " is no longer a link";
        EXPECT_EQ(std::string(target, static_cast<size_t>(length)), link.second);
    }
    EXPECT_EQ(
        folder_entries(folder_ + "/sub"),
        (std::set<std::string>{"shared.png", "missing.png", "relative.png", "end of chain.png"}));
    EXPECT_EQ(folder_entries(folder_ + "/links"),
              (std::set<std::string>{"relative.png", "chained.png"}));
}

// The viewer paused at frame n shows qo --shot --frame n's picture, pixel
// for pixel, however it got there: started with --frame n --paused, and
// back at n after seeking away and back (Up, Down) and stepping (., ,).
TEST_F(Shot, SameAsTheWindowPausedThere) {
    std::string error;
    ASSERT_TRUE(start_xvfb(&server_, &error)) << error;
    for (long frame : {2400L, 12345678L}) {
        SCOPED_TRACE("frame " + std::to_string(frame));
        std::string picture = folder_ + "/shot " + std::to_string(frame) + ".png";
        ASSERT_NO_FATAL_FAILURE(run_qo(
            folder_, {"--shot", picture, "--frame", std::to_string(frame), QO_EXAMPLES_PATH}));
        ASSERT_EQ(run_.status, 0) << run_stderr(run_);
        probe_image shot;
        ASSERT_TRUE(read_png(picture, &shot, &error)) << error;

        viewer_launch launch = launch_for(platform_, server_.name, outputs_);
        launch.command.insert(launch.command.end(),
                              {"--frame", std::to_string(frame), "--paused", QO_EXAMPLES_PATH});
        run_ = viewer_run();
        ASSERT_TRUE(start_viewer(launch, &run_, &error)) << error;
        viewer_area area;
        ASSERT_TRUE(find_viewer_area(server_.display, platform_, deadline_ms, &area, &error))
            << error;
        ASSERT_TRUE(focus_window(server_.display, area.window, deadline_ms));
        auto same_as_shot = [&](const char* after) {
            std::string first;
            bool same = poll_until(
                [&] {
                    probe_image window;
                    return grab_area(server_.display, area, &window) &&
                           count_differences(window, shot, &first) == 0;
                },
                deadline_ms);
            EXPECT_TRUE(same) << after << ": " << first;
        };
        same_as_shot("at the start");
        // Each key's line comes once its frame is on screen.
        int lines = 0;
        for (KeySym key : {XK_Up, XK_Down, XK_period, XK_comma}) {
            ASSERT_TRUE(fake_key(server_.display, key, true));
            ASSERT_TRUE(fake_key(server_.display, key, false));
            ++lines;
            EXPECT_TRUE(poll_until(
                [&] {
                    std::string err = run_stderr(run_);
                    int count = 0;
                    for (size_t at = err.find("qo: frame "); at != std::string::npos;
                         at = err.find("qo: frame ", at + 1)) {
                        ++count;
                    }
                    return count >= lines;
                },
                deadline_ms))
                << "no line for the key: " << run_stderr(run_);
        }
        same_as_shot("after Up, Down, '.' and ','");
        std::string back = "qo: frame " + std::to_string(frame) + " (";
        EXPECT_NE(run_stderr(run_).rfind(back), std::string::npos) << run_stderr(run_);
        kill_viewer(&run_);
    }
}

// The disk fills up in the middle of the picture (a preloaded shim fails the
// writes after the first 1024 bytes): one stderr line with the reason, exit
// status 1, the picture already there untouched and no part-written file.
TEST_F(Shot, DiskFullMidWriteLeavesTheOldFileWhole) {
    ASSERT_NO_FATAL_FAILURE(write_shaders(folder_, plain_vertex_shader(), clock_pixel_shader(0)));
    ASSERT_TRUE(write_file(folder_ + "/old.png", "the picture of an earlier run"));
    viewer_launch launch = launch_for(
        platform_, "", folder_,
        {"WAYLAND_DISPLAY", environment_with_added("LD_PRELOAD", QO_FULL_DISK_SHIM_PATH, " ")});
    launch.command.insert(launch.command.end(), {"--shot", "old.png", "--frame", "3"});
    std::string error;
    ASSERT_TRUE(start_viewer(launch, &run_, &error)) << error;
    ASSERT_TRUE(wait_for_exit(&run_, deadline_ms)) << "qo --shot did not end";
    EXPECT_EQ(run_.status, 1);
    EXPECT_EQ(run_stderr(run_), "qo: cannot write old.png: No space left on device\n");
    EXPECT_TRUE(read_file(folder_ + "/old.png") == "the picture of an earlier run")
        << "old.png was changed";
    EXPECT_EQ(folder_entries(folder_),
              (std::set<std::string>{"vs.fx", "ps.fx", "old.png", "qo.stdout", "qo.stderr"}));
}

// A stop (SIGTERM) while the picture is being written, at two moments (a
// preloaded shim sends it): right after qo's file beside the target was
// made, and from inside the first write to it. The process ends by the
// signal, and neither a part-written file nor the temporary one is left;
// the picture already there is untouched.
TEST_F(Shot, StopMidWriteLeavesNoTemporaryFile) {
    ASSERT_NO_FATAL_FAILURE(write_shaders(folder_, plain_vertex_shader(), clock_pixel_shader(0)));
    ASSERT_TRUE(write_file(folder_ + "/old.png", "the picture of an earlier run"));
    for (const char* moment : {"created", "write"}) {
        SCOPED_TRACE(std::string("a stop at ") + moment);
        viewer_launch launch = launch_for(
            platform_, "", folder_,
            {"WAYLAND_DISPLAY", environment_with_added("LD_PRELOAD", QO_FULL_DISK_SHIM_PATH, " "),
             std::string("QO_FULL_DISK_SHIM_STOP=") + moment});
        launch.command.insert(launch.command.end(), {"--shot", "old.png"});
        run_ = viewer_run();
        std::string error;
        ASSERT_TRUE(start_viewer(launch, &run_, &error)) << error;
        ASSERT_TRUE(wait_for_exit(&run_, deadline_ms)) << "qo --shot did not end";
        EXPECT_EQ(run_.signal, SIGTERM) << "status " << run_.status << ": " << run_stderr(run_);
        EXPECT_TRUE(read_file(folder_ + "/old.png") == "the picture of an earlier run")
            << "old.png was changed";
        EXPECT_EQ(folder_entries(folder_),
                  (std::set<std::string>{"vs.fx", "ps.fx", "old.png", "qo.stdout", "qo.stderr"}));
    }
}
#else
// qo.exe's picture is qo's on Linux, drawn off screen there with EGL. qo.exe
// draws into a framebuffer object, Linux into a window system's buffer,
// which Mesa keeps the other way up: a detailed shader (the example's ray
// marching) may come out a level apart at a few pixels where the two
// interpolations round differently (23 of 480000 at frame 50 here). More
// than one pixel in a thousand would be another picture: another frame,
// upside down, another size.
TEST_F(Shot, SameAsTheLinuxShot) {
    std::string error;
    for (long frame : {1L, 50L}) {
        std::string picture = "example " + std::to_string(frame) + ".png";
        ASSERT_NO_FATAL_FAILURE(run_qo(
            folder_, {"--shot", picture, "--frame", std::to_string(frame), QO_EXAMPLES_PATH}));
        ASSERT_EQ(run_.status, 0) << run_stderr(run_);
        viewer_platform wine = platform_;
        platform_ = linux_platform();
        ASSERT_NO_FATAL_FAILURE(run_qo(
            folder_, {"--shot", "linux.png", "--frame", std::to_string(frame), QO_EXAMPLES_PATH}));
        platform_ = wine;
        ASSERT_EQ(run_.status, 0) << run_stderr(run_);
        probe_image windows_picture;
        probe_image linux_picture;
        ASSERT_TRUE(read_png(folder_ + "/" + picture, &windows_picture, &error)) << error;
        ASSERT_TRUE(read_png(folder_ + "/linux.png", &linux_picture, &error)) << error;
        std::string first;
        long differences = count_differences(windows_picture, linux_picture, &first);
        EXPECT_GE(differences, 0) << first;
        EXPECT_LE(differences, shot_width * shot_height / 1000)
            << "frame " << frame << ": " << differences << " pixels differ, first " << first;
    }
}

// The hidden window is never shown: no window larger than a pixel is mapped
// on Wine's X server (Wine maps helper windows of 1x1 at (-1, -1) of its
// own, which show nothing).
TEST_F(Shot, ShowsNoWindow) {
    ASSERT_NO_FATAL_FAILURE(write_shaders(folder_, plain_vertex_shader(), clock_pixel_shader(2)));
    XSelectInput(server_.display, DefaultRootWindow(server_.display), SubstructureNotifyMask);
    XSync(server_.display, False);
    ASSERT_NO_FATAL_FAILURE(run_qo(folder_, {"--shot", "hidden.png", "--frame", "5"}));
    ASSERT_EQ(run_.status, 0) << run_stderr(run_);
    XSync(server_.display, False);
    std::map<Window, std::pair<int, int>> sizes;
    std::string shown;
    while (XPending(server_.display) > 0) {
        XEvent event;
        XNextEvent(server_.display, &event);
        if (event.type == CreateNotify) {
            sizes[event.xcreatewindow.window] = {event.xcreatewindow.width,
                                                 event.xcreatewindow.height};
        } else if (event.type == ConfigureNotify) {
            sizes[event.xconfigure.window] = {event.xconfigure.width, event.xconfigure.height};
        } else if (event.type == MapNotify) {
            std::pair<int, int> size = sizes[event.xmap.window];
            if (size.first > 1 || size.second > 1) {
                shown += " " + std::to_string(size.first) + "x" + std::to_string(size.second);
            }
        }
    }
    EXPECT_EQ(shown, "") << "windows mapped";
    probe_image image;
    std::string error;
    ASSERT_TRUE(read_png(folder_ + "/hidden.png", &image, &error)) << error;
    rgb centre{image.rgb[(300 * 800 + 400) * 3], image.rgb[(300 * 800 + 400) * 3 + 1],
               image.rgb[(300 * 800 + 400) * 3 + 2]};
    EXPECT_EQ(decode_clock(centre).frame, 5) << describe(centre);
}
#endif

// ---- failures ------------------------------------------------------------------------

// A program that does not link: the build lines and the compile errors as
// the viewer gives them, exit status 1, and no file: neither a new one nor a
// change to the one already there.
TEST_F(Shot, BuildThatDoesNotLinkWritesNoFile) {
    ASSERT_NO_FATAL_FAILURE(write_shaders(folder_, plain_vertex_shader(),
                                          "void main()\n{\n    gl_FragColor = vec4(1.0)\n}\n"));
    ASSERT_TRUE(write_file(folder_ + "/old.png", "the picture of an earlier run"));
    for (const char* file : {"new.png", "old.png"}) {
        SCOPED_TRACE(file);
        ASSERT_NO_FATAL_FAILURE(run_qo(folder_, {"--shot", file}));
        EXPECT_EQ(run_.status, 1);
        build_report report = parse_builds(run_stdout(run_), platform_.line_end);
        EXPECT_TRUE(report.ok) << report.fault;
        EXPECT_EQ(report.builds, 1);
        std::string err = run_stderr(run_);
        EXPECT_NE(err.find("ps.fx:4:"), std::string::npos) << err;
        EXPECT_NE(err.find(std::string("qo: the program did not link: ") + file + " not written"),
                  std::string::npos)
            << err;
        EXPECT_EQ(folder_entries(folder_), (std::set<std::string>{"vs.fx", "ps.fx", "old.png"}));
        EXPECT_EQ(read_file(folder_ + "/old.png"), "the picture of an earlier run");
    }
}

// A FILE that cannot be written: one stderr line naming it and the reason,
// exit status 1, nothing left behind in the folders around it.
TEST_F(Shot, FileThatCannotBeWritten) {
    ASSERT_NO_FATAL_FAILURE(write_shaders(folder_, plain_vertex_shader(), clock_pixel_shader(0)));
    ASSERT_EQ(mkdir((folder_ + "/a folder").c_str(), 0755), 0);
    ASSERT_TRUE(write_file(folder_ + "/a file", "text"));
    struct Case {
        const char* file;
        const char* reason; // on Linux; Wine words its own
    };
    const Case cases[] = {
        {"no such folder/x.png", "No such file or directory"},
        {"a folder", "Is a directory"},
        {"a file/x.png", "Not a directory"},
    };
    std::set<std::string> before = folder_entries(folder_);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        ASSERT_NO_FATAL_FAILURE(run_qo(folder_, {"--shot", c.file}));
        EXPECT_EQ(run_.status, 1);
        expect_one_clean_build();
        std::string err = run_stderr(run_);
        std::string start = std::string("qo: cannot write ") + c.file + ": ";
        EXPECT_EQ(err.compare(0, start.size(), start), 0) << err;
        EXPECT_EQ(err.find('\n'), err.size() - 1) << "not one line: " << err;
        if (!platform_.wine) {
            EXPECT_EQ(err, start + c.reason + "\n");
        }
        EXPECT_EQ(folder_entries(folder_), before);
        EXPECT_TRUE(folder_entries(folder_ + "/a folder").empty());
        EXPECT_EQ(read_file(folder_ + "/a file"), "text");
    }
}

// A device is written to as it is, not replaced: qo's null device and a
// path to it. Exit status 0, no stderr line, nothing made beside it or in
// the folder.
TEST_F(Shot, DeviceIsWrittenAsItIs) {
    ASSERT_NO_FATAL_FAILURE(write_shaders(folder_, plain_vertex_shader(), clock_pixel_shader(0)));
#if QO_SCENARIOS_ON_WINE
    const char* const devices[] = {"NUL", "nul", "\\\\.\\NUL"};
#else
    const char* const devices[] = {"/dev/null", "/dev/../dev/null"};
#endif
    std::set<std::string> before = folder_entries(folder_);
    for (const char* device : devices) {
        SCOPED_TRACE(device);
        ASSERT_NO_FATAL_FAILURE(run_qo(folder_, {"--shot", device, "--frame", "2"}));
        EXPECT_EQ(run_.status, 0);
        EXPECT_EQ(run_stderr(run_), "");
        expect_one_clean_build();
        EXPECT_EQ(folder_entries(folder_), before);
    }
}

// A bad --frame, or --paused (the viewer's) with --shot: a usage error
// (status 2, one stderr line pointing at --help), nothing built and no file.
TEST_F(Shot, BadFrameIsAUsageError) {
    ASSERT_NO_FATAL_FAILURE(write_shaders(folder_, plain_vertex_shader(), clock_pixel_shader(0)));
    const std::vector<std::vector<std::string>> cases = {
        {"--shot", "x.png", "--frame", "0"},
        {"--shot", "x.png", "--frame", "-3"},
        {"--shot", "x.png", "--frame", "abc"},
        {"--shot", "x.png", "--frame", "1.5"},
        {"--shot", "x.png", "--frame", " 7"},
        {"--shot", "x.png", "--frame", "2147483648"},
        {"--shot", "x.png", "--frame", "99999999999999999999"},
        {"--shot", "x.png", "--frame", ""},
        {"--shot", "x.png", "--frame"},
        {"--shot", "x.png", "--paused"},
        {"--shot"},
    };
    std::set<std::string> before = folder_entries(folder_);
    for (const std::vector<std::string>& arguments : cases) {
        std::string shown;
        for (const std::string& argument : arguments) {
            shown += " [" + argument + "]";
        }
        SCOPED_TRACE("qo" + shown);
        ASSERT_NO_FATAL_FAILURE(run_qo(folder_, arguments));
        EXPECT_EQ(run_.status, 2);
        EXPECT_EQ(run_stdout(run_), "");
        std::string err = run_stderr(run_);
        std::string end = "; see 'qo --help'" + platform_.line_end;
        EXPECT_EQ(err.compare(0, 4, "qo: "), 0) << err;
        EXPECT_TRUE(err.size() > end.size() &&
                    err.compare(err.size() - end.size(), end.size(), end) == 0)
            << err;
        EXPECT_EQ(err.find('\n'), err.size() - 1) << "not one line: " << err;
        EXPECT_EQ(folder_entries(folder_), before);
    }
}

} // namespace
