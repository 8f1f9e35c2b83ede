// The ffmpeg command of each kind of video, and the Windows command line it
// is joined into.
#include "picture/ffmpeg_args.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string joined(const ffmpeg_command& command) {
    std::string text;
    for (int i = 0; i < command.count; ++i) {
        text += (i > 0 ? " " : "") + std::string(command.argv[i]);
    }
    return text;
}

} // namespace

TEST(FfmpegArgs, CommandOfEachKind) {
    const std::string input = "ffmpeg -hide_banner -loglevel error -y -f rawvideo -pix_fmt rgb24 "
                              "-s 1920x1080 -framerate 60 -i - ";
    const std::string bt709 = "-vf scale=out_color_matrix=bt709:out_range=tv,format=yuv420p,"
                              "setparams=color_primaries=bt709:color_trc=bt709:colorspace=bt709:"
                              "range=tv "
                              "-pix_fmt yuv420p -colorspace bt709 -color_primaries bt709 "
                              "-color_trc bt709 -color_range tv ";
    struct Case {
        record_kind kind;
        std::string command;
    };
    const Case cases[] = {
        {record_mp4, input + "-c:v libx264 " + bt709 + "-f mp4 file:/out/.a.qo-1.mp4"},
        {record_mkv, input + "-c:v libx264 " + bt709 + "-f matroska file:/out/.a.qo-1.mp4"},
        {record_mov, input + "-c:v libx264 " + bt709 + "-f mov file:/out/.a.qo-1.mp4"},
        {record_webm, input + "-c:v libvpx-vp9 -crf 30 -b:v 0 -row-mt 1 " + bt709 +
                          "-f webm file:/out/.a.qo-1.mp4"},
        {record_gif, input + "-vf select=not(mod(n\\,3)),setpts=N/(20*TB),split[frames][again];"
                             "[frames]palettegen[palette];[again][palette]paletteuse -r 20 -loop 0 "
                             "-f gif file:/out/.a.qo-1.mp4"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(record_kind_extension(c.kind));
        ffmpeg_command command;
        ASSERT_EQ(build_ffmpeg_command(c.kind, 1920, 1080, "/out/.a.qo-1.mp4", &command), 0);
        EXPECT_EQ(joined(command), c.command);
        EXPECT_EQ(command.argv[command.count], nullptr);
    }
}

// A path that starts like an option or a protocol stays a file; one too long
// for the buffer is refused, never cut.
TEST(FfmpegArgs, OutputIsAlwaysAFile) {
    ffmpeg_command command;
    ASSERT_EQ(build_ffmpeg_command(record_mp4, 2, 2, "-y http://x", &command), 0);
    EXPECT_STREQ(command.argv[command.count - 1], "file:-y http://x");
    std::string long_path(ffmpeg_output_capacity, 'a');
    EXPECT_EQ(build_ffmpeg_command(record_mp4, 2, 2, long_path.c_str(), &command), 1);
}

// Each argument comes back whole through the C runtime's rules: spaces and
// tabs inside quotes, a quote escaped, backslashes plain unless a quote
// follows them, an empty argument quoted.
TEST(FfmpegArgs, WindowsCommandLine) {
    struct Case {
        std::vector<const char*> argv;
        const char* line;
    };
    const Case cases[] = {
        {{"ffmpeg", "-i", "-"}, "ffmpeg -i -"},
        {{"ffmpeg", "file:C:\\my videos\\a.mp4"}, "ffmpeg \"file:C:\\my videos\\a.mp4\""},
        {{"ffmpeg", "C:\\dir\\"}, "ffmpeg C:\\dir\\"},
        {{"ffmpeg", "C:\\my dir\\"}, "ffmpeg \"C:\\my dir\\\\\""},
        {{"ffmpeg", "say \"hi\""}, "ffmpeg \"say \\\"hi\\\"\""},
        {{"ffmpeg", "a\\\"b"}, "ffmpeg \"a\\\\\\\"b\""},
        {{"ffmpeg", ""}, "ffmpeg \"\""},
        {{"ffmpeg", "tab\there"}, "ffmpeg \"tab\there\""},
    };
    for (const Case& c : cases) {
        std::vector<const char*> argv = c.argv;
        argv.push_back(nullptr);
        char line[256];
        ASSERT_EQ(join_windows_command_line(argv.data(), line, sizeof line), 0);
        EXPECT_STREQ(line, c.line);
    }
    const char* argv[] = {"ffmpeg", "-loglevel", "error", nullptr};
    char small[10];
    EXPECT_EQ(join_windows_command_line(argv, small, sizeof small), 1);
}
