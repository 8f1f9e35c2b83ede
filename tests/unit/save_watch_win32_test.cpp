// The Windows save watch: its reading of directory-change records, its look
// at a file a writer may still hold, and the real watch on a folder (under
// Wine in make test). Directory changes arrive asynchronously, so the real
// watch is polled until it reports the save.
#include "app/save_watch.h"
#include "app/save_watch_win32.h"

#include "temp_folder.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

// FILE_NOTIFY_INFORMATION records, each DWORD-aligned, the last with a next
// offset of 0.
std::vector<DWORD> records(const std::vector<std::pair<DWORD, const wchar_t*>>& changes) {
    std::vector<DWORD> buffer;
    size_t last = 0;
    for (const auto& change : changes) {
        size_t start = buffer.size();
        size_t name_bytes = std::wcslen(change.second) * sizeof(WCHAR);
        size_t bytes = offsetof(FILE_NOTIFY_INFORMATION, FileName) + name_bytes;
        buffer.resize(start + (bytes + sizeof(DWORD) - 1) / sizeof(DWORD), 0);
        auto* record = reinterpret_cast<FILE_NOTIFY_INFORMATION*>(&buffer[start]);
        record->Action = change.first;
        record->FileNameLength = static_cast<DWORD>(name_bytes);
        std::memcpy(record->FileName, change.second, name_bytes);
        if (start != 0) {
            reinterpret_cast<FILE_NOTIFY_INFORMATION*>(&buffer[last])->NextEntryOffset =
                static_cast<DWORD>((start - last) * sizeof(DWORD));
        }
        last = start;
    }
    return buffer;
}

} // namespace

TEST(SaveWatchWin32, ChangesThatMarkAShaderFile) {
    struct Case {
        const char* what;
        std::vector<std::pair<DWORD, const wchar_t*>> changes;
        unsigned marked;
    };
    const Case cases[] = {
        {"written", {{FILE_ACTION_MODIFIED, L"ps.fx"}}, 2},
        {"created", {{FILE_ACTION_ADDED, L"vs.fx"}}, 1},
        {"renamed in",
         {{FILE_ACTION_RENAMED_OLD_NAME, L"ps.tmp"}, {FILE_ACTION_RENAMED_NEW_NAME, L"PS.FX"}},
         2},
        {"renamed away", {{FILE_ACTION_RENAMED_OLD_NAME, L"ps.fx"}}, 0},
        {"removed", {{FILE_ACTION_REMOVED, L"vs.fx"}}, 0},
        {"other files", {{FILE_ACTION_MODIFIED, L"ps.fx~"}, {FILE_ACTION_ADDED, L"sub\\ps.fx"}}, 0},
        {"both",
         {{FILE_ACTION_MODIFIED, L"notes.txt"},
          {FILE_ACTION_MODIFIED, L"vs.fx"},
          {FILE_ACTION_ADDED, L"ps.fx"}},
         3},
    };
    for (const Case& c : cases) {
        std::vector<DWORD> buffer = records(c.changes);
        EXPECT_EQ(scan_directory_changes(buffer.data(), buffer.size() * sizeof(DWORD)), c.marked)
            << c.what;
    }
    // A record cut short at the end is left out (the last 2 of its 24 bytes
    // are padding: 12 of header, 10 of name).
    std::vector<DWORD> buffer =
        records({{FILE_ACTION_MODIFIED, L"a.txt"}, {FILE_ACTION_MODIFIED, L"ps.fx"}});
    for (size_t cut = 3; cut < 20; ++cut) {
        EXPECT_EQ(scan_directory_changes(buffer.data(), buffer.size() * sizeof(DWORD) - cut), 0u)
            << cut;
    }
}

namespace {
class SaveWatchWin32Folder : public TempFolderTest {
  protected:
    void TearDown() override {
        stop_save_watch();
        TempFolderTest::TearDown();
    }
    // Polls, as frames would, until the watch reports a save; false when it
    // does not within the generous deadline.
    static bool poll_until_saved() {
        for (int i = 0; i < 2000; ++i) {
            if (poll_save_watch() == 1) {
                return true;
            }
            Sleep(5);
        }
        return false;
    }
};
} // namespace

TEST_F(SaveWatchWin32Folder, ALookFindsBusyOnlyAWriterThatLetsNobodyRead) {
    write_file("ps.fx", "pixel\n");
    written_file_stamp stamp;
    struct Case {
        const char* what;
        DWORD share; // the writer's
        written_file_state state;
    };
    const Case cases[] = {
        {"a writer that lets nobody in", 0, written_file_busy},
        {"a writer that lets others read", FILE_SHARE_READ, written_file_complete},
        {"a writer that shares everything", FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
         written_file_complete},
    };
    for (const Case& c : cases) {
        HANDLE writer = CreateFileA("ps.fx", GENERIC_WRITE, c.share, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(writer, INVALID_HANDLE_VALUE) << c.what;
        EXPECT_EQ(look_at_written_file("ps.fx", &stamp), c.state) << c.what;
        CloseHandle(writer);
    }
    EXPECT_EQ(look_at_written_file("ps.fx", &stamp), written_file_complete);
    EXPECT_EQ(stamp.size, 6u);
    // A reader (the build itself, an editor) does not make it busy.
    std::FILE* reader = std::fopen("ps.fx", "rb");
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(look_at_written_file("ps.fx", &stamp), written_file_complete);
    std::fclose(reader);
    EXPECT_EQ(look_at_written_file("missing.fx", &stamp), written_file_gone);
}

TEST_F(SaveWatchWin32Folder, EachWayOfSavingIsSeen) {
    write_file("vs.fx", "vertex\n");
    write_file("ps.fx", "pixel\n");
    ASSERT_EQ(start_save_watch("."), 0);
    struct Case {
        const char* what;
        std::function<void()> change;
    };
    const Case cases[] = {
        {"written in place", [] { write_file("ps.fx", "a\n"); }},
        {"a new file renamed over it",
         [] {
             write_file("ps.tmp", "b\n");
             ASSERT_TRUE(MoveFileExA("ps.tmp", "ps.fx", MOVEFILE_REPLACE_EXISTING));
         }},
        {"deleted, then created",
         [] {
             ASSERT_TRUE(DeleteFileA("vs.fx"));
             write_file("vs.fx", "c\n");
         }},
    };
    for (const Case& c : cases) {
        ASSERT_NO_FATAL_FAILURE(c.change());
        EXPECT_TRUE(poll_until_saved()) << c.what;
    }
}

// A writer still writing (the file grows between two looks) is not built;
// once it stops it is, even with its handle still open, when it lets others
// read. One that keeps the file open and lets nobody read it is not built
// however long it holds it (a build could read nothing), and is built once
// it lets go.
TEST_F(SaveWatchWin32Folder, AFileIsBuiltOnceItStopsChangingAndCanBeRead) {
    write_file("vs.fx", "vertex\n");
    write_file("ps.fx", "pixel\n");
    for (DWORD share : {static_cast<DWORD>(FILE_SHARE_READ), static_cast<DWORD>(0)}) {
        ASSERT_EQ(start_save_watch("."), 0);
        HANDLE writer = CreateFileA("ps.fx", GENERIC_WRITE, share, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(writer, INVALID_HANDLE_VALUE);
        for (int chunk = 0; chunk < 100; ++chunk) {
            DWORD written = 0;
            ASSERT_TRUE(WriteFile(writer, "void main()\n", 12, &written, nullptr));
            EXPECT_EQ(poll_save_watch(), 0) << "chunk " << chunk << ", share " << share;
        }
        if (share == 0) {
            // Held a second, many frames, without a write.
            for (int poll = 0; poll < 100; ++poll) {
                ASSERT_EQ(poll_save_watch(), 0)
                    << "built while nobody could read it, poll " << poll;
                Sleep(10);
            }
            CloseHandle(writer);
            EXPECT_TRUE(poll_until_saved()) << "not built once let go";
        } else {
            EXPECT_TRUE(poll_until_saved()) << "share " << share;
            CloseHandle(writer);
        }
    }
}

// An editor that saves again and again, twice in quick succession, while the
// watch looks at every quiet frame: the watch's looks never refuse its
// CreateFile(GENERIC_WRITE) (the editor lets others read, as editors do).
TEST_F(SaveWatchWin32Folder, AnEditorSavingWhileTheWatchLooksIsNeverRefused) {
    write_file("vs.fx", "vertex\n");
    write_file("ps.fx", "pixel\n");
    ASSERT_EQ(start_save_watch("."), 0);
    std::atomic<bool> done{false};
    std::atomic<int> refused{0};
    std::atomic<DWORD> error{0};
    std::thread editor([&] {
        for (int round = 0; round < 300; ++round) {
            for (int save = 0; save < 2; ++save) {
                HANDLE file = CreateFileA("ps.fx", GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                          CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
                if (file == INVALID_HANDLE_VALUE) {
                    ++refused;
                    error = GetLastError();
                    continue;
                }
                DWORD written = 0;
                WriteFile(file, "void main() {}\n", 15, &written, nullptr);
                CloseHandle(file);
            }
            Sleep(round % 3);
        }
        done = true;
    });
    long polls = 0;
    while (!done.load()) {
        poll_save_watch();
        ++polls;
    }
    editor.join();
    EXPECT_EQ(refused.load(), 0) << "last error " << error.load() << ", " << polls << " polls";
}

TEST(SaveWatchWin32Start, AFolderThatCannotBeWatchedSaysWhyInOneLine) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(start_save_watch("C:\\nonexistent-qo-folder"), 1);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("qo: cannot watch the folder for saves: ", 0), 0u) << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
    EXPECT_EQ(poll_save_watch(), 0);
}
