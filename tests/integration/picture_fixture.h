// What the scenarios of qo --shot and qo --record share: the fixture (the
// platform, a fresh folder, qo run to its end with no display on Linux), PNG
// files read back with libpng, pictures compared, and the shader that
// writes the parameter block into the picture bit for bit. Include
// <gtest/gtest.h> and "harness.h" before this header; QO_SCENARIOS_ON_WINE
// picks the platform.
#pragma once

#include <png.h>

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <vector>

constexpr int deadline_ms = 120000;
constexpr int shot_width = 800;
constexpr int shot_height = 600;

inline viewer_platform shot_platform() {
#if QO_SCENARIOS_ON_WINE
    return wine_platform();
#else
    return linux_platform();
#endif
}

// Reads the PNG at `path`, which must be 8-bit RGB without alpha.
inline bool read_png(const std::string& path, probe_image* image, std::string* error) {
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path.c_str())) {
        *error = path + ": " + png.message;
        return false;
    }
    if (png.format != PNG_FORMAT_RGB) {
        *error = path + ": not 8-bit RGB (libpng format " + std::to_string(png.format) + ")";
        png_image_free(&png);
        return false;
    }
    image->width = static_cast<int>(png.width);
    image->height = static_cast<int>(png.height);
    image->rgb.resize(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, image->rgb.data(), 0, nullptr)) {
        *error = path + ": " + png.message;
        return false;
    }
    return true;
}

// How many pixels differ, and where and how the first one does.
inline long count_differences(const probe_image& seen, const probe_image& expected,
                              std::string* first) {
    if (seen.width != expected.width || seen.height != expected.height) {
        *first = std::to_string(seen.width) + "x" + std::to_string(seen.height) + " instead of " +
                 std::to_string(expected.width) + "x" + std::to_string(expected.height);
        return -1;
    }
    long count = 0;
    for (size_t i = 0; i + 2 < seen.rgb.size(); i += 3) {
        if (seen.rgb[i] == expected.rgb[i] && seen.rgb[i + 1] == expected.rgb[i + 1] &&
            seen.rgb[i + 2] == expected.rgb[i + 2]) {
            continue;
        }
        if (count++ == 0) {
            long pixel = static_cast<long>(i / 3);
            *first = "(" + std::to_string(pixel % seen.width) + ", " +
                     std::to_string(pixel / seen.width) + ") is " +
                     describe(rgb{seen.rgb[i], seen.rgb[i + 1], seen.rgb[i + 2]}) + ", expected " +
                     describe(rgb{expected.rgb[i], expected.rgb[i + 1], expected.rgb[i + 2]});
        }
    }
    return count;
}

// The names in a folder.
inline std::set<std::string> folder_entries(const std::string& folder) {
    std::set<std::string> names;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        return names;
    }
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.insert(name);
        }
    }
    closedir(dir);
    return names;
}

inline bool exists(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0;
}

// The parameter block the viewer hands over at frame `frame`, from its
// definition: the clock advanced by 1/60 in double and rounded to float each
// frame; fpar[0] = (2 sin(t + 0.1), 0, 2 cos(t), 0) with t + 0.1 in float,
// sine and cosine in double, the result rounded and doubled in float;
// fpar[2] = (t, 0, 0, 1); everything else 0.
inline void expected_fpar(long frame, float fpar[16]) {
    float t = 0.0f;
    for (long i = 0; i < frame; ++i) {
        t = static_cast<float>(static_cast<double>(t) + 1.0 / 60.0);
    }
    for (int i = 0; i < 16; ++i) {
        fpar[i] = 0.0f;
    }
    float phase = t * 1.0f + 0.1f;
    fpar[0] = static_cast<float>(std::sin(static_cast<double>(phase))) * 2.0f;
    fpar[2] = static_cast<float>(std::cos(static_cast<double>(t))) * 2.0f;
    fpar[8] = t;
    fpar[11] = 1.0f;
}

// ps.fx writing the bits of the 16 floats of fpar into the picture: float i
// in the column of 50 pixels from x = 50 i; in the upper half (red, green,
// blue) = (bits 24-31, 165, bits 16-23), in the lower half (bits 8-15,
// bits 0-7, 60). The fixed values tell the halves apart: a picture written
// bottom row first fails.
inline const char* const fpar_bits_pixel_shader =
    "#version 330 compatibility\n"
    "uniform vec4 fpar[4];\n"
    "void main()\n"
    "{\n"
    "    int i = int(gl_FragCoord.x) / 50;\n"
    "    uint bits = floatBitsToUint(fpar[i / 4][i % 4]);\n"
    "    vec3 c;\n"
    "    if (gl_FragCoord.y >= 300.0)\n"
    "        c = vec3(float(bits >> 24), 165.0, float((bits >> 16) & 255u));\n"
    "    else\n"
    "        c = vec3(float((bits >> 8) & 255u), float(bits & 255u), 60.0);\n"
    "    gl_FragColor = vec4(c / 255.0, 1.0);\n"
    "}\n";

inline const char* const compatibility_vertex_shader = "#version 330 compatibility\n"
                                                       "void main()\n"
                                                       "{\n"
                                                       "    gl_Position = gl_Vertex;\n"
                                                       "}\n";

// The picture fpar_bits_pixel_shader draws at `frame`, rows top first.
inline probe_image expected_fpar_picture(long frame) {
    float fpar[16];
    expected_fpar(frame, fpar);
    probe_image image;
    image.width = shot_width;
    image.height = shot_height;
    image.rgb.resize(shot_width * shot_height * 3);
    for (int y = 0; y < shot_height; ++y) {
        for (int x = 0; x < shot_width; ++x) {
            std::uint32_t bits = 0;
            std::memcpy(&bits, &fpar[x / 50], sizeof bits);
            std::uint8_t* pixel = &image.rgb[(y * shot_width + x) * 3];
            if (y < shot_height / 2) {
                pixel[0] = static_cast<std::uint8_t>(bits >> 24);
                pixel[1] = 165;
                pixel[2] = static_cast<std::uint8_t>(bits >> 16);
            } else {
                pixel[0] = static_cast<std::uint8_t>(bits >> 8);
                pixel[1] = static_cast<std::uint8_t>(bits);
                pixel[2] = 60;
            }
        }
    }
    return image;
}

class PictureFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        platform_ = shot_platform();
        std::string error;
        ASSERT_TRUE(platform_ready(platform_, &error)) << error;
        if (platform_.wine) {
            // Wine draws through an X server, also for a window never shown.
            ASSERT_TRUE(start_xvfb(&server_, &error)) << error;
        }
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string tag = folder_tag(info->name());
        std::string suite = info->test_suite_name();
        for (char& c : suite) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        folder_ = make_temp_folder(platform_.name + "-" + suite + "-" + tag);
        ASSERT_FALSE(folder_.empty()) << "cannot make a temporary folder";
        outputs_ = make_temp_folder(platform_.name + "-" + suite + "-output");
        ASSERT_FALSE(outputs_.empty()) << "cannot make a temporary folder";
    }

    void TearDown() override {
        kill_viewer(&run_);
        if (HasFailure()) {
            print_viewer_output(run_);
        }
        end_platform_session(platform_);
        stop_xvfb(&server_);
        remove_folder(folder_);
        remove_folder(outputs_);
    }

    // Writes vs.fx and ps.fx into `folder`.
    void write_shaders(const std::string& folder, const std::string& vertex,
                       const std::string& pixel) {
        ASSERT_TRUE(write_file(folder + "/vs.fx", vertex));
        ASSERT_TRUE(write_file(folder + "/ps.fx", pixel));
    }

    // Runs qo with `arguments` in `folder` to its end: on Linux with neither
    // DISPLAY nor WAYLAND_DISPLAY, under Wine on the test's X server (or on
    // `display_name` when one is given), with `environment` added ("NAME=value",
    // or "NAME" to remove it). The output files go to a folder of their own,
    // so that only what qo writes is in `folder`.
    void run_qo(const std::string& folder, const std::vector<std::string>& arguments,
                const std::string& display_name = "",
                const std::vector<std::string>& environment = {}) {
        std::string shown = display_name.empty() && platform_.wine ? server_.name : display_name;
        std::vector<std::string> extra = {"WAYLAND_DISPLAY"};
        extra.insert(extra.end(), environment.begin(), environment.end());
        viewer_launch launch = launch_for(platform_, shown, folder, extra);
        launch.command.insert(launch.command.end(), arguments.begin(), arguments.end());
        run_ = viewer_run();
        std::string error;
        ASSERT_TRUE(start_viewer(launch, &run_, &error)) << error;
        ASSERT_TRUE(wait_for_exit(&run_, deadline_ms)) << "qo did not end";
        // The harness writes qo.stdout and qo.stderr into the folder: moved
        // out of the way of the folder checks.
        std::string out = outputs_ + "/qo.stdout";
        std::string err = outputs_ + "/qo.stderr";
        ASSERT_EQ(std::rename(run_.stdout_path.c_str(), out.c_str()), 0);
        ASSERT_EQ(std::rename(run_.stderr_path.c_str(), err.c_str()), 0);
        run_.stdout_path = out;
        run_.stderr_path = err;
    }

    // One build in stdout whose link log is empty.
    void expect_one_clean_build() {
        build_report report = parse_builds(run_stdout(run_), platform_.line_end);
        EXPECT_TRUE(report.ok) << report.fault;
        EXPECT_EQ(report.builds, 1);
        EXPECT_EQ(report.link_logs, std::vector<std::string>{""});
    }

    viewer_platform platform_;
    xvfb_server server_;
    std::string folder_;
    std::string outputs_; // stdout, stderr and the like, out of the folder's way
    viewer_run run_;
};
