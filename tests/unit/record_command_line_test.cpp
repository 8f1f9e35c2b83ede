// qo --record FILE [--frames A-B] [--size WxH] on the command line, and
// --size with --shot: what is taken, in any order with DIR, and what is
// refused.
#include "app/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

command_line parse(std::vector<const char*> arguments) {
    arguments.insert(arguments.begin(), "qo");
    return parse_command_line(static_cast<int>(arguments.size()), arguments.data());
}

std::string shown(const std::vector<const char*>& arguments) {
    std::string text = "qo";
    for (const char* argument : arguments) {
        text += std::string(" [") + argument + "]";
    }
    return text;
}

} // namespace

TEST(RecordCommandLine, FileFramesSizeAndFolderInAnyOrder) {
    struct Case {
        std::vector<const char*> arguments;
        command_action action;
        const char* file; // the record file, or the shot file for command_shot
        int first;
        int last;
        int width; // 0: not given
        int height;
        const char* folder;
    };
    const Case cases[] = {
        {{"--record", "f%04d.png"}, command_record, "f%04d.png", 1, 600, 0, 0, nullptr},
        {{"dir", "--frames", "20-40", "--record", "a.mp4"},
         command_record,
         "a.mp4",
         20,
         40,
         0,
         0,
         "dir"},
        {{"--record", "a.gif", "--frames", "7-7", "--size", "1920x1080"},
         command_record,
         "a.gif",
         7,
         7,
         1920,
         1080,
         nullptr},
        {{"--frames", "1-2147483647", "--record", "a.webm", "--size", "1x65535"},
         command_record,
         "a.webm",
         1,
         2147483647,
         1,
         65535,
         nullptr},
        {{"--size", "640x480", "--size", "0320x0200", "--record", "a.mkv"},
         command_record,
         "a.mkv",
         1,
         600,
         320,
         200,
         nullptr},
        // FILE is the next argument whatever it looks like.
        {{"--record", "--frames", "dir"}, command_record, "--frames", 1, 600, 0, 0, "dir"},
        {{"--shot", "a.png", "--size", "3840x2160", "--frame", "9"},
         command_shot,
         "a.png",
         1,
         600,
         3840,
         2160,
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(shown(c.arguments));
        command_line line = parse(c.arguments);
        ASSERT_EQ(line.action, c.action) << line.error;
        EXPECT_STREQ(c.action == command_shot ? line.shot_file : line.record_file, c.file);
        EXPECT_EQ(line.first_frame, c.first);
        EXPECT_EQ(line.last_frame, c.last);
        EXPECT_EQ(line.width, c.width);
        EXPECT_EQ(line.height, c.height);
        EXPECT_STREQ(line.folder, c.folder);
    }
}

TEST(RecordCommandLine, UsageErrors) {
    struct Case {
        std::vector<const char*> arguments;
        const char* error;
    };
    const Case cases[] = {
        {{"--record"}, "qo: missing file name after '--record'; see 'qo --help'"},
        {{"--record", ""}, "qo: missing file name after '--record'; see 'qo --help'"},
        {{"--record", "a.mp4", "--record", "b.mp4"},
         "qo: more than one recording file: 'b.mp4'; see 'qo --help'"},
        {{"--record", "a.mp4", "--frames"},
         "qo: missing frames A-B after '--frames'; see 'qo --help'"},
        {{"--record", "a.mp4", "--frames", "5-2"},
         "qo: not frames A-B with 1 <= A <= B <= 2147483647: '5-2'; see 'qo --help'"},
        {{"--record", "a.mp4", "--frames", "0-2"},
         "qo: not frames A-B with 1 <= A <= B <= 2147483647: '0-2'; see 'qo --help'"},
        {{"--record", "a.mp4", "--frames", "5"},
         "qo: not frames A-B with 1 <= A <= B <= 2147483647: '5'; see 'qo --help'"},
        {{"--record", "a.mp4", "--frames", "1-"},
         "qo: not frames A-B with 1 <= A <= B <= 2147483647: '1-'; see 'qo --help'"},
        {{"--record", "a.mp4", "--frames", "-3"},
         "qo: not frames A-B with 1 <= A <= B <= 2147483647: '-3'; see 'qo --help'"},
        {{"--record", "a.mp4", "--frames", "1-2-3"},
         "qo: not frames A-B with 1 <= A <= B <= 2147483647: '1-2-3'; see 'qo --help'"},
        {{"--record", "a.mp4", "--frames", "1-2147483648"},
         "qo: not frames A-B with 1 <= A <= B <= 2147483647: '1-2147483648'; see 'qo --help'"},
        {{"--record", "a.mp4", "--frames", " 1-2"},
         "qo: not frames A-B with 1 <= A <= B <= 2147483647: ' 1-2'; see 'qo --help'"},
        {{"--record", "a.mp4", "--size"}, "qo: missing size WxH after '--size'; see 'qo --help'"},
        {{"--record", "a.mp4", "--size", "800"},
         "qo: not a size WxH, each from 1 to 65535: '800'; see 'qo --help'"},
        {{"--record", "a.mp4", "--size", "0x600"},
         "qo: not a size WxH, each from 1 to 65535: '0x600'; see 'qo --help'"},
        {{"--record", "a.mp4", "--size", "800X600"},
         "qo: not a size WxH, each from 1 to 65535: '800X600'; see 'qo --help'"},
        {{"--record", "a.mp4", "--size", "800x600x2"},
         "qo: not a size WxH, each from 1 to 65535: '800x600x2'; see 'qo --help'"},
        {{"--record", "a.mp4", "--size", "65536x2"},
         "qo: not a size WxH, each from 1 to 65535: '65536x2'; see 'qo --help'"},
        {{"--record", "a.mp4", "--size", "-800x600"},
         "qo: not a size WxH, each from 1 to 65535: '-800x600'; see 'qo --help'"},
        {{"--shot", "a.png", "--size", "1.5x2"},
         "qo: not a size WxH, each from 1 to 65535: '1.5x2'; see 'qo --help'"},
        {{"--frames", "1-2"}, "qo: --frames goes only with '--record FILE'; see 'qo --help'"},
        {{"--shot", "a.png", "--frames", "1-2"},
         "qo: --frames goes only with '--record FILE'; see 'qo --help'"},
        {{"--record", "a.mp4", "--frame", "2"},
         "qo: --frame has no use with '--record FILE (see --frames)'; see 'qo --help'"},
        {{"--record", "a.mp4", "--paused"},
         "qo: --paused has no use with '--record'; see 'qo --help'"},
        {{"--size", "8x8"},
         "qo: --size goes only with '--shot FILE or --record FILE'; see 'qo --help'"},
        {{"--record", "a.mp4", "--shot", "a.png"},
         "qo: --shot and --record go one at a time: 'a.mp4'; see 'qo --help'"},
        {{"--watch", "--record", "a.mp4"},
         "qo: --watch has no use with '--record'; see 'qo --help'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(shown(c.arguments));
        command_line line = parse(c.arguments);
        EXPECT_EQ(line.action, command_usage_error);
        EXPECT_STREQ(line.error, c.error);
    }
}

TEST(RecordCommandLine, UsageTextNamesRecordFramesAndSize) {
    std::string text = usage_text();
    for (const char* part : {"qo --record FILE [--frames A-B] [--size WxH] [DIR]", "--size WxH",
                             "f%04d.png", ".mp4", ".webm", ".gif", "ffmpeg", "1-600"}) {
        EXPECT_NE(text.find(part), std::string::npos) << part;
    }
}
