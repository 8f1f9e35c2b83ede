// The Linux save watch: its reading of inotify records, and the real watch on
// a folder where files are saved as editors and tools save them. inotify
// queues an event within the system call that causes it, so a poll right
// after an operation sees everything it caused.
#include "app/save_watch.h"
#include "app/save_watch_inotify.h"

#include "temp_folder.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/inotify.h>
#include <tuple>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>
#include <vector>

namespace {

// One inotify record as the kernel lays it out, the name padded with NULs.
void add_event(std::vector<char>* buffer, int watch, std::uint32_t mask, const char* name) {
    std::uint32_t padded = name[0] == '\0' ? 0 : (std::strlen(name) / 16 + 1) * 16;
    inotify_event event{};
    event.wd = watch;
    event.mask = mask;
    event.len = padded;
    const char* bytes = reinterpret_cast<const char*>(&event);
    buffer->insert(buffer->end(), bytes, bytes + sizeof event);
    std::string text(name);
    text.resize(padded, '\0');
    buffer->insert(buffer->end(), text.begin(), text.end());
}

} // namespace

// The viewer's folder is watch 1; ps.fx is a link to shaders/real.fx, whose
// folder is watch 2.
inotify_names linked_names() {
    inotify_names names;
    names.folder = 1;
    names.target_folder[1] = 2;
    names.target_name[1] = "real.fx";
    return names;
}

TEST(SaveWatchInotify, RecordsThatMarkACompleteSave) {
    struct Case {
        const char* what;
        std::vector<std::tuple<int, std::uint32_t, const char*>> events;
        bool saved;
        unsigned created;
        int opens; // of ps.fx
    };
    const Case cases[] = {
        {"written and closed", {{1, IN_CLOSE_WRITE, "ps.fx"}}, true, 0, -1},
        {"renamed in", {{1, IN_MOVED_TO, "vs.fx"}}, true, 0, 0},
        {"linked in: complete when nothing more comes", {{1, IN_CREATE, "ps.fx"}}, false, 2, 0},
        {"created by open: still open",
         {{1, IN_CREATE, "ps.fx"}, {1, IN_OPEN, "ps.fx"}},
         false,
         2,
         1},
        {"created, then closed",
         {{1, IN_CREATE, "vs.fx"}, {1, IN_CLOSE_WRITE, "vs.fx"}},
         true,
         0,
         0},
        {"read: opened and closed",
         {{1, IN_OPEN, "ps.fx"}, {1, IN_CLOSE_NOWRITE, "ps.fx"}},
         false,
         0,
         0},
        {"another file",
         {{1, IN_CLOSE_WRITE, "notes.txt"}, {1, IN_MOVED_TO, "ps.fx~"}},
         false,
         0,
         0},
        {"Vim's temporary names",
         {{1, IN_CREATE, "4913"}, {1, IN_CLOSE_WRITE, ".ps.fx.swp"}},
         false,
         0,
         0},
        {"a folder named like a shader",
         {{1, IN_CREATE | IN_ISDIR, "ps.fx"}, {1, IN_MOVED_TO | IN_ISDIR, "vs.fx"}},
         false,
         0,
         0},
        {"lost events", {{1, IN_Q_OVERFLOW, ""}}, true, 0, 0},
        {"the folder's own events", {{1, IN_IGNORED, ""}, {1, IN_DELETE_SELF, ""}}, false, 0, 0},
        {"a backup, the file, its mode: one save",
         {{1, IN_MOVED_TO, "ps.fx~"},
          {1, IN_CREATE, "ps.fx"},
          {1, IN_OPEN, "ps.fx"},
          {1, IN_CLOSE_WRITE, "ps.fx"},
          {1, IN_CLOSE_WRITE, "vs.fx"}},
         true,
         0,
         0},
        {"the link's target saved in its folder", {{2, IN_CLOSE_WRITE, "real.fx"}}, true, 0, -1},
        {"the target renamed in", {{2, IN_MOVED_TO, "real.fx"}}, true, 0, 0},
        {"the target linked in", {{2, IN_CREATE, "real.fx"}}, false, 2, 0},
        {"another file in the target's folder, or the target's name in the viewer's",
         {{2, IN_CLOSE_WRITE, "ps.fx"}, {1, IN_CLOSE_WRITE, "real.fx"}, {3, IN_CREATE, "real.fx"}},
         false,
         0,
         0},
    };
    for (const Case& c : cases) {
        std::vector<char> buffer;
        for (const auto& event : c.events) {
            add_event(&buffer, std::get<0>(event), std::get<1>(event), std::get<2>(event));
        }
        inotify_scan scan = scan_inotify_events(buffer.data(), buffer.size(), linked_names());
        EXPECT_EQ(scan.saved, c.saved) << c.what;
        EXPECT_EQ(scan.created, c.created) << c.what;
        EXPECT_EQ(scan.opens[1], c.opens) << c.what;
    }
}

TEST(SaveWatchInotify, ARecordCutShortIsLeftOut) {
    std::vector<char> buffer;
    add_event(&buffer, 1, IN_CREATE, "notes.txt");
    add_event(&buffer, 1, IN_CLOSE_WRITE, "ps.fx");
    for (std::size_t cut = 1; cut < 20; ++cut) {
        inotify_scan scan = scan_inotify_events(buffer.data(), buffer.size() - cut, linked_names());
        EXPECT_FALSE(scan.saved) << cut;
    }
    EXPECT_TRUE(scan_inotify_events(buffer.data(), buffer.size(), linked_names()).saved);
}

// Events that make the watch find where a link leads again: its target's
// folder removed (the watch goes: IN_IGNORED) or moved away, or, while the
// target is not there, a folder of the name waited for made in the folder
// watched for it. Files, and other names, do not.
TEST(SaveWatchInotify, RecordsThatMakeALinkFollowedAgain) {
    struct Case {
        const char* what;
        std::uint32_t mask;
        int watch;
        const char* name;
        unsigned relink;
    };
    const Case cases[] = {
        {"the target's folder removed", IN_DELETE_SELF, 2, "", 2},
        {"its watch gone", IN_IGNORED, 2, "", 2},
        {"the target's folder moved away", IN_MOVE_SELF, 2, "", 2},
        {"a folder of the name waited for made", IN_CREATE | IN_ISDIR, 2, "real.fx", 2},
        {"a folder of the name waited for moved in", IN_MOVED_TO | IN_ISDIR, 2, "real.fx", 2},
        {"a file of that name made", IN_CREATE, 2, "real.fx", 0},
        {"another folder made there", IN_CREATE | IN_ISDIR, 2, "other", 0},
        {"the viewer's folder's watch gone", IN_IGNORED, 1, "", 0},
        {"a folder of that name in the viewer's folder", IN_CREATE | IN_ISDIR, 1, "real.fx", 0},
    };
    for (const Case& c : cases) {
        std::vector<char> buffer;
        add_event(&buffer, c.watch, c.mask, c.name);
        inotify_scan scan = scan_inotify_events(buffer.data(), buffer.size(), linked_names());
        EXPECT_EQ(scan.relink, c.relink) << c.what;
        EXPECT_FALSE(scan.saved) << c.what;
    }
}

namespace {

class SaveWatch : public TempFolderTest {
  protected:
    void SetUp() override {
        TempFolderTest::SetUp();
        write_file("vs.fx", "vertex\n");
        write_file("ps.fx", "pixel\n");
        ASSERT_EQ(start_save_watch("."), 0);
    }
    void TearDown() override {
        stop_save_watch();
        TempFolderTest::TearDown();
    }
};

void write_in_place(const char* name, const char* text) {
    int fd = open(name, O_WRONLY | O_TRUNC | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, text, std::strlen(text)), static_cast<ssize_t>(std::strlen(text)));
    close(fd);
}

} // namespace

TEST_F(SaveWatch, EachWayOfSavingGivesOneRebuildAndOtherChangesNone) {
    struct Case {
        const char* what;
        std::function<void()> change;
        int saved;
    };
    const Case cases[] = {
        {"written in place", [] { write_in_place("ps.fx", "a\n"); }, 1},
        {"a new file renamed over it",
         [] {
             write_in_place("ps.fx.tmp", "b\n");
             ASSERT_EQ(rename("ps.fx.tmp", "ps.fx"), 0);
         },
         1},
        {"deleted, then created",
         [] {
             ASSERT_EQ(unlink("vs.fx"), 0);
             write_in_place("vs.fx", "c\n");
         },
         1},
        {"replaced by a symbolic link",
         [] {
             write_in_place("other.fx", "d\n");
             ASSERT_EQ(unlink("ps.fx"), 0);
             ASSERT_EQ(symlink("other.fx", "ps.fx"), 0);
         },
         1},
        {"replaced by a hard link",
         [] {
             write_in_place("other2.fx", "e\n");
             ASSERT_EQ(unlink("ps.fx"), 0);
             ASSERT_EQ(link("other2.fx", "ps.fx"), 0);
         },
         1},
        {"another file saved", [] { write_in_place("notes.txt", "f\n"); }, 0},
        {"a backup made by renaming", [] { ASSERT_EQ(rename("vs.fx", "vs.fx~"), 0); }, 0},
        {"only deleted", [] { ASSERT_EQ(unlink("vs.fx~"), 0); }, 0},
        {"its mode and time changed",
         [] {
             ASSERT_EQ(chmod("ps.fx", 0600), 0);
             ASSERT_EQ(utime("ps.fx", nullptr), 0);
         },
         0},
        {"read", [] { std::fclose(std::fopen("ps.fx", "rb")); }, 0},
        {"a folder of the name", [] { ASSERT_EQ(mkdir("vs.fx", 0755), 0); }, 0},
    };
    for (const Case& c : cases) {
        ASSERT_NO_FATAL_FAILURE(c.change());
        EXPECT_EQ(poll_save_watch(), c.saved) << c.what;
        EXPECT_EQ(poll_save_watch(), 0) << c.what << ": seen twice";
    }
}

TEST_F(SaveWatch, AFileStillBeingWrittenIsNotASaveUntilItIsClosed) {
    for (const char* how : {"in place", "created anew"}) {
        if (std::strcmp(how, "created anew") == 0) {
            ASSERT_EQ(unlink("ps.fx"), 0);
        }
        int fd = open("ps.fx", O_WRONLY | O_TRUNC | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        for (int chunk = 0; chunk < 3; ++chunk) {
            ASSERT_EQ(write(fd, "void main()\n", 12), 12);
            EXPECT_EQ(poll_save_watch(), 0) << how << ", chunk " << chunk;
        }
        close(fd);
        EXPECT_EQ(poll_save_watch(), 1) << how;
    }
}

// A file is complete only once no process has it open for writing, however
// the events of its name look: a reader that had the old file open closes it
// while the new one is written under the same name; a second writer of the
// file is still at work when the first closes it. Each poll meanwhile (with
// pauses longer than a frame) finds nothing; the last close is a save.
TEST_F(SaveWatch, AFileIsNotASaveWhileAnyoneStillWritesIt) {
    struct Case {
        const char* what;
        bool recreated;   // deleted and created again, not written in place
        bool old_reader;  // a reader of the file before the save closes it midway
        bool two_writers; // a second writer opens it, the first closes it midway
    };
    const Case cases[] = {
        {"created again, the old file's reader closing it midway", true, true, false},
        {"created again, a second writer left when the first closes", true, false, true},
        {"in place, a second writer left when the first closes", false, false, true},
    };
    for (const Case& c : cases) {
        int reader = open("ps.fx", O_RDONLY);
        ASSERT_GE(reader, 0);
        if (c.recreated) {
            ASSERT_EQ(unlink("ps.fx"), 0);
        }
        int writer = open("ps.fx", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(writer, 0);
        int second = c.two_writers ? open("ps.fx", O_WRONLY) : -1;
        ASSERT_EQ(write(writer, "void main()\n", 12), 12);
        if (c.old_reader) {
            close(reader);
            reader = -1;
        }
        if (c.two_writers) {
            close(writer);
            writer = second;
        }
        for (int poll = 0; poll < 3; ++poll) {
            EXPECT_EQ(poll_save_watch(), 0) << c.what << ", poll " << poll;
            usleep(100 * 1000);
        }
        ASSERT_EQ(write(writer, "{}\n", 3), 3);
        close(writer);
        if (reader >= 0) {
            close(reader);
        }
        EXPECT_EQ(poll_save_watch(), 1) << c.what << ": not seen once let go";
        EXPECT_EQ(poll_save_watch(), 0) << c.what << ": seen twice";
    }
}

// A complete file linked in under the name (written under another name or
// none, then linked: the way tools that never show a half-written file save)
// is a save once a poll brings nothing more about it: one rebuild, the
// second poll at the latest. Still open by its writer under the name, it is
// not.
TEST_F(SaveWatch, ACompleteFileLinkedInUnderTheNameIsASave) {
    struct Case {
        const char* what;
        std::function<void()> save;
    };
    const Case cases[] = {
        {"O_TMPFILE, then linkat",
         [] {
             int fd = open(".", O_TMPFILE | O_WRONLY, 0644);
             ASSERT_GE(fd, 0) << std::strerror(errno);
             ASSERT_EQ(write(fd, "t\n", 2), 2);
             ASSERT_EQ(unlink("ps.fx"), 0);
             std::string path = "/proc/self/fd/" + std::to_string(fd);
             ASSERT_EQ(linkat(AT_FDCWD, path.c_str(), AT_FDCWD, "ps.fx", AT_SYMLINK_FOLLOW), 0)
                 << std::strerror(errno);
             close(fd);
         }},
        {"link under the name, then the other name removed",
         [] {
             write_in_place("ps.fx.new", "l\n");
             ASSERT_EQ(unlink("ps.fx"), 0);
             ASSERT_EQ(link("ps.fx.new", "ps.fx"), 0);
             ASSERT_EQ(unlink("ps.fx.new"), 0);
         }},
    };
    for (const Case& c : cases) {
        ASSERT_NO_FATAL_FAILURE(c.save());
        int first = poll_save_watch();
        int second = poll_save_watch();
        EXPECT_EQ(first + second, 1) << c.what;
        EXPECT_EQ(poll_save_watch(), 0) << c.what << ": seen twice";
    }

    // Created by open() and held open across polls: no save until its close.
    ASSERT_EQ(unlink("vs.fx"), 0);
    int fd = open("vs.fx", O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(fd, 0);
    for (int poll = 0; poll < 3; ++poll) {
        EXPECT_EQ(poll_save_watch(), 0) << "poll " << poll << " while its writer has it open";
    }
    ASSERT_EQ(write(fd, "v\n", 2), 2);
    close(fd);
    EXPECT_EQ(poll_save_watch(), 1);
    EXPECT_EQ(poll_save_watch(), 0);
}

// ps.fx a symbolic link into another folder (shaders kept in a repository):
// a save through the link or at the target is a save; the target's folder's
// other files are not; a link pointed elsewhere is followed there.
TEST_F(SaveWatch, ASymbolicLinkIntoAnotherFolderIsFollowed) {
    ASSERT_EQ(mkdir("repo", 0755), 0);
    ASSERT_EQ(mkdir("repo2", 0755), 0);
    write_file("repo/real.fx", "r\n");
    write_file("repo2/other.fx", "o\n");
    ASSERT_EQ(unlink("ps.fx"), 0);
    ASSERT_EQ(symlink("repo/real.fx", "ps.fx"), 0);
    ASSERT_EQ(start_save_watch("."), 0);
    struct Case {
        const char* what;
        std::function<void()> change;
        int saved;
    };
    const Case cases[] = {
        {"written through the link", [] { write_in_place("ps.fx", "a\n"); }, 1},
        {"written at the target", [] { write_in_place("repo/real.fx", "b\n"); }, 1},
        {"a new file renamed over the target",
         [] {
             write_in_place("repo/real.fx.tmp", "c\n");
             ASSERT_EQ(rename("repo/real.fx.tmp", "repo/real.fx"), 0);
         },
         1},
        {"another file in the target's folder", [] { write_in_place("repo/notes", "d\n"); }, 0},
        {"the link pointed elsewhere",
         [] {
             ASSERT_EQ(symlink("repo2/other.fx", "ps.fx.new"), 0);
             ASSERT_EQ(rename("ps.fx.new", "ps.fx"), 0);
         },
         1},
        {"written at the new target", [] { write_in_place("repo2/other.fx", "e\n"); }, 1},
        {"written at the old target", [] { write_in_place("repo/real.fx", "f\n"); }, 0},
    };
    for (const Case& c : cases) {
        ASSERT_NO_FATAL_FAILURE(c.change());
        EXPECT_EQ(poll_save_watch(), c.saved) << c.what;
        EXPECT_EQ(poll_save_watch(), 0) << c.what << ": seen twice";
    }
}

// ps.fx a link into a folder that is removed and made again (a branch switch,
// a build tool), or a link whose target is not there at start: the link is
// followed to its target once the target is there, through each folder on the
// way made one at a time or all at once, and the target's saves count again.
TEST_F(SaveWatch, ALinkIsFollowedAgainOnceItsTargetIsThere) {
    struct Case {
        const char* what;
        const char* link; // ps.fx's text
        std::function<void()> before_start;
        // Steps after the start, each with the polls' expected save.
        std::vector<std::pair<std::function<void()>, int>> steps;
    };
    const auto make = [](const char* folder) { ASSERT_EQ(mkdir(folder, 0755), 0); };
    const Case cases[] = {
        {"its target's folder removed and made again",
         "repo/real.fx",
         [&] {
             make("repo");
             write_in_place("repo/real.fx", "r\n");
         },
         {{[] { ASSERT_EQ(std::system("rm -rf repo"), 0); }, 0},
          {[&] { make("repo"); }, 0},
          {[] { write_in_place("repo/real.fx", "a\n"); }, 1},
          {[] { write_in_place("repo/real.fx", "b\n"); }, 1}}},
        {"removed and made again with the target between two polls",
         "repo/real.fx",
         [&] {
             make("repo");
             write_in_place("repo/real.fx", "r\n");
         },
         {{[&] {
               ASSERT_EQ(std::system("rm -rf repo"), 0);
               make("repo");
               write_in_place("repo/real.fx", "a\n");
           },
           1},
          {[] { write_in_place("repo/real.fx", "b\n"); }, 1}}},
        {"a dangling link, its folders made one at a time",
         "later/sub/real.fx",
         [] {},
         {{[&] { make("later"); }, 0},
          {[&] { make("later/sub"); }, 0},
          {[] { write_in_place("later/sub/real.fx", "a\n"); }, 1},
          {[] { write_in_place("later/sub/real.fx", "b\n"); }, 1},
          {[] { write_in_place("later/other.fx", "c\n"); }, 0}}},
        {"a dangling link, its target made at once",
         "../dangling-target/real.fx",
         [] { ASSERT_EQ(std::system("rm -rf ../dangling-target"), 0); },
         {{[] {
               ASSERT_EQ(std::system("mkdir ../dangling-target && echo a > "
                                     "../dangling-target/real.fx"),
                         0);
           },
           1},
          {[] { write_in_place("../dangling-target/real.fx", "b\n"); }, 1},
          {[] { ASSERT_EQ(std::system("rm -rf ../dangling-target"), 0); }, 0}}},
    };
    for (const Case& c : cases) {
        stop_save_watch();
        ASSERT_EQ(std::system("rm -rf ps.fx repo later"), 0);
        ASSERT_NO_FATAL_FAILURE(c.before_start());
        ASSERT_EQ(symlink(c.link, "ps.fx"), 0);
        ASSERT_EQ(start_save_watch("."), 0);
        int step = 0;
        for (const auto& s : c.steps) {
            ASSERT_NO_FATAL_FAILURE(s.first());
            // A target found anew is looked at from the poll after (the
            // events of a write that ended as its folder was watched are in
            // by then): the save is counted once within two polls.
            int saves = poll_save_watch();
            saves += poll_save_watch();
            EXPECT_EQ(saves, s.second) << c.what << ", step " << step;
            EXPECT_EQ(poll_save_watch(), 0) << c.what << ", step " << step << ": seen twice";
            ++step;
        }
    }
}

TEST_F(SaveWatch, ManySavesBetweenTwoPollsCountOnce) {
    // More events than one read takes.
    for (int i = 0; i < 500; ++i) {
        write_in_place(i % 2 ? "ps.fx" : "vs.fx", "x\n");
    }
    EXPECT_EQ(poll_save_watch(), 1);
    EXPECT_EQ(poll_save_watch(), 0);
}

TEST(SaveWatchStart, NoWatchNoSaves) {
    stop_save_watch();
    EXPECT_EQ(poll_save_watch(), 0);
}

TEST(SaveWatchStart, AFolderThatCannotBeWatchedSaysWhyInOneLine) {
    for (const char* folder : {"/nonexistent-qo-folder", "/dev/null"}) {
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(start_save_watch(folder), 1) << folder;
        std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.rfind("qo: cannot watch the folder for saves: ", 0), 0u) << err;
        EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
        EXPECT_NE(err.find("F5 still rebuilds"), std::string::npos) << err;
        EXPECT_EQ(poll_save_watch(), 0);
    }
}
