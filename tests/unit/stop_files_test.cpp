// The file a stop removes, driven as the picture writer and a stop drive
// it: the stop's removal is the platform's seam, taken here by a fake that
// removes the file and notes its name. A stop is for good, so the whole
// story is one test, in order.
#include "output/stop_files.h"

#include "temp_folder.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::string> deleted;

bool exists(const std::string& name) {
    return std::filesystem::exists(name);
}

} // namespace

void delete_stop_file(const char* path) {
    deleted.push_back(path);
    std::remove(path);
}

using StopFiles = TempFolderTest;

// A name too long is refused; a file named, made and cleared is not the
// stop's any more; a stop that comes while the file is being made waits
// for it and then removes it, and nothing can be named after it.
TEST_F(StopFiles, StopRemovesTheFileWhateverTheMoment) {
    std::string too_long(stop_file_capacity, 'x');
    EXPECT_FALSE(name_stop_file(too_long.c_str()));

    ASSERT_TRUE(name_stop_file("first.tmp"));
    write_file("first.tmp", "bytes");
    stop_file_made();
    clear_stop_file(); // renamed into place, say

    // The stop comes right after the name was taken, before the file is
    // made; the file appears only afterwards.
    ASSERT_TRUE(name_stop_file("second.tmp"));
    std::atomic<bool> stop_done{false};
    std::thread stop([&] {
        remove_stop_file();
        stop_done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(stop_done) << "the stop did not wait for the file being made";
    write_file("second.tmp", "bytes");
    stop_file_made();
    stop.join();
    EXPECT_FALSE(exists("second.tmp")) << "left behind";
    EXPECT_TRUE(exists("first.tmp"));
    EXPECT_EQ(deleted, std::vector<std::string>{"second.tmp"});

    EXPECT_FALSE(name_stop_file("third.tmp")) << "named after the stop";
    remove_stop_file(); // a second stop: nothing more
    EXPECT_EQ(deleted, std::vector<std::string>{"second.tmp"});
}
