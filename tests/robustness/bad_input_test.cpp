// Bad shader files, at start and at F5, and editors saving the file over and
// over while F5 is held. Each case checks that the viewer neither crashes nor
// blocks, that the last good program keeps drawing, that every build printed
// its two lines, that stderr names the problem, and that it still ends with
// status 0 on the close request.
//
// Built twice: against the Linux viewer ("robust.input/...") and against
// qo.exe under Wine ("robust.wine.input/...", the cases that exist on
// Windows).
#include "robust_support.h"

#include <X11/keysym.h>
#include <algorithm>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

const rgb good_colour{40, 80, 120};   // the program drawing before the bad file
const rgb fixed_colour{200, 100, 50}; // the program after the file is fixed
const rgb case_colour{30, 160, 90};   // drawn by the cases the driver builds
const rgb white{255, 255, 255};       // the first build failed: fixed function

// Makes ps.fx at `path` the case's bad file; false when it can't.
typedef bool (*file_maker)(const std::string& path);

struct bad_file_case {
    const char* name;
    bool on_windows; // the case exists for qo.exe too
    file_maker make;
    const char* stderr_line; // a line of stderr starts with this, once per build
    bool builds;             // the driver builds it: the picture turns case_colour
};

bool make_missing(const std::string& path) {
    return !fs::exists(fs::symlink_status(path));
}

bool make_empty(const std::string& path) {
    return write_file(path, "");
}

bool make_directory(const std::string& path) {
    return mkdir(path.c_str(), 0755) == 0;
}

bool make_fifo(const std::string& path) {
    return mkfifo(path.c_str(), 0644) == 0;
}

bool make_dev_zero_link(const std::string& path) {
    return symlink("/dev/zero", path.c_str()) == 0;
}

// 4 GiB, sparse: the first 4096 bytes a complete shader padded with spaces,
// then text that breaks it, then a hole of zeros. Built only when exactly the
// first 4096 bytes reach the driver.
bool make_sparse_4gib(const std::string& path) {
    std::string text = solid_pixel_shader(case_colour);
    text.resize(4096, ' ');
    text.back() = '\n';
    text += "}};\n#error read past the first 4096 bytes\n";
    if (!write_file(path, text)) {
        return false;
    }
    return truncate(path.c_str(), 4LL << 30) == 0;
}

// An ELF header and a few bytes around NULs: what `cp qo ps.fx` gives.
bool make_binary_garbage(const std::string& path) {
    const char bytes[] = "\x7f"
                         "ELF\x02\x01\x01\0\0\0\0\0\0\0\0\0\x03\0>\0\x01\0\0\0"
                         "\xff\xfe\xfd\0void main() {}\0\x80\x81\n\r\0";
    return write_file(path, std::string(bytes, sizeof bytes - 1));
}

// A UTF-8 byte-order mark before a good shader (what some Windows editors
// save): it reaches the compiler as it is, and Mesa's rejects it.
bool make_bom(const std::string& path) {
    return write_file(path, "\xEF\xBB\xBF" + solid_pixel_shader(case_colour));
}

// Windows line ends throughout: built as usual.
bool make_crlf(const std::string& path) {
    std::string text = "#version 110\n" + solid_pixel_shader(case_colour);
    std::string crlf;
    for (char c : text) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    return write_file(path, crlf);
}

// GoogleTest names the case by its name.
void PrintTo(const bad_file_case& c, std::ostream* out) {
    *out << c.name;
}

const char* const cannot_read = "qo: cannot read ps.fx: ";
// A line of ps.fx's compile log: `ps.fx:L:C: error: ...`, or `ps.fx: ...`.
const char* const compile_log = "ps.fx:";

const std::vector<bad_file_case>& all_cases() {
    static const std::vector<bad_file_case> cases = {
        {"missing", true, make_missing, "qo: cannot read ps.fx: No such file or directory", false},
        {"empty", true, make_empty, compile_log, false},
        {"directory", true, make_directory, "qo: cannot read ps.fx: Is a directory", false},
        {"fifo", false, make_fifo, "qo: cannot read ps.fx: not a regular file", false},
        {"dev_zero_symlink", false, make_dev_zero_link, "qo: cannot read ps.fx: not a regular file",
         false},
        {"sparse_4gib_first_4096_bytes_a_shader", false, make_sparse_4gib, nullptr, true},
        {"binary_garbage_with_nul_bytes", true, make_binary_garbage, compile_log, false},
        {"utf8_bom", true, make_bom, compile_log, false},
        {"crlf_line_ends", true, make_crlf, nullptr, true},
    };
    return cases;
}

std::vector<bad_file_case> platform_cases() {
    std::vector<bad_file_case> result;
    for (const bad_file_case& c : all_cases()) {
        if (c.on_windows || !scenario_platform().wine) {
            result.push_back(c);
        }
    }
    return result;
}

// Whatever ps.fx is now (file, folder, FIFO, link), it goes.
void remove_pixel_shader(const std::string& path) {
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

class BadShaderFile : public RobustScenario, public ::testing::WithParamInterface<bad_file_case> {
  protected:
    void make_bad_file() {
        remove_pixel_shader(path("ps.fx"));
        ASSERT_TRUE(GetParam().make(path("ps.fx"))) << "cannot make the case's ps.fx";
    }

    // stderr names the problem: for a compile log, a line "ps.fx:..." that
    // says error.
    void expect_stderr_names_problem() {
        const bad_file_case& c = GetParam();
        if (c.stderr_line == nullptr) {
            EXPECT_EQ(run_stderr(run_), "");
            return;
        }
        EXPECT_GE(stderr_lines_starting(c.stderr_line), 1)
            << "stderr has no line starting \"" << c.stderr_line << "\"";
        if (c.stderr_line == compile_log) {
            EXPECT_NE(run_stderr(run_).find("error"), std::string::npos);
            EXPECT_EQ(stderr_lines_starting(cannot_read), 0) << "the file was readable";
        }
    }
};

TEST_P(BadShaderFile, AtStart) {
    const bad_file_case& c = GetParam();
    ASSERT_TRUE(write_file(path("vs.fx"), plain_vertex_shader()));
    ASSERT_NO_FATAL_FAILURE(make_bad_file());
    ASSERT_NO_FATAL_FAILURE(start_and_find_window());

    // Drawn: nothing blocked before the first frame.
    expect_picture(c.builds ? case_colour : white);
    ASSERT_NO_FATAL_FAILURE(close_and_expect_0());
    build_report report = builds();
    EXPECT_EQ(report.builds, 1);
    if (!c.builds && !report.link_logs.empty()) {
        EXPECT_NE(report.link_logs.front(), "") << "a failed link says why";
    }
    expect_stderr_names_problem();
}

TEST_P(BadShaderFile, AtF5) {
    const bad_file_case& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(write_shaders(solid_pixel_shader(good_colour)));
    ASSERT_NO_FATAL_FAILURE(start_and_find_window());
    expect_picture(good_colour);

    ASSERT_NO_FATAL_FAILURE(make_bad_file());
    ASSERT_NO_FATAL_FAILURE(key(XK_F5, true));
    if (c.builds) {
        expect_picture(case_colour);
    } else {
        // stderr is unbuffered and written at each build: two messages mean
        // the frame after the first failed build was presented.
        bool twice = poll_until(
            [&] { return stderr_lines_starting(c.stderr_line) >= 2 || has_exited(&run_); },
            deadline_ms);
        ASSERT_NO_FATAL_FAILURE(key(XK_F5, false));
        ASSERT_FALSE(has_exited(&run_)) << "the viewer ended, status " << run_.status;
        ASSERT_TRUE(twice) << "no two builds named the problem: " << run_stderr(run_);
        EXPECT_TRUE(uniform_picture() == good_colour) << "the last good program stopped drawing";
    }
    ASSERT_NO_FATAL_FAILURE(key(XK_F5, false));

    // Fixed again: the next F5 builds it. Renamed over whatever is there but
    // a folder, so that a build in between (the viewer may see F5 up a frame
    // late) finds no missing file.
    if (fs::is_directory(fs::symlink_status(path("ps.fx")))) {
        remove_pixel_shader(path("ps.fx"));
    }
    ASSERT_TRUE(write_file(path("ps.fx"), solid_pixel_shader(fixed_colour)));
    ASSERT_NO_FATAL_FAILURE(key(XK_F5, true));
    expect_picture(fixed_colour);
    ASSERT_NO_FATAL_FAILURE(key(XK_F5, false));

    ASSERT_NO_FATAL_FAILURE(close_and_expect_0());
    build_report report = builds();
    EXPECT_GE(report.builds, 3);
    if (!c.builds) {
        // One message per build from the bad file, each build in stdout.
        EXPECT_GE(report.builds, 2 + stderr_lines_starting(c.stderr_line));
        bool a_failed_link = false;
        for (const std::string& log : report.link_logs) {
            a_failed_link = a_failed_link || !log.empty();
        }
        EXPECT_TRUE(a_failed_link) << "no failed link said why";
    }
    expect_stderr_names_problem();
}

INSTANTIATE_TEST_SUITE_P(input, BadShaderFile, ::testing::ValuesIn(platform_cases()),
                         [](const ::testing::TestParamInfo<bad_file_case>& info) {
                             return std::string(info.param.name);
                         });

// ---- editors saving while F5 is held -----------------------------------------------

const rgb colour_a{255, 0, 0};
const rgb colour_b{0, 0, 255};
const rgb colour_final{0, 255, 0};

class EditorSaves : public RobustScenario, public ::testing::WithParamInterface<save_style> {};

TEST_P(EditorSaves, WhileF5Held) {
    save_style style = GetParam();
    ASSERT_NO_FATAL_FAILURE(write_shaders(solid_pixel_shader(colour_a)));
    ASSERT_NO_FATAL_FAILURE(start_and_find_window());
    expect_picture(colour_a);

    editor_loop editor;
    start_editor(&editor, path("ps.fx"), style, solid_pixel_shader(colour_a),
                 solid_pixel_shader(colour_b));
    ASSERT_NO_FATAL_FAILURE(key(XK_F5, true));
    // Until a few hundred builds reached stdout (it is written in blocks)
    // and the editor saved as often; every picture on the way is one of the
    // two programs.
    std::string bad_picture;
    bool enough = poll_until(
        [&] {
            probe_image image;
            if (grab_area(display(), area_, &image) && !image.rgb.empty()) {
                rgb shown{image.rgb[0], image.rgb[1], image.rgb[2]};
                std::string where;
                long others = count_other_pixels(image, shown, &where);
                if (others != 0 || !(shown == colour_a || shown == colour_b)) {
                    bad_picture = describe(shown) + " at (0, 0); " + std::to_string(others) +
                                  " other pixels " + where;
                    return true;
                }
            }
            if (has_exited(&run_)) {
                return true;
            }
            return count_lines_in_file(run_.stdout_path) >= 600 && editor.saves >= 300;
        },
        4 * deadline_ms);
    ASSERT_NO_FATAL_FAILURE(key(XK_F5, false));
    stop_editor(&editor);
    ASSERT_FALSE(has_exited(&run_)) << "the viewer ended, status " << run_.status;
    EXPECT_EQ(bad_picture, "") << "a picture that is neither program";
    EXPECT_TRUE(enough) << "only " << count_lines_in_file(run_.stdout_path) << " lines and "
                        << editor.saves << " saves";

    // The last save shows at the next F5.
    ASSERT_TRUE(save_file(path("ps.fx"), solid_pixel_shader(colour_final), style));
    ASSERT_NO_FATAL_FAILURE(key(XK_F5, true));
    expect_picture(colour_final);
    ASSERT_NO_FATAL_FAILURE(key(XK_F5, false));

    ASSERT_NO_FATAL_FAILURE(close_and_expect_0());
    build_report report = builds();
    EXPECT_GE(report.builds, 300);
    // The file always exists; a torn read (only with truncate-and-rewrite)
    // is a compile error, never a failed read. A rename is atomic: no error.
    EXPECT_EQ(stderr_lines_starting(cannot_read), 0);
    int logs = stderr_lines_starting(compile_log);
    if (style == save_style::rename_over) {
        EXPECT_EQ(run_stderr(run_), "");
    } else {
        std::string err = run_stderr(run_);
        size_t lines = static_cast<size_t>(std::count(err.begin(), err.end(), '\n'));
        EXPECT_EQ(static_cast<size_t>(logs), lines) << "stderr holds more than compile logs";
    }
    std::printf("%s: %d builds, %ld saves, %d compile-log lines from torn reads\n",
                style == save_style::rename_over ? "rename over" : "truncate and rewrite",
                report.builds, static_cast<long>(editor.saves), logs);
}

INSTANTIATE_TEST_SUITE_P(input, EditorSaves,
                         ::testing::Values(save_style::rename_over, save_style::truncate_rewrite),
                         [](const ::testing::TestParamInfo<save_style>& info) {
                             return std::string(info.param == save_style::rename_over
                                                    ? "write_then_rename"
                                                    : "truncate_and_rewrite");
                         });

} // namespace
