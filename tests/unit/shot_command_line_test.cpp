// qo --shot FILE [--frame N] on the command line: what is taken for FILE and
// N, in any order with DIR, and what is refused.
#include "app/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

command_line parse(std::vector<const char*> arguments) {
    arguments.insert(arguments.begin(), "qo");
    return parse_command_line(static_cast<int>(arguments.size()), arguments.data());
}

} // namespace

TEST(ShotCommandLine, FileFrameAndFolderInAnyOrder) {
    struct Case {
        std::vector<const char*> arguments;
        const char* file;
        int frame;
        const char* folder;
    };
    const Case cases[] = {
        {{"--shot", "a.png"}, "a.png", 1, nullptr},
        {{"--shot", "a.png", "dir"}, "a.png", 1, "dir"},
        {{"dir", "--frame", "120", "--shot", "a.png"}, "a.png", 120, "dir"},
        {{"--frame", "2147483647", "--shot", "a.png"}, "a.png", 2147483647, nullptr},
        {{"--shot", "a.png", "--frame", "1", "--frame", "007"}, "a.png", 7, nullptr},
        // FILE is the next argument whatever it looks like.
        {{"--shot", "--frame", "dir"}, "--frame", 1, "dir"},
        {{"--shot", "-"}, "-", 1, nullptr},
        {{"--", "--shot"}, nullptr, 1, "--shot"},
    };
    for (const Case& c : cases) {
        command_line line = parse(c.arguments);
        std::string shown;
        for (const char* argument : c.arguments) {
            shown += std::string(" [") + argument + "]";
        }
        SCOPED_TRACE("qo" + shown);
        EXPECT_EQ(line.action, c.file != nullptr ? command_shot : command_run) << line.error;
        EXPECT_STREQ(line.shot_file, c.file);
        EXPECT_EQ(line.shot_frame, c.frame);
        EXPECT_STREQ(line.folder, c.folder);
    }
}

TEST(ShotCommandLine, UsageErrors) {
    struct Case {
        std::vector<const char*> arguments;
        const char* error;
    };
    const Case cases[] = {
        {{"--shot"}, "qo: missing file name after '--shot'; see 'qo --help'"},
        {{"--shot", ""}, "qo: missing file name after '--shot'; see 'qo --help'"},
        {{"--shot", "a", "--shot", "b"}, "qo: more than one picture file: 'b'; see 'qo --help'"},
        {{"--shot", "a", "--frame"}, "qo: missing frame number after '--frame'; see 'qo --help'"},
        {{"--shot", "a", "--frame", "0"},
         "qo: not a frame number from 1 to 2147483647: '0'; see 'qo --help'"},
        {{"--shot", "a", "--frame", "-1"},
         "qo: not a frame number from 1 to 2147483647: '-1'; see 'qo --help'"},
        {{"--shot", "a", "--frame", "+1"},
         "qo: not a frame number from 1 to 2147483647: '+1'; see 'qo --help'"},
        {{"--shot", "a", "--frame", "2147483648"},
         "qo: not a frame number from 1 to 2147483647: '2147483648'; see 'qo --help'"},
        {{"--shot", "a", "--frame", "18446744073709551617"},
         "qo: not a frame number from 1 to 2147483647: '18446744073709551617'; see 'qo --help'"},
        {{"--shot", "a", "--frame", "1e3"},
         "qo: not a frame number from 1 to 2147483647: '1e3'; see 'qo --help'"},
        {{"--shot", "a", "--frame", "12 "},
         "qo: not a frame number from 1 to 2147483647: '12 '; see 'qo --help'"},
        {{"--shot", "a", "--frame", ""},
         "qo: not a frame number from 1 to 2147483647: ''; see 'qo --help'"},
        // --paused is the viewer's.
        {{"--shot", "a", "--paused"}, "qo: --paused has no use with '--shot'; see 'qo --help'"},
        {{"--paused", "--frame", "3", "--shot", "a", "dir"},
         "qo: --paused has no use with '--shot'; see 'qo --help'"},
        {{"--watch", "--shot", "a"}, "qo: --watch has no use with '--shot'; see 'qo --help'"},
    };
    for (const Case& c : cases) {
        command_line line = parse(c.arguments);
        std::string shown;
        for (const char* argument : c.arguments) {
            shown += std::string(" [") + argument + "]";
        }
        SCOPED_TRACE("qo" + shown);
        EXPECT_EQ(line.action, command_usage_error);
        EXPECT_STREQ(line.error, c.error);
    }
}

TEST(ShotCommandLine, UsageTextNamesShotAndFrame) {
    std::string text = usage_text();
    for (const char* part :
         {"qo --shot FILE [--frame N] [--size WxH] [DIR]", "--frame N", "PNG", "2147483647"}) {
        EXPECT_NE(text.find(part), std::string::npos) << part;
    }
}
