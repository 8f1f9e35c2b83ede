// The Linux save watch: its reading of inotify records, and the real watch on
// a folder where files are saved as editors and tools save them. inotify
// queues an event within the system call that causes it, so a poll right
// after an operation sees everything it caused.
#include "app/save_watch.h"
#include "app/save_watch_inotify.h"

#include "temp_folder.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>
#include <vector>

namespace {

// One inotify record as the kernel lays it out, the name padded with NULs.
void add_event(std::vector<char>* buffer, std::uint32_t mask, const char* name) {
    std::uint32_t padded = name[0] == '\0' ? 0 : (std::strlen(name) / 16 + 1) * 16;
    inotify_event event{};
    event.wd = 1;
    event.mask = mask;
    event.len = padded;
    const char* bytes = reinterpret_cast<const char*>(&event);
    buffer->insert(buffer->end(), bytes, bytes + sizeof event);
    std::string text(name);
    text.resize(padded, '\0');
    buffer->insert(buffer->end(), text.begin(), text.end());
}

} // namespace

TEST(SaveWatchInotify, RecordsThatMarkACompleteSave) {
    struct Case {
        const char* what;
        std::vector<std::pair<std::uint32_t, const char*>> events;
        bool saved;
        unsigned created;
    };
    const Case cases[] = {
        {"written and closed", {{IN_CLOSE_WRITE, "ps.fx"}}, true, 0},
        {"renamed in", {{IN_MOVED_TO, "vs.fx"}}, true, 0},
        {"created: complete only when its close comes", {{IN_CREATE, "ps.fx"}}, false, 2},
        {"created, then closed", {{IN_CREATE, "vs.fx"}, {IN_CLOSE_WRITE, "vs.fx"}}, true, 1},
        {"another file", {{IN_CLOSE_WRITE, "notes.txt"}, {IN_MOVED_TO, "ps.fx~"}}, false, 0},
        {"Vim's temporary names", {{IN_CREATE, "4913"}, {IN_CLOSE_WRITE, ".ps.fx.swp"}}, false, 0},
        {"a folder named like a shader",
         {{IN_CREATE | IN_ISDIR, "ps.fx"}, {IN_MOVED_TO | IN_ISDIR, "vs.fx"}},
         false,
         0},
        {"lost events", {{IN_Q_OVERFLOW, ""}}, true, 0},
        {"the folder's own events", {{IN_IGNORED, ""}, {IN_DELETE_SELF, ""}}, false, 0},
        {"a backup, the file, its mode: one save",
         {{IN_MOVED_TO, "ps.fx~"},
          {IN_CREATE, "ps.fx"},
          {IN_CLOSE_WRITE, "ps.fx"},
          {IN_CLOSE_WRITE, "vs.fx"}},
         true,
         2},
    };
    for (const Case& c : cases) {
        std::vector<char> buffer;
        for (const auto& event : c.events) {
            add_event(&buffer, event.first, event.second);
        }
        inotify_scan scan = scan_inotify_events(buffer.data(), buffer.size());
        EXPECT_EQ(scan.saved, c.saved) << c.what;
        EXPECT_EQ(scan.created, c.created) << c.what;
    }
}

TEST(SaveWatchInotify, ARecordCutShortIsLeftOut) {
    std::vector<char> buffer;
    add_event(&buffer, IN_CREATE, "notes.txt");
    add_event(&buffer, IN_CLOSE_WRITE, "ps.fx");
    for (std::size_t cut = 1; cut < 20; ++cut) {
        inotify_scan scan = scan_inotify_events(buffer.data(), buffer.size() - cut);
        EXPECT_FALSE(scan.saved) << cut;
    }
    EXPECT_TRUE(scan_inotify_events(buffer.data(), buffer.size()).saved);
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
