// qo --record FILE [--frames A-B] [--size WxH], run as a user or a CI job
// would, with no display at all: PNG sequences read back with libpng,
// videos read back with the real ffprobe and ffmpeg, the exit status,
// stdout and stderr; stops sent mid-record. --size for --shot too. Built
// with QO_SCENARIOS_ON_WINE: qo.exe under Wine, its PNG sequence for real
// and its pipe into a stand-in ffmpeg.exe.
// GoogleTest before the X11 headers: Xlib's macros (None, Bool) would break it.
#include <gtest/gtest.h>

#include "harness.h"
#include "picture_fixture.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#if !QO_SCENARIOS_ON_WINE
#include <pty.h>
#endif
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

class Record : public PictureFixture {};

// ---- the PNG sequence ----------------------------------------------------------------

// Each frame of the sequence carries its own parameter block bit for bit,
// named by its number (zero-padded, with a literal %), from A to B and no
// other; the shaders in DIR, the files named from where qo was started;
// each is the picture qo --shot --frame n writes; no temporary file left;
// nothing on stderr (not a terminal), the two build lines on stdout.
TEST_F(Record, PngSequenceFramesCarryTheirParameterBlocks) {
    std::string shaders = folder_ + "/shader dir";
    ASSERT_EQ(mkdir(shaders.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((folder_ + "/out").c_str(), 0755), 0);
    ASSERT_NO_FATAL_FAILURE(
        write_shaders(shaders, compatibility_vertex_shader, fpar_bits_pixel_shader));
    ASSERT_NO_FATAL_FAILURE(
        run_qo(folder_, {"--record", "out/100%% %03d.png", "--frames", "119-123", "shader dir"}));
    EXPECT_EQ(run_.status, 0);
    EXPECT_EQ(run_stderr(run_), "");
    expect_one_clean_build();
    std::set<std::string> names;
    for (long frame = 119; frame <= 123; ++frame) {
        std::string name = "100% " + std::to_string(frame) + ".png";
        names.insert(name);
        probe_image image;
        std::string error;
        ASSERT_TRUE(read_png(folder_ + "/out/" + name, &image, &error)) << error;
        std::string first;
        EXPECT_EQ(count_differences(image, expected_fpar_picture(frame), &first), 0)
            << name << ": " << first;
    }
    EXPECT_EQ(folder_entries(folder_ + "/out"), names);
    EXPECT_EQ(folder_entries(shaders), (std::set<std::string>{"vs.fx", "ps.fx"}));

    ASSERT_NO_FATAL_FAILURE(
        run_qo(folder_, {"--shot", "shot.png", "--frame", "121", "shader dir"}));
    ASSERT_EQ(run_.status, 0) << run_stderr(run_);
    EXPECT_EQ(read_file(folder_ + "/shot.png"), read_file(folder_ + "/out/100% 121.png"))
        << "not the bytes qo --shot writes";
}

#if !QO_SCENARIOS_ON_WINE
// Runs a tool (ffprobe, ffmpeg) to its end; its stdout, or "" with `ok`
// false when it failed.
std::string run_tool(const std::vector<std::string>& argv, bool* ok) {
    *ok = false;
    int out[2];
    if (pipe(out) != 0) {
        return "";
    }
    std::vector<char*> args;
    for (const std::string& argument : argv) {
        args.push_back(const_cast<char*>(argument.c_str()));
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    pid_t pid = -1;
    int error = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string text;
    char buffer[65536];
    ssize_t count = 0;
    while (error == 0 && (count = read(out[0], buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<size_t>(count));
    }
    close(out[0]);
    int status = 0;
    *ok = error == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
          WEXITSTATUS(status) == 0;
    return text;
}

// ffprobe's key=value lines of the first video stream, frames counted.
std::map<std::string, std::string> probe_video(const std::string& path) {
    bool ok = false;
    std::string text = run_tool({"ffprobe", "-v", "error", "-count_frames", "-select_streams",
                                 "v:0", "-show_entries",
                                 "stream=codec_name,pix_fmt,width,height,r_frame_rate,"
                                 "nb_read_frames,color_space,color_primaries,color_transfer,"
                                 "color_range",
                                 "-of", "default=noprint_wrappers=1", path},
                                &ok);
    std::map<std::string, std::string> fields;
    size_t start = 0;
    while (ok && start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end - start);
        size_t equals = line.find('=');
        if (equals != std::string::npos) {
            fields[line.substr(0, equals)] = line.substr(equals + 1);
        }
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return fields;
}

// Every frame of a video decoded back to 8-bit RGB with the BT.709 matrix
// in limited range, as a player honouring the tags does.
std::vector<probe_image> decode_video(const std::string& path, int width, int height) {
    bool ok = false;
    std::string bytes = run_tool({"ffmpeg", "-v", "error", "-i", path, "-vf",
                                  "scale=in_color_matrix=bt709:in_range=tv", "-f", "rawvideo",
                                  "-pix_fmt", "rgb24", "-"},
                                 &ok);
    std::vector<probe_image> frames;
    size_t frame_bytes = static_cast<size_t>(width) * height * 3;
    for (size_t at = 0; ok && at + frame_bytes <= bytes.size(); at += frame_bytes) {
        probe_image image;
        image.width = width;
        image.height = height;
        image.rgb.assign(bytes.begin() + static_cast<long>(at),
                         bytes.begin() + static_cast<long>(at + frame_bytes));
        frames.push_back(image);
    }
    return frames;
}

// The mean of the absolute differences of all bytes of two pictures of one
// size, and the largest.
double mean_difference(const probe_image& a, const probe_image& b, int* largest) {
    double sum = 0.0;
    *largest = 0;
    for (size_t i = 0; i < a.rgb.size() && i < b.rgb.size(); ++i) {
        int difference = std::abs(static_cast<int>(a.rgb[i]) - static_cast<int>(b.rgb[i]));
        sum += difference;
        *largest = difference > *largest ? difference : *largest;
    }
    return a.rgb.empty() ? 255.0 : sum / static_cast<double>(a.rgb.size());
}

// The mean of one channel over the middle of a picture.
double middle_mean(const probe_image& image, int channel) {
    double sum = 0.0;
    long count = 0;
    for (int y = image.height / 4; y < image.height * 3 / 4; ++y) {
        for (int x = image.width / 4; x < image.width * 3 / 4; ++x) {
            sum += image.rgb[(static_cast<size_t>(y) * image.width + x) * 3 + channel];
            ++count;
        }
    }
    return count > 0 ? sum / static_cast<double>(count) : 0.0;
}

// Smooth for a video encoder: a gradient across the picture, and the frame
// number n in blue as 8 n (frames 1 to 31 apart by 8 levels).
const char* const frame_ramp_pixel_shader =
    "uniform vec4 fpar[4];\n"
    "void main()\n"
    "{\n"
    "    float n = floor(fpar[2].x * 60.0 + 0.5);\n"
    "    gl_FragColor = vec4(gl_FragCoord.x / 800.0, gl_FragCoord.y / 600.0, n * 8.0 / 255.0, "
    "1.0);\n"
    "}\n";

// Each pixel's own place: red x, green y (so a picture drawn at a size and
// not scaled has them one apart), blue the frame number.
const char* const place_pixel_shader =
    "uniform vec4 fpar[4];\n"
    "void main()\n"
    "{\n"
    "    float n = floor(fpar[2].x * 60.0 + 0.5);\n"
    "    gl_FragColor = vec4(floor(gl_FragCoord.xy) / 255.0, n / 255.0, 1.0);\n"
    "}\n";

// The picture place_pixel_shader draws, rows top first.
probe_image expected_place_picture(int width, int height, int frame) {
    probe_image image;
    image.width = width;
    image.height = height;
    for (int y = height - 1; y >= 0; --y) {
        for (int x = 0; x < width; ++x) {
            image.rgb.push_back(static_cast<std::uint8_t>(x));
            image.rgb.push_back(static_cast<std::uint8_t>(y));
            image.rgb.push_back(static_cast<std::uint8_t>(frame));
        }
    }
    return image;
}

// The names in a folder that start with "." (qo's temporary files).
std::set<std::string> hidden_entries(const std::string& folder) {
    std::set<std::string> hidden;
    for (const std::string& name : folder_entries(folder)) {
        if (name[0] == '.') {
            hidden.insert(name);
        }
    }
    return hidden;
}

// A folder holding only a stand-in `ffmpeg` (a shell script): for PATH.
std::string stand_in_ffmpeg(const std::string& folder, const std::string& script) {
    std::string bin = folder + "/bin";
    mkdir(bin.c_str(), 0755);
    std::string path = bin + "/ffmpeg";
    write_file(path, "#!/bin/sh\n" + script);
    chmod(path.c_str(), 0755);
    return bin;
}

// ---- the video -----------------------------------------------------------------------

// An mp4 read back: H.264 in yuv420p, every frame at 60 a second, the size,
// the BT.709 tags; decoded, the frames are in order and close to the shots
// of the same frames.
TEST_F(Record, Mp4ReadBackFrameForFrame) {
    ASSERT_NO_FATAL_FAILURE(write_shaders(folder_, plain_vertex_shader(), frame_ramp_pixel_shader));
    ASSERT_NO_FATAL_FAILURE(run_qo(folder_, {"--record", "clip.mp4", "--frames", "3-26"}));
    ASSERT_EQ(run_.status, 0) << run_stderr(run_);
    EXPECT_EQ(run_stderr(run_), "");
    expect_one_clean_build();
    EXPECT_EQ(folder_entries(folder_), (std::set<std::string>{"vs.fx", "ps.fx", "clip.mp4"}));

    std::map<std::string, std::string> video = probe_video(folder_ + "/clip.mp4");
    const std::map<std::string, std::string> expected = {
        {"codec_name", "h264"},   {"pix_fmt", "yuv420p"},       {"width", "800"},
        {"height", "600"},        {"r_frame_rate", "60/1"},     {"nb_read_frames", "24"},
        {"color_space", "bt709"}, {"color_primaries", "bt709"}, {"color_transfer", "bt709"},
        {"color_range", "tv"},
    };
    EXPECT_EQ(video, expected);

    std::vector<probe_image> frames = decode_video(folder_ + "/clip.mp4", 800, 600);
    ASSERT_EQ(frames.size(), 24u);
    for (size_t i = 0; i < frames.size(); ++i) {
        long frame = 3 + static_cast<long>(i);
        EXPECT_NEAR(middle_mean(frames[i], 2), frame * 8.0, 2.0) << "frame " << frame;
    }
    for (long frame : {3L, 14L, 26L}) {
        std::string picture = "shot " + std::to_string(frame) + ".png";
        ASSERT_NO_FATAL_FAILURE(
            run_qo(outputs_, {"--shot", picture, "--frame", std::to_string(frame), folder_}));
        ASSERT_EQ(run_.status, 0) << run_stderr(run_);
        probe_image shot;
        std::string error;
        ASSERT_TRUE(read_png(outputs_ + "/" + picture, &shot, &error)) << error;
        int largest = 0;
        double mean = mean_difference(frames[static_cast<size_t>(frame - 3)], shot, &largest);
        EXPECT_LT(mean, 1.5) << "frame " << frame << ", largest difference " << largest;
        EXPECT_LE(largest, 12) << "frame " << frame;
    }
}

// The conversion itself is BT.709 in limited range: pure red comes out at
// Y = 63 (BT.601 would give 81), Cb 102, Cr 240; the same for VP9.
TEST_F(Record, PureRedIsBt709LimitedRange) {
    ASSERT_NO_FATAL_FAILURE(
        write_shaders(folder_, plain_vertex_shader(), solid_pixel_shader(rgb{255, 0, 0})));
    for (const char* file : {"red.mp4", "red.webm"}) {
        SCOPED_TRACE(file);
        ASSERT_NO_FATAL_FAILURE(
            run_qo(folder_, {"--record", file, "--frames", "1-2", "--size", "64x48"}));
        ASSERT_EQ(run_.status, 0) << run_stderr(run_);
        bool ok = false;
        std::string planes =
            run_tool({"ffmpeg", "-v", "error", "-i", folder_ + "/" + file, "-frames:v", "1", "-f",
                      "rawvideo", "-pix_fmt", "yuv420p", "-"},
                     &ok);
        ASSERT_TRUE(ok);
        ASSERT_EQ(planes.size(), 64u * 48 * 3 / 2);
        auto at = [&](size_t i) { return static_cast<int>(static_cast<unsigned char>(planes[i])); };
        EXPECT_NEAR(at(64 * 24 + 32), 63, 1) << "Y";
        EXPECT_NEAR(at(64 * 48 + 32 * 12 + 16), 102, 1) << "Cb";
        EXPECT_NEAR(at(64 * 48 * 5 / 4 + 32 * 12 + 16), 240, 1) << "Cr";
    }
}

// The other kinds: Matroska and QuickTime H.264, WebM VP9, and a GIF of
// every third frame at 5/100 s (20 a second), an odd size taken.
TEST_F(Record, EachKindOfVideo) {
    ASSERT_NO_FATAL_FAILURE(write_shaders(folder_, plain_vertex_shader(), frame_ramp_pixel_shader));
    struct Case {
        const char* file;
        const char* size;
        const char* codec;
        const char* rate;
        const char* frames;
    };
    const Case cases[] = {
        {"a.mkv", "96x64", "h264", "60/1", "12"},
        {"a.MOV", "96x64", "h264", "60/1", "12"},
        {"a.webm", "96x64", "vp9", "60/1", "12"},
        {"a.gif", "97x63", "gif", "20/1", "4"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        ASSERT_NO_FATAL_FAILURE(
            run_qo(folder_, {"--record", c.file, "--frames", "1-12", "--size", c.size}));
        ASSERT_EQ(run_.status, 0) << run_stderr(run_);
        std::map<std::string, std::string> video = probe_video(folder_ + "/" + c.file);
        EXPECT_EQ(video["codec_name"], c.codec);
        EXPECT_EQ(video["width"] + "x" + video["height"], c.size);
        EXPECT_EQ(video["r_frame_rate"], c.rate);
        EXPECT_EQ(video["nb_read_frames"], c.frames);
    }
    // The GIF's frames are 1, 4, 7 and 10.
    std::vector<probe_image> frames = decode_video(folder_ + "/a.gif", 97, 63);
    ASSERT_EQ(frames.size(), 4u);
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_NEAR(middle_mean(frames[i], 2), (1 + 3 * static_cast<double>(i)) * 8.0, 4.0)
            << "GIF frame " << i;
    }
    EXPECT_EQ(hidden_entries(folder_), std::set<std::string>());
}

// ---- --size ----------------------------------------------------------------------------

// Drawn at the size asked for, not scaled: every pixel holds its own place,
// in a shot and in each frame of a sequence; a size the GL cannot give is
// one line naming the largest it can, exit status 1, nothing written.
TEST_F(Record, SizeForShotAndRecord) {
    ASSERT_NO_FATAL_FAILURE(write_shaders(folder_, plain_vertex_shader(), place_pixel_shader));
    ASSERT_NO_FATAL_FAILURE(
        run_qo(folder_, {"--shot", "shot.png", "--size", "200x3", "--frame", "5"}));
    ASSERT_EQ(run_.status, 0) << run_stderr(run_);
    probe_image image;
    std::string error;
    std::string first;
    ASSERT_TRUE(read_png(folder_ + "/shot.png", &image, &error)) << error;
    EXPECT_EQ(count_differences(image, expected_place_picture(200, 3, 5), &first), 0) << first;

    ASSERT_NO_FATAL_FAILURE(
        run_qo(folder_, {"--record", "f%d.png", "--size", "1x255", "--frames", "8-9"}));
    ASSERT_EQ(run_.status, 0) << run_stderr(run_);
    for (int frame : {8, 9}) {
        std::string name = "f" + std::to_string(frame) + ".png";
        ASSERT_TRUE(read_png(folder_ + "/" + name, &image, &error)) << error;
        EXPECT_EQ(count_differences(image, expected_place_picture(1, 255, frame), &first), 0)
            << name << ": " << first;
    }

    std::set<std::string> before = folder_entries(folder_);
    const std::vector<std::vector<std::string>> cases = {
        {"--shot", "big.png", "--size", "20000x20000"},
        {"--record", "big%d.png", "--size", "20000x20000", "--frames", "1-2"},
        {"--record", "big.mp4", "--size", "20000x20000", "--frames", "1-2"},
    };
    for (const std::vector<std::string>& arguments : cases) {
        SCOPED_TRACE(arguments[1]);
        ASSERT_NO_FATAL_FAILURE(run_qo(folder_, arguments));
        EXPECT_EQ(run_.status, 1);
        std::string err = run_stderr(run_);
        int width = 0;
        int height = 0;
        int end = 0;
        EXPECT_TRUE(std::sscanf(err.c_str(),
                                "qo: cannot draw 20000x20000 off screen: the largest this GL can "
                                "give is %dx%d%n",
                                &width, &height, &end) == 2 &&
                    width > 0 && height > 0 && err.substr(static_cast<size_t>(end)) == "\n")
            << err;
        EXPECT_EQ(run_stdout(run_), "");
        EXPECT_EQ(folder_entries(folder_), before);
    }
}

// ---- progress --------------------------------------------------------------------------

// On a terminal (stderr a pseudo-terminal here), one line updated in place:
// frame k of N, frames per second, time left, each update starting at the
// line's beginning; then the line of the end. (Not on a terminal: nothing,
// as the other scenarios check.)
TEST_F(Record, ProgressLineOnATerminal) {
    ASSERT_NO_FATAL_FAILURE(write_shaders(folder_, plain_vertex_shader(), place_pixel_shader));
    int terminal = -1;
    int side = -1;
    ASSERT_EQ(openpty(&terminal, &side, nullptr, nullptr, nullptr), 0);
    std::string program = linux_viewer_path();
    std::vector<char*> argv;
    for (const char* argument : {program.c_str(), "--record", "f%d.png", "--frames", "1-12",
                                 "--size", "64x64", folder_.c_str()}) {
        argv.push_back(const_cast<char*>(argument));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, side, 2);
    posix_spawn_file_actions_addclose(&actions, terminal);
    posix_spawn_file_actions_addchdir_np(&actions, outputs_.c_str());
    std::vector<std::string> environment_text;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        std::string text = *variable;
        if (text.rfind("DISPLAY=", 0) != 0 && text.rfind("WAYLAND_DISPLAY=", 0) != 0) {
            environment_text.push_back(text);
        }
    }
    std::vector<char*> environment;
    for (std::string& text : environment_text) {
        environment.push_back(&text[0]);
    }
    environment.push_back(nullptr);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environment.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(side);
    std::string output;
    char buffer[4096];
    ssize_t count = 0;
    while ((count = read(terminal, buffer, sizeof buffer)) > 0) {
        output.append(buffer, static_cast<size_t>(count));
    }
    close(terminal);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    // The updates: "qo: frame K of 12, R fps, H:MM:SS left", padded with
    // spaces, each ended by a carriage return.
    long last = 0;
    for (size_t start = 0, end = 0; (end = output.find('\r', start)) != std::string::npos;
         start = end + 1) {
        std::string piece = output.substr(start, end - start);
        if (piece.compare(0, 10, "qo: frame ") != 0) {
            continue;
        }
        long frame = 0;
        double rate = 0.0;
        int hours = 0;
        int minutes = 0;
        int seconds = 0;
        int used = 0;
        ASSERT_EQ(std::sscanf(piece.c_str(), "qo: frame %ld of 12, %lf fps, %d:%2d:%2d left%n",
                              &frame, &rate, &hours, &minutes, &seconds, &used),
                  5)
            << piece;
        EXPECT_EQ(piece.find_first_not_of(' ', static_cast<size_t>(used)), std::string::npos)
            << piece;
        EXPECT_GT(frame, last) << output;
        last = frame;
    }
    EXPECT_EQ(last, 12) << output;
    const std::string end_line = "qo: wrote frames 1-12 to f%d.png\r\n";
    ASSERT_GE(output.size(), end_line.size());
    EXPECT_EQ(output.substr(output.size() - end_line.size()), end_line) << output;
    EXPECT_EQ(output.find('\n'), output.size() - 1) << "more than one line: " << output;
    EXPECT_TRUE(exists(outputs_ + "/f12.png"));
}

// ---- failures --------------------------------------------------------------------------

// Bad input is a usage error (exit status 2, one stderr line), before
// anything is built or written; a FILE is never a format beyond its one
// number field.
TEST_F(Record, UsageErrors) {
    ASSERT_NO_FATAL_FAILURE(write_shaders(folder_, plain_vertex_shader(), place_pixel_shader));
    struct Case {
        std::vector<std::string> arguments;
        std::string error;
    };
    const Case cases[] = {
        {{"--record", "f%d.png", "--frames", "5-2"},
         "qo: not frames A-B with 1 <= A <= B <= 2147483647: '5-2'; see 'qo --help'"},
        {{"--record", "f%d.png", "--size", "800x0"},
         "qo: not a size WxH, each from 1 to 65535: '800x0'; see 'qo --help'"},
        {{"--record", "frame.png"},
         "qo: a PNG sequence needs one frame number field, %d or %0Nd (f%04d.png), in "
         "'frame.png'; see 'qo --help'"},
        {{"--record", "f%s%n.png"},
         "qo: a frame number field is %d or %0Nd with N from 1 to 9 (%% for a %) in 'f%s%n.png'; "
         "see 'qo --help'"},
        {{"--record", "%d-%d.png"},
         "qo: more than one frame number field in '%d-%d.png'; see 'qo --help'"},
        {{"--record", "clip.avi"},
         "qo: not a kind of file qo records (f%04d.png, .mp4, .mkv, .mov, .webm, .gif): "
         "'clip.avi'; see 'qo --help'"},
        {{"--record", "odd.mp4", "--size", "801x600"},
         "qo: cannot record 801x600 as mp4: H.264 in yuv420p needs an even width and height"},
        {{"--record", "odd.webm", "--size", "800x599"},
         "qo: cannot record 800x599 as webm: VP9 in yuv420p needs an even width and height"},
    };
    std::set<std::string> before = folder_entries(folder_);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments[1]);
        ASSERT_NO_FATAL_FAILURE(run_qo(folder_, c.arguments));
        EXPECT_EQ(run_.status, 2);
        EXPECT_EQ(run_stdout(run_), "");
        EXPECT_EQ(run_stderr(run_), c.error + "\n");
        EXPECT_EQ(folder_entries(folder_), before);
    }
}

// What cannot be written: exit status 1, the reason on stderr, no file and
// no temporary one left.
TEST_F(Record, Failures) {
    ASSERT_NO_FATAL_FAILURE(write_shaders(folder_, plain_vertex_shader(), frame_ramp_pixel_shader));
    std::string failing = stand_in_ffmpeg(
        outputs_, "echo 'first line of its own' >&2\necho \"Unknown encoder 'libx264'\" >&2\n"
                  "exit 1\n");
    std::string no_ffmpeg = outputs_ + "/empty";
    ASSERT_EQ(mkdir(no_ffmpeg.c_str(), 0755), 0);
    struct Case {
        const char* name;
        std::vector<std::string> arguments;
        std::string path; // PATH for qo; empty: the test's own
        bool builds;      // the program is built (its two lines)
        std::string error;
    };
    const Case cases[] = {
        {"ffmpeg missing",
         {"--record", "a.mp4"},
         no_ffmpeg,
         false,
         "qo: cannot record a.mp4: the ffmpeg program is not on PATH (Debian: apt install "
         "ffmpeg); a PNG sequence needs no ffmpeg: qo --record 'frames/f%04d.png'\n"},
        {"ffmpeg failing",
         {"--record", "a.mp4", "--frames", "1-30"},
         failing,
         true,
         "qo: cannot write a.mp4: ffmpeg failed with exit status 1\nfirst line of its own\n"
         "Unknown encoder 'libx264'\n"},
        {"folder missing, video",
         {"--record", "none/a.mp4"},
         "",
         true,
         "qo: cannot write none/a.mp4: No such file or directory\n"},
        {"folder missing, sequence",
         {"--record", "none/f%d.png"},
         "",
         true,
         "qo: cannot write none/f1.png: No such file or directory\n"},
    };
    std::set<std::string> before = folder_entries(folder_);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> environment;
        if (!c.path.empty()) {
            environment.push_back("PATH=" + c.path);
        }
        ASSERT_NO_FATAL_FAILURE(run_qo(folder_, c.arguments, "", environment));
        EXPECT_EQ(run_.status, 1);
        EXPECT_EQ(run_stderr(run_), c.error);
        build_report report = parse_builds(run_stdout(run_), platform_.line_end);
        EXPECT_EQ(report.builds, c.builds ? 1 : 0) << run_stdout(run_);
        EXPECT_EQ(folder_entries(folder_), before);
    }

    // A program that does not link: its compile errors, nothing written and
    // ffmpeg not started (the stand-in would say so).
    ASSERT_NO_FATAL_FAILURE(write_shaders(folder_, plain_vertex_shader(),
                                          "void main()\n{\n    gl_FragColor = vec4(1.0)\n}\n"));
    for (const char* file : {"a.mp4", "f%d.png"}) {
        SCOPED_TRACE(file);
        ASSERT_NO_FATAL_FAILURE(run_qo(folder_, {"--record", file}, "", {"PATH=" + failing}));
        EXPECT_EQ(run_.status, 1);
        std::string err = run_stderr(run_);
        EXPECT_NE(err.find("ps.fx:4:"), std::string::npos) << err;
        EXPECT_NE(err.find(std::string("qo: the program did not link: ") + file + " not written"),
                  std::string::npos)
            << err;
        EXPECT_EQ(err.find("first line of its own"), std::string::npos) << err;
        EXPECT_EQ(folder_entries(folder_), before);
    }
}

// The disk fills up in the middle of the first PNG (a preloaded shim fails
// the writes after the first 1024 bytes): one line with the reason, exit
// status 1, no frame written in part and no temporary file.
TEST_F(Record, DiskFullMidSequence) {
    ASSERT_NO_FATAL_FAILURE(write_shaders(folder_, plain_vertex_shader(), frame_ramp_pixel_shader));
    ASSERT_NO_FATAL_FAILURE(
        run_qo(folder_, {"--record", "f%02d.png", "--frames", "1-20"}, "",
               {environment_with_added("LD_PRELOAD", QO_FULL_DISK_SHIM_PATH, " ")}));
    EXPECT_EQ(run_.status, 1);
    EXPECT_EQ(run_stderr(run_), "qo: cannot write f01.png: No space left on device\n");
    EXPECT_EQ(folder_entries(folder_), (std::set<std::string>{"vs.fx", "ps.fx"}));
}

// ---- stops -----------------------------------------------------------------------------

// SIGTERM mid-record of a long PNG sequence: the process ends by the signal,
// every PNG left is whole and the right frame, from the first on with no
// gap, and no temporary file is left.
TEST_F(Record, StopMidSequence) {
    ASSERT_NO_FATAL_FAILURE(
        write_shaders(folder_, compatibility_vertex_shader, fpar_bits_pixel_shader));
    viewer_launch launch = launch_for(platform_, "", folder_, {"WAYLAND_DISPLAY"});
    launch.command.insert(launch.command.end(), {"--record", "f%06d.png", "--frames", "1-100000"});
    std::string error;
    ASSERT_TRUE(start_viewer(launch, &run_, &error)) << error;
    ASSERT_TRUE(poll_until([&] { return exists(folder_ + "/f000004.png") || has_exited(&run_); },
                           deadline_ms));
    kill(run_.pid, SIGTERM);
    ASSERT_TRUE(wait_for_exit(&run_, deadline_ms)) << "qo --record did not end";
    EXPECT_EQ(run_.signal, SIGTERM) << "status " << run_.status << ": " << run_stderr(run_);
    std::set<std::string> names = folder_entries(folder_);
    for (const char* name : {"vs.fx", "ps.fx", "qo.stdout", "qo.stderr"}) {
        names.erase(name);
    }
    EXPECT_EQ(hidden_entries(folder_), std::set<std::string>());
    ASSERT_GE(names.size(), 4u);
    long frame = 1;
    for (const std::string& name : names) {
        char expected[32];
        std::snprintf(expected, sizeof expected, "f%06ld.png", frame);
        ASSERT_EQ(name, expected);
        probe_image image;
        ASSERT_TRUE(read_png(folder_ + "/" + name, &image, &error)) << error;
        std::string first;
        EXPECT_EQ(count_differences(image, expected_fpar_picture(frame), &first), 0)
            << name << ": " << first;
        ++frame;
    }
}

// SIGTERM (and SIGINT, as a terminal's Ctrl+C) mid-record of a long mp4:
// the process ends by the signal once ffmpeg finished the file, which plays
// from the first frame on, in order, and no temporary file is left.
TEST_F(Record, StopMidVideoFinishesIt) {
    ASSERT_NO_FATAL_FAILURE(write_shaders(folder_, plain_vertex_shader(), frame_ramp_pixel_shader));
    for (int stop : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(strsignal(stop));
        viewer_launch launch = launch_for(platform_, "", folder_, {"WAYLAND_DISPLAY"});
        launch.command.insert(launch.command.end(), {"--record", "long.mp4", "--frames", "1-100000",
                                                     "--size", "160x120"});
        std::string error;
        ASSERT_TRUE(start_viewer(launch, &run_, &error)) << error;
        // ffmpeg's file grows once its first frames are encoded.
        auto file_written = [&] {
            for (const std::string& name : hidden_entries(folder_)) {
                struct stat info;
                if (stat((folder_ + "/" + name).c_str(), &info) == 0 && info.st_size > 0) {
                    return true;
                }
            }
            return false;
        };
        ASSERT_TRUE(poll_until([&] { return file_written() || has_exited(&run_); }, deadline_ms));
        ASSERT_FALSE(has_exited(&run_)) << run_stderr(run_);
        kill(run_.pid, stop);
        ASSERT_TRUE(wait_for_exit(&run_, deadline_ms)) << "qo --record did not end";
        EXPECT_EQ(run_.signal, stop) << "status " << run_.status << ": " << run_stderr(run_);
        EXPECT_EQ(hidden_entries(folder_), std::set<std::string>());
        std::map<std::string, std::string> video = probe_video(folder_ + "/long.mp4");
        EXPECT_EQ(video["codec_name"], "h264");
        int count = std::atoi(video["nb_read_frames"].c_str());
        EXPECT_GT(count, 0);
        std::vector<probe_image> frames = decode_video(folder_ + "/long.mp4", 160, 120);
        ASSERT_EQ(frames.size(), static_cast<size_t>(count));
        for (size_t i = 0; i < frames.size() && i < 30; ++i) {
            EXPECT_NEAR(middle_mean(frames[i], 2), (static_cast<double>(i) + 1) * 8.0, 3.0)
                << "frame " << i + 1;
        }
        std::remove((folder_ + "/long.mp4").c_str());
        std::remove(run_.stdout_path.c_str());
        std::remove(run_.stderr_path.c_str());
    }
}

#else
// ---- the video under Wine ----------------------------------------------------------------

// qo.exe's video goes through ffmpeg.exe on PATH, started with CreateProcess
// and fed through a pipe: here a stand-in of the tests (Wine has no
// ffmpeg.exe) that checks the command and writes what it got in place of a
// video: whole frames of the size, in order. Failing, its last lines are
// shown and no file is left; missing, one line says so.
TEST_F(Record, VideoThroughAStandInOnPath) {
    ASSERT_NO_FATAL_FAILURE(write_shaders(folder_, plain_vertex_shader(), clock_pixel_shader(0)));
    std::string viewer = windows_viewer_path();
    std::string stand_in = viewer.substr(0, viewer.rfind('/')) + "/stand-in";
    ASSERT_TRUE(exists(stand_in + "/ffmpeg.exe")) << stand_in << " (built with qo.exe's tests)";
    const std::string on_path = "WINEPATH=Z:" + stand_in;
    const std::vector<std::string> arguments = {"--record", "clip.mp4", "--frames",
                                                "3-7",      "--size",   "64x48"};
    ASSERT_NO_FATAL_FAILURE(run_qo(folder_, arguments, "", {on_path}));
    EXPECT_EQ(run_.status, 0);
    EXPECT_EQ(run_stderr(run_), "");
    expect_one_clean_build();
    EXPECT_EQ(read_file(folder_ + "/clip.mp4"), "rgb24 64x48 at 60: 5 frames: 3 4 5 6 7\n");
    EXPECT_EQ(folder_entries(folder_), (std::set<std::string>{"vs.fx", "ps.fx", "clip.mp4"}));

    const std::string& end = platform_.line_end;
    ASSERT_NO_FATAL_FAILURE(
        run_qo(folder_, {"--record", "other.mp4"}, "", {on_path, "QO_STAND_IN_FAIL=1"}));
    EXPECT_EQ(run_.status, 1);
    EXPECT_EQ(run_stderr(run_), "qo: cannot write other.mp4: ffmpeg failed with exit status 3" +
                                    end + "stand-in: first line" + end +
                                    "stand-in: failing as asked" + end);
    EXPECT_EQ(folder_entries(folder_), (std::set<std::string>{"vs.fx", "ps.fx", "clip.mp4"}));

    ASSERT_NO_FATAL_FAILURE(run_qo(folder_, {"--record", "other.mp4"}, "", {"WINEPATH"}));
    EXPECT_EQ(run_.status, 1);
    EXPECT_EQ(run_stderr(run_),
              "qo: cannot record other.mp4: the ffmpeg program is not on PATH (Debian: apt "
              "install ffmpeg); a PNG sequence needs no ffmpeg: qo --record "
              "'frames/f%04d.png'" +
                  end);
    EXPECT_EQ(run_stdout(run_), "");
    EXPECT_EQ(folder_entries(folder_), (std::set<std::string>{"vs.fx", "ps.fx", "clip.mp4"}));
}
#endif

} // namespace
