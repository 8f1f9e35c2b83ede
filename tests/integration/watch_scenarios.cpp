// The command line and rebuild on save (--watch), driven from outside: the
// files are saved by real editors and tools (Vim, sed) and by the ways they
// save (in place, a new file renamed over the old one, deleted and created
// again), and the picture and the builds in stdout say what the viewer did.
// The same scenarios run against the Linux binary and, built with
// QO_SCENARIOS_ON_WINE, against qo.exe under Wine.
// GoogleTest before the X11 headers: Xlib's macros (None, Bool) would break it.
#include <gtest/gtest.h>

#include "harness.h"
#include "viewer_fixture.h"

#include <X11/keysym.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

viewer_platform scenario_platform() {
#if QO_SCENARIOS_ON_WINE
    return wine_platform();
#else
    return linux_platform();
#endif
}

// Runs a shell command in `folder`; its exit status, or -1.
int run_in(const std::string& folder, const std::string& command) {
    std::string line = "cd '" + folder + "' && " + command + " </dev/null >/dev/null 2>&1";
    int status = std::system(line.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Writes `text` into the file in place: opened with truncation, written,
// closed, the way an editor that keeps the file's identity saves.
bool write_in_place(const std::string& path, const std::string& text) {
    int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CREAT, 0644);
    if (fd < 0) {
        return false;
    }
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return close(fd) == 0 && ok;
}

class Watch : public ViewerFixture {
  protected:
    void SetUp() override {
        viewer_platform platform = scenario_platform();
        ASSERT_NO_FATAL_FAILURE(open_fixture(platform, platform.name + "-watch"));
    }

    std::string path(const char* name) {
        return folder_ + "/" + name;
    }

    // Starts the viewer with `arguments` on the clock shader (tag 0; ps.fx
    // left as it is when `write_pixel` is false) and waits until it draws.
    void start_clock(const std::vector<std::string>& arguments,
                     const std::vector<std::string>& environment = {}, bool write_pixel = true) {
        ASSERT_TRUE(write_file(path("vs.fx"), plain_vertex_shader()));
        if (write_pixel) {
            ASSERT_TRUE(write_file(path("ps.fx"), clock_pixel_shader(0)));
        }
        viewer_launch launch = launch_for(platform_, server_.name, folder_, environment);
        launch.command.insert(launch.command.end(), arguments.begin(), arguments.end());
        std::string error;
        ASSERT_TRUE(start_viewer(launch, &run_, &error)) << error;
        ASSERT_TRUE(find_viewer_area(display(), platform_, deadline_ms, &area_, &error))
            << error << "\nstderr: " << run_stderr(run_);
        ASSERT_GE(wait_for_clock(display(), area_, 0, 1, deadline_ms).frame, 0);
    }

    // Thirty frames from now the picture still shows `tag`.
    void expect_tag_stays(int tag, const char* why) {
        clock_reading now = read_clock(display(), area_);
        clock_reading later = clock_at_least(now.frame + 30);
        EXPECT_EQ(later.tag, tag) << why;
    }

    // Closes the viewer; its builds.
    build_report close_viewer() {
        send_close_request(display(), area_.window);
        EXPECT_TRUE(wait_for_exit(&run_, deadline_ms)) << "the viewer did not end: killed";
        EXPECT_EQ(run_.status, 0);
        return builds();
    }
};

// ---- each way of saving: one rebuild, the saved shader on screen ------------------

struct save_case {
    const char* name;
    // Saves ps.fx, changed from the clock shader's tag 0 to tag 1.
    std::function<bool(const std::string& folder)> save;
};

void PrintTo(const save_case& c, std::ostream* out) {
    *out << c.name;
}

// The substitution that turns tag 0 of the clock shader into tag 1.
const char* const retag = "s/ 0\\.0 \\* 64/ 1.0 * 64/";

bool vim_save(const std::string& folder, const char* backupcopy) {
    return run_in(folder, std::string("vim -u NONE -i NONE -N -es -c 'set backupcopy=") +
                              backupcopy + "' -c '%" + retag + "' -c 'wq' ps.fx") == 0;
}

const save_case save_cases[] = {
    {"vim_backupcopy_yes", [](const std::string& f) { return vim_save(f, "yes"); }},
    {"vim_backupcopy_no", [](const std::string& f) { return vim_save(f, "no"); }},
    {"sed_in_place",
     [](const std::string& f) {
         return run_in(f, std::string("sed -i '") + retag + "' ps.fx") == 0;
     }},
    {"written_in_place",
     [](const std::string& f) { return write_in_place(f + "/ps.fx", clock_pixel_shader(1)); }},
    {"temporary_file_renamed_over",
     [](const std::string& f) {
         return write_in_place(f + "/ps.fx.new", clock_pixel_shader(1)) &&
                rename((f + "/ps.fx.new").c_str(), (f + "/ps.fx").c_str()) == 0;
     }},
    {"deleted_then_created",
     [](const std::string& f) {
         return unlink((f + "/ps.fx").c_str()) == 0 &&
                write_in_place(f + "/ps.fx", clock_pixel_shader(1));
     }},
    // A complete file linked in under the name: written without a name
    // (O_TMPFILE) and linked, or under another name, linked, and that name
    // removed at once.
    {"unnamed_file_linked_in",
     [](const std::string& f) {
         int fd = open(f.c_str(), O_TMPFILE | O_WRONLY, 0644);
         std::string text = clock_pixel_shader(1);
         bool ok =
             fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
         std::string name = "/proc/self/fd/" + std::to_string(fd);
         ok = ok && unlink((f + "/ps.fx").c_str()) == 0 &&
              linkat(AT_FDCWD, name.c_str(), AT_FDCWD, (f + "/ps.fx").c_str(), AT_SYMLINK_FOLLOW) ==
                  0;
         if (fd >= 0) {
             close(fd);
         }
         return ok;
     }},
    {"linked_in_then_other_name_removed",
     [](const std::string& f) {
         return write_in_place(f + "/ps.fx.new", clock_pixel_shader(1)) &&
                unlink((f + "/ps.fx").c_str()) == 0 &&
                link((f + "/ps.fx.new").c_str(), (f + "/ps.fx").c_str()) == 0 &&
                unlink((f + "/ps.fx.new").c_str()) == 0;
     }},
};

class SaveWay : public Watch, public ::testing::WithParamInterface<save_case> {};

TEST_P(SaveWay, GivesOneRebuildAndTheSavedShaderOnScreen) {
    ASSERT_NO_FATAL_FAILURE(start_clock({"--watch"}));
    clock_reading before = read_clock(display(), area_);
    ASSERT_TRUE(GetParam().save(folder_)) << "the save itself failed";
    clock_reading after = read_clock(display(), area_);
    clock_reading shown = wait_for_clock(display(), area_, 1, 0, deadline_ms);
    ASSERT_GE(shown.frame, 0) << "the saved shader did not show";
    ASSERT_NO_FATAL_FAILURE(expect_tag_stays(1, "the picture changed again"));
    build_report report = close_viewer();
    std::printf("frames: %ld before the save, %ld after it, %ld first seen with the saved shader\n",
                before.frame, after.frame, shown.frame);
    EXPECT_EQ(report.builds, 2) << "one build at start, one for the save";
    EXPECT_EQ(run_stderr(run_), "");
}

INSTANTIATE_TEST_SUITE_P(Saves, SaveWay, ::testing::ValuesIn(save_cases),
                         [](const ::testing::TestParamInfo<save_case>& info) {
                             return std::string(info.param.name);
                         });

// ---- what is not a save to build ---------------------------------------------------

TEST_F(Watch, AnotherFileSavedInTheFolderDoesNotRebuild) {
    ASSERT_NO_FATAL_FAILURE(start_clock({"--watch"}));
    ASSERT_TRUE(write_in_place(path("notes.txt"), "notes\n"));
    ASSERT_TRUE(write_file(path("ps.fx~"), clock_pixel_shader(1)));
    ASSERT_TRUE(write_in_place(path("vs.fx.orig"), plain_vertex_shader()));
    ASSERT_NO_FATAL_FAILURE(expect_tag_stays(0, "another file rebuilt the program"));
    EXPECT_EQ(close_viewer().builds, 1);
}

TEST_F(Watch, WithoutWatchASaveDoesNotRebuild) {
    ASSERT_NO_FATAL_FAILURE(start_clock({}));
    ASSERT_TRUE(write_in_place(path("ps.fx"), clock_pixel_shader(1)));
    ASSERT_NO_FATAL_FAILURE(expect_tag_stays(0, "a save rebuilt without --watch"));
    EXPECT_EQ(close_viewer().builds, 1);
}

#if !QO_SCENARIOS_ON_WINE
// A file written in chunks with pauses of several frames: a build of the
// half-written text would write compile errors on stderr. Linux only: Wine
// tells a Windows program of a Unix process's writes but not of its close
// (it watches IN_MODIFY, not IN_CLOSE_WRITE), and its sharing checks do not
// see a Unix process's open file, so qo.exe cannot know when this writer is
// done; the Windows unit tests check a Windows writer held open instead.
TEST_F(Watch, AFileWrittenSlowlyIsBuiltOnceWhenClosed) {
    ASSERT_NO_FATAL_FAILURE(start_clock({"--watch"}));
    std::string text = clock_pixel_shader(1);
    int fd = open(path("ps.fx").c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    const size_t chunks = 4;
    for (size_t i = 0; i < chunks; ++i) {
        size_t start = text.size() * i / chunks;
        size_t end = text.size() * (i + 1) / chunks;
        ASSERT_EQ(write(fd, text.data() + start, end - start), static_cast<ssize_t>(end - start));
        clock_reading now = read_clock(display(), area_);
        clock_reading later = clock_at_least(now.frame + 10);
        EXPECT_EQ(later.tag, 0) << "rebuilt after chunk " << i;
    }
    ASSERT_EQ(close(fd), 0);
    EXPECT_GE(wait_for_clock(display(), area_, 1, 0, deadline_ms).frame, 0)
        << "the closed file did not show";
    ASSERT_NO_FATAL_FAILURE(expect_tag_stays(1, "the picture changed again"));
    EXPECT_EQ(close_viewer().builds, 2);
    EXPECT_EQ(run_stderr(run_), "") << "a half-written file was built";
}
#endif

#if !QO_SCENARIOS_ON_WINE
// A writer that pauses half a second in the middle of its save, far longer
// than a frame: in place, and deleting the file and creating it again while a
// reader that had the old file open (an indexer, the viewer's own build, the
// editor) closes it during the pause. Folder events name the file, not which
// one: that close must not make the new, half-written file look let go.
TEST_F(Watch, AWriterThatPausesMidSaveIsBuiltOnceWhenDone) {
    for (bool recreated : {false, true}) {
        SCOPED_TRACE(recreated ? "deleted and created again, the old file's reader closing it"
                               : "written in place");
        ASSERT_NO_FATAL_FAILURE(start_clock({"--watch"}));
        std::string text = clock_pixel_shader(1);
        int reader = open(path("ps.fx").c_str(), O_RDONLY);
        ASSERT_GE(reader, 0) << std::strerror(errno);
        if (recreated) {
            ASSERT_EQ(unlink(path("ps.fx").c_str()), 0);
        }
        int fd = open(path("ps.fx").c_str(), O_WRONLY | O_TRUNC | O_CREAT, 0644);
        ASSERT_GE(fd, 0) << std::strerror(errno);
        size_t half = text.size() / 2;
        ASSERT_EQ(write(fd, text.data(), half), static_cast<ssize_t>(half));
        usleep(100 * 1000);
        close(reader);
        usleep(400 * 1000);
        EXPECT_EQ(read_clock(display(), area_).tag, 0) << "built half-written";
        ASSERT_EQ(write(fd, text.data() + half, text.size() - half),
                  static_cast<ssize_t>(text.size() - half));
        ASSERT_EQ(close(fd), 0);
        EXPECT_GE(wait_for_clock(display(), area_, 1, 0, deadline_ms).frame, 0)
            << "the finished file did not show";
        ASSERT_NO_FATAL_FAILURE(expect_tag_stays(1, "the picture changed again"));
        EXPECT_EQ(close_viewer().builds, 2) << "one build at start, one for the save";
        EXPECT_EQ(run_stderr(run_), "") << "a half-written file was built";
        end_platform_session(platform_);
    }
}
#endif

#if QO_SCENARIOS_ON_WINE
// A Windows writer that lets nobody else open ps.fx (share mode 0) holds it
// two seconds in the middle of its save: qo.exe cannot read it meanwhile and
// must not build it (no "cannot read", no compile errors of an empty or
// half text), and builds it once the writer lets go.
TEST_F(Watch, AFileNobodyCanReadIsBuiltOnceTheWriterLetsGo) {
    ASSERT_NO_FATAL_FAILURE(start_clock({"--watch"}));
    std::string writer_folder = path("writer");
    ASSERT_EQ(mkdir(writer_folder.c_str(), 0755), 0);
    ASSERT_TRUE(write_file(writer_folder + "/text.fx", clock_pixel_shader(1)));
    viewer_launch launch = launch_for(platform_, server_.name, writer_folder);
    launch.command = {"wine", QO_EXCLUSIVE_WRITER_PATH, "..\\ps.fx", "text.fx", "2000"};
    viewer_run writer;
    std::string error;
    ASSERT_TRUE(start_viewer(launch, &writer, &error)) << error;
    ASSERT_TRUE(poll_until([&] { return access((writer_folder + "/held").c_str(), F_OK) == 0; },
                           deadline_ms))
        << "the writer did not take the file: " << run_stderr(writer);
    ASSERT_NO_FATAL_FAILURE(expect_tag_stays(0, "built while the writer held the file"));
    ASSERT_TRUE(wait_for_exit(&writer, deadline_ms)) << "the writer did not end";
    EXPECT_EQ(writer.status, 0) << run_stderr(writer);
    EXPECT_GE(wait_for_clock(display(), area_, 1, 0, deadline_ms).frame, 0)
        << "the saved shader did not show once the writer let go";
    ASSERT_NO_FATAL_FAILURE(expect_tag_stays(1, "the picture changed again"));
    EXPECT_EQ(close_viewer().builds, 2) << "one build at start, one for the save";
    EXPECT_EQ(run_stderr(run_), "") << "built while it could not be read";
}
#endif

TEST_F(Watch, FiftyQuickSavesKeepItDrawingAndEndOnTheLastText) {
    ASSERT_NO_FATAL_FAILURE(start_clock({"--watch"}));
    clock_reading before = read_clock(display(), area_);
    for (int i = 0; i < 50; ++i) {
        std::string text = clock_pixel_shader(i == 49 ? 3 : 1 + i % 2);
        // In place and renamed over, in turn.
        ASSERT_TRUE(i % 2 ? write_in_place(path("ps.fx"), text) : write_file(path("ps.fx"), text));
    }
    clock_reading last = wait_for_clock(display(), area_, 3, 0, deadline_ms);
    ASSERT_GE(last.frame, 0) << "the last saved shader did not show";
    clock_reading later = clock_at_least(last.frame + 30);
    EXPECT_EQ(later.tag, 3);
    build_report report = close_viewer();
    std::printf("frames %ld to %ld: %d rebuilds\n", before.frame, later.frame, report.builds - 1);
    EXPECT_GE(report.builds, 2);
    // At most one rebuild per frame drawn meanwhile. (A build may read the
    // file while the next save is writing it: stderr may then hold compile
    // errors of that moment, which the next save's rebuild puts right.)
    EXPECT_LE(report.builds - 1, later.frame - before.frame + 1);
}

#if !QO_SCENARIOS_ON_WINE
// ps.fx is a symbolic link into another folder (shaders kept in a
// repository): a save at the target, one through the link, and one that
// renames a new file over the target each rebuild once; the link pointed at
// a file in a third folder is followed there, and the old target's saves no
// longer count.
TEST_F(Watch, ASymbolicLinkIntoAnotherFolderIsFollowed) {
    std::string repository = make_temp_folder("watch-repository");
    std::string other = make_temp_folder("watch-other");
    ASSERT_FALSE(repository.empty() || other.empty());
    ASSERT_TRUE(write_file(repository + "/real.fx", clock_pixel_shader(0)));
    ASSERT_TRUE(write_file(other + "/other.fx", clock_pixel_shader(0)));
    ASSERT_EQ(symlink((repository + "/real.fx").c_str(), path("ps.fx").c_str()), 0);
    ASSERT_NO_FATAL_FAILURE(start_clock({"--watch"}, {}, false));
    struct step {
        const char* what;
        std::function<bool()> save;
        int tag; // on screen afterwards
    };
    const step steps[] = {
        {"saved at the target",
         [&] { return write_in_place(repository + "/real.fx", clock_pixel_shader(1)); }, 1},
        {"saved through the link",
         [&] { return write_in_place(path("ps.fx"), clock_pixel_shader(2)); }, 2},
        {"a new file renamed over the target",
         [&] {
             return write_in_place(repository + "/real.fx.new", clock_pixel_shader(3)) &&
                    rename((repository + "/real.fx.new").c_str(),
                           (repository + "/real.fx").c_str()) == 0;
         },
         3},
        {"the link pointed at another folder's file",
         [&] {
             return symlink((other + "/other.fx").c_str(), path("ps.fx.new").c_str()) == 0 &&
                    rename(path("ps.fx.new").c_str(), path("ps.fx").c_str()) == 0;
         },
         0},
        {"saved at the new target",
         [&] { return write_in_place(other + "/other.fx", clock_pixel_shader(1)); }, 1},
    };
    for (const step& s : steps) {
        ASSERT_TRUE(s.save()) << s.what << ": the save itself failed";
        EXPECT_GE(wait_for_clock(display(), area_, s.tag, 0, deadline_ms).frame, 0)
            << s.what << ": the saved shader did not show";
    }
    ASSERT_TRUE(write_in_place(repository + "/real.fx", clock_pixel_shader(2)));
    ASSERT_NO_FATAL_FAILURE(expect_tag_stays(1, "a save at the old target rebuilt"));
    EXPECT_EQ(close_viewer().builds, 6) << "one build at start, one for each save";
    EXPECT_EQ(run_stderr(run_), "");
    remove_folder(repository);
    remove_folder(other);
}

// ps.fx is a symbolic link into another folder that goes and comes back (a
// branch switch, a build tool: rm -rf, then mkdir), or that is not there
// when the viewer starts: once the target is there its saves rebuild.
TEST_F(Watch, ALinkIsFollowedAgainOnceItsTargetIsThere) {
    for (bool there_at_start : {true, false}) {
        SCOPED_TRACE(there_at_start ? "the target's folder removed and made again"
                                    : "dangling at start");
        std::string repository = make_temp_folder("watch-repository");
        ASSERT_FALSE(repository.empty());
        std::string target = repository + "/shaders/ps.fx";
        ASSERT_EQ(mkdir((repository + "/shaders").c_str(), 0755), 0);
        ASSERT_TRUE(write_file(target, clock_pixel_shader(0)));
        ASSERT_EQ(symlink(target.c_str(), path("ps.fx").c_str()), 0);
        if (there_at_start) {
            ASSERT_NO_FATAL_FAILURE(start_clock({"--watch"}, {}, false));
            ASSERT_EQ(run_in(repository, "rm -rf shaders"), 0);
        } else {
            ASSERT_EQ(run_in(repository, "rm -rf shaders"), 0);
            ASSERT_TRUE(write_file(path("vs.fx"), plain_vertex_shader()));
            viewer_launch launch = launch_for(platform_, server_.name, folder_);
            launch.command.push_back("--watch");
            std::string error;
            ASSERT_TRUE(start_viewer(launch, &run_, &error)) << error;
            ASSERT_TRUE(find_viewer_area(display(), platform_, deadline_ms, &area_, &error))
                << error;
            // The first build, of a file it cannot read, is out.
            ASSERT_TRUE(poll_until([&] { return !run_stderr(run_).empty(); }, deadline_ms));
        }
        ASSERT_EQ(mkdir((repository + "/shaders").c_str(), 0755), 0);
        ASSERT_TRUE(write_in_place(target, clock_pixel_shader(1)));
        EXPECT_GE(wait_for_clock(display(), area_, 1, 0, deadline_ms).frame, 0)
            << "the target's first save did not show";
        ASSERT_TRUE(write_in_place(target, clock_pixel_shader(2)));
        EXPECT_GE(wait_for_clock(display(), area_, 2, 0, deadline_ms).frame, 0)
            << "the next save did not show";
        ASSERT_NO_FATAL_FAILURE(expect_tag_stays(2, "the picture changed again"));
        EXPECT_EQ(close_viewer().builds, 3) << "one build at start, one for each save";
        if (there_at_start) {
            EXPECT_EQ(run_stderr(run_), "");
        }
        end_platform_session(platform_);
        remove_folder(repository);
        unlink(path("ps.fx").c_str());
    }
}
#else
// ps.fx is a symbolic link to a file elsewhere: qo.exe watches its own folder
// only (Wine shows the link as a file), so only F5 rebuilds.
TEST_F(Watch, F5StillRebuilds) {
    std::string elsewhere = make_temp_folder("watch-elsewhere");
    ASSERT_FALSE(elsewhere.empty());
    ASSERT_TRUE(write_file(elsewhere + "/ps.fx", clock_pixel_shader(0)));
    ASSERT_EQ(symlink((elsewhere + "/ps.fx").c_str(), path("ps.fx").c_str()), 0);
    ASSERT_NO_FATAL_FAILURE(start_clock({"--watch"}, {}, false));
    ASSERT_TRUE(write_in_place(elsewhere + "/ps.fx", clock_pixel_shader(1)));
    ASSERT_NO_FATAL_FAILURE(expect_tag_stays(0, "rebuilt from an edit outside the folder"));

    ASSERT_TRUE(focus_window(display(), area_.window, deadline_ms));
    ASSERT_TRUE(fake_key(display(), XK_F5, true));
    clock_reading rebuilt = wait_for_clock(display(), area_, 1, 0, deadline_ms);
    ASSERT_TRUE(fake_key(display(), XK_F5, false));
    EXPECT_GE(rebuilt.frame, 0) << "F5 did not rebuild";
    EXPECT_GE(close_viewer().builds, 3);
    remove_folder(elsewhere);
}
#endif

#if !QO_SCENARIOS_ON_WINE
long long monotonic_ms() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Save-to-picture latency in frames, with frames made 40 ms long by the
// slow-swap shim so that a frame is long enough to tell from outside. The
// frames that the shim's log shows ended before the save completed are the
// ones on screen at the save; the first frame begun after it shows it.
TEST_F(Watch, TheSavedShaderShowsOnTheFirstFrameBegunAfterTheSave) {
    std::string log = path("swaps.log");
    // A copy in the test's folder: LD_PRELOAD splits paths at spaces, and a
    // clone's path may hold one. After what is preloaded already (the
    // sanitizer run preloads the driver).
    std::string preload = path("slow_swap_shim.so");
    ASSERT_TRUE(write_file(preload, read_file(QO_SLOW_SWAP_SHIM_PATH)));
    if (const char* earlier = std::getenv("LD_PRELOAD")) {
        preload = std::string(earlier) + " " + preload;
    }
    ASSERT_NO_FATAL_FAILURE(start_clock(
        {"--watch"}, {"LD_PRELOAD=" + preload, "QO_SLOW_SWAP_MS=40", "QO_SLOW_SWAP_LOG=" + log}));
    clock_at_least(read_clock(display(), area_).frame + 3);
    ASSERT_TRUE(write_in_place(path("ps.fx"), clock_pixel_shader(1)));
    long long saved_ms = monotonic_ms();
    long first_shown = -1;
    ASSERT_TRUE(poll_until(
        [&] {
            clock_reading reading = read_clock(display(), area_);
            if (reading.tag == 1) {
                first_shown = reading.frame;
            }
            return first_shown >= 0;
        },
        deadline_ms));
    build_report report = close_viewer();
    EXPECT_EQ(report.builds, 2);

    // Swap lines "<start> <end>", one per frame, frame 1 first.
    std::ifstream swaps(log);
    long long start = 0;
    long long end = 0;
    long on_screen = 0;
    long long shown_ms = -1;
    for (long frame = 1; swaps >> start >> end; ++frame) {
        if (end <= saved_ms) {
            on_screen = frame;
        }
        if (frame == first_shown) {
            shown_ms = end;
        }
    }
    ASSERT_GE(shown_ms, 0) << "the swap log has no line for frame " << first_shown
                           << ": the slow-swap shim was not preloaded";
    std::printf("save-to-picture: frame %ld on screen at the save, frame %ld first shows it "
                "(%ld frames, %lld ms with 40 ms frames)\n",
                on_screen, first_shown, first_shown - on_screen, shown_ms - saved_ms);
    EXPECT_GE(first_shown - on_screen, 1);
    // The frame being drawn at the save may have polled just before it.
    EXPECT_LE(first_shown - on_screen, 2);
}
#endif

// ---- the command line ----------------------------------------------------------------

class CommandLine : public Watch {
  protected:
    // Runs the viewer with `arguments` in the test's folder, without a
    // display: whatever opens a window fails.
    void run_without_display(const std::vector<std::string>& arguments) {
        viewer_launch launch = launch_for(platform_, "", folder_);
        launch.command.insert(launch.command.end(), arguments.begin(), arguments.end());
        std::string error;
        ASSERT_TRUE(start_viewer(launch, &run_, &error)) << error;
        ASSERT_TRUE(wait_for_exit(&run_, deadline_ms)) << "killed";
    }
};

TEST_F(CommandLine, HelpAndVersionPrintOnStdoutAndOpenNoWindow) {
    for (const char* option : {"--help", "-h"}) {
        ASSERT_NO_FATAL_FAILURE(run_without_display({option, "--bogus"}));
        EXPECT_EQ(run_.status, 0) << option;
        std::string out = run_stdout(run_);
        EXPECT_EQ(
            out.rfind("Usage: qo [--frame N] [--paused] [--watch] [DIR]" + platform_.line_end, 0),
            0u)
            << out;
        EXPECT_NE(out.find("--watch"), std::string::npos);
        EXPECT_EQ(out.size() - out.rfind(platform_.line_end), platform_.line_end.size())
            << "the text ends with a line end";
        EXPECT_EQ(run_stderr(run_), "") << option;
    }
    ASSERT_NO_FATAL_FAILURE(run_without_display({"--version"}));
    EXPECT_EQ(run_.status, 0);
    EXPECT_EQ(run_stdout(run_), "qo " QO_PROJECT_VERSION + platform_.line_end);
    EXPECT_EQ(run_stderr(run_), "");
    // Nothing was written into the folder but the run's own output files.
    EXPECT_NE(access(path("vs.fx").c_str(), F_OK), 0);
    EXPECT_NE(access(path("ps.fx").c_str(), F_OK), 0);
}

TEST_F(CommandLine, ABadCommandLineEndsWith2AndOneLineNamingIt) {
    struct Case {
        std::vector<std::string> arguments;
        std::string line;
    };
    const Case cases[] = {
        {{"--bogus"}, "qo: unknown option '--bogus'; see 'qo --help'"},
        {{"--watch", "a", "b"}, "qo: more than one folder: 'b'; see 'qo --help'"},
        {{"no such folder"}, "qo: cannot enter no such folder: No such file or directory"},
    };
    for (const Case& c : cases) {
        ASSERT_NO_FATAL_FAILURE(run_without_display(c.arguments));
        EXPECT_EQ(run_.status, 2) << c.line;
        EXPECT_EQ(run_stderr(run_), c.line + platform_.line_end);
        EXPECT_EQ(run_stdout(run_), "");
    }
}

// The folder named on the command line is where the shaders are read, as if
// qo were started there; the current folder's shaders are not used.
TEST_F(CommandLine, AFolderArgumentRunsThere) {
    std::string sub = path("my shaders");
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    ASSERT_TRUE(write_file(sub + "/vs.fx", plain_vertex_shader()));
    ASSERT_TRUE(write_file(sub + "/ps.fx", solid_pixel_shader(rgb{20, 200, 120})));
    ASSERT_TRUE(write_file(path("vs.fx"), plain_vertex_shader()));
    ASSERT_TRUE(write_file(path("ps.fx"), solid_pixel_shader(rgb{200, 20, 20})));
    viewer_launch launch = launch_for(platform_, server_.name, folder_);
    launch.command.push_back("my shaders");
    std::string error;
    ASSERT_TRUE(start_viewer(launch, &run_, &error)) << error;
    ASSERT_TRUE(find_viewer_area(display(), platform_, deadline_ms, &area_, &error)) << error;
    std::string seen;
    EXPECT_TRUE(wait_for_uniform_colour(display(), area_, rgb{20, 200, 120}, deadline_ms, &seen))
        << seen;
    EXPECT_EQ(close_viewer().builds, 1);
    EXPECT_EQ(run_stderr(run_), "");
}

} // namespace
