// Files that are not regular files, as they exist on POSIX systems: none may
// block the reader or be read.
#include "shader/file_reader.h"

#include "temp_folder.h"

#include <fstream>
#include <string>
#include <unistd.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace {
class FileReaderPosix : public TempFolderTest {};
} // namespace

TEST_F(FileReaderPosix, NonRegularFilesAreRefusedWithoutBlocking) {
    // A FIFO with no writer would block an ordinary open for ever.
    ASSERT_EQ(mkfifo("ps.fx", 0600), 0);
    ASSERT_EQ(symlink("/dev/zero", "zero.fx"), 0);
    const char* paths[] = {"ps.fx", "/dev/null", "zero.fx", "."};
    for (const char* path : paths) {
        char buffer[4096];
        EXPECT_EQ(load_text_file(path, buffer, sizeof buffer), -1) << path;
    }
    load_text_file("ps.fx", nullptr, 0);
    EXPECT_STREQ(load_failure_reason(), "not a regular file");
    load_text_file(".", nullptr, 0);
    EXPECT_STREQ(load_failure_reason(), "Is a directory");
}

TEST_F(FileReaderPosix, HugeSparseFileGivesItsFirstBytesPromptly) {
    {
        std::ofstream out("ps.fx", std::ios::binary);
        out << "// head";
    }
    ASSERT_EQ(truncate("ps.fx", 4LL << 30), 0);
    char buffer[4096];
    ASSERT_EQ(load_text_file("ps.fx", buffer, sizeof buffer), 4096);
    EXPECT_EQ(std::string(buffer, 7), "// head");
    EXPECT_EQ(buffer[4095], '\0');
}
