#include "shader/file_reader.h"

#include "temp_folder.h"

#include <cstring>
#include <filesystem>
#include <string>

namespace {

class FileReader : public TempFolderTest {};

// A buffer a little larger than the capacity, filled with a marker, so that
// a read past the capacity or an added terminator shows.
struct Guarded {
    char bytes[4096 + 16];
    Guarded() {
        std::memset(bytes, '#', sizeof bytes);
    }
};

} // namespace

TEST_F(FileReader, ReadsExactBytesInBinaryAndAddsNoTerminator) {
    const std::string cases[] = {
        std::string("void main(){}\r\n// crlf\r\n"),
        std::string("\xEF\xBB\xBFvoid main(){}\n"),
        std::string("a\0b\0\xff\x01 garbage", 15),
        std::string(""),
        std::string(4096, 'x'),
    };
    for (const std::string& text : cases) {
        write_file("ps.fx", text);
        Guarded buffer;
        int count = load_text_file("ps.fx", buffer.bytes, 4096);
        ASSERT_EQ(count, static_cast<int>(text.size()));
        EXPECT_EQ(std::string(buffer.bytes, count), text);
        EXPECT_EQ(buffer.bytes[count], '#') << "no terminator is added";
    }
}

TEST_F(FileReader, LongFileGivesOnlyItsFirstCapacityBytes) {
    std::string text;
    for (int i = 0; text.size() < 10000; ++i) {
        text += "line " + std::to_string(i) + "\n";
    }
    write_file("vs.fx", text);
    Guarded buffer;
    ASSERT_EQ(load_text_file("vs.fx", buffer.bytes, 4096), 4096);
    EXPECT_EQ(std::string(buffer.bytes, 4096), text.substr(0, 4096));
    EXPECT_EQ(buffer.bytes[4096], '#');
}

TEST_F(FileReader, FilesThatCannotBeReadGiveMinusOneAndAReason) {
    std::filesystem::create_directory("dir.fx");
    struct Case {
        const char* path;
        const char* reason_part;
    };
    const Case cases[] = {
        {"missing.fx", "No such file"},
        {"dir.fx", ""},
    };
    for (const Case& c : cases) {
        Guarded buffer;
        EXPECT_EQ(load_text_file(c.path, buffer.bytes, 4096), -1) << c.path;
        EXPECT_NE(std::string(load_failure_reason()), "") << c.path;
        EXPECT_NE(std::string(load_failure_reason()).find(c.reason_part), std::string::npos)
            << c.path << ": " << load_failure_reason();
        EXPECT_EQ(buffer.bytes[0], '#') << "nothing is written for " << c.path;
    }
}
