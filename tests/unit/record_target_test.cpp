// What qo --record makes of FILE: the kinds, the frame-number field of a PNG
// sequence (and the names it gives), what is refused, and the sizes each
// kind takes.
#include "picture/record_target.h"

#include <gtest/gtest.h>

#include <string>

TEST(RecordTarget, KindsAndPatterns) {
    struct Case {
        const char* file;
        record_kind kind;
        int frame;        // for a sequence: the frame named
        const char* name; // the name it gets
    };
    const Case cases[] = {
        {"out/f%04d.png", record_png_sequence, 7, "out/f0007.png"},
        {"f%d.png", record_png_sequence, 123, "f123.png"},
        {"%d.png", record_png_sequence, 5, "5.png"},
        {"f%09d.PNG", record_png_sequence, 2147483647, "f2147483647.PNG"},
        {"f%02d.png", record_png_sequence, 100, "f100.png"},
        {"100%% %03d.png", record_png_sequence, 4, "100% 004.png"},
        {"a%%d %d.png", record_png_sequence, 9, "a%d 9.png"},
        {"f%d-%%s.png", record_png_sequence, 1, "f1-%s.png"},
        {"my dir/take %05d.png", record_png_sequence, 42, "my dir/take 00042.png"},
        // A video's "%" is a plain character: no field is read.
        {"clip.mp4", record_mp4, 0, nullptr},
        {"100%s %d.MKV", record_mkv, 0, nullptr},
        {"a.b.mov", record_mov, 0, nullptr},
        {"out/x.webm", record_webm, 0, nullptr},
        {"loop.Gif", record_gif, 0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        record_target target;
        char error[256] = {};
        ASSERT_EQ(parse_record_target(c.file, &target, error, sizeof error), 0) << error;
        EXPECT_EQ(target.kind, c.kind);
        if (c.name != nullptr) {
            char name[record_name_capacity];
            ASSERT_EQ(format_frame_name(target, c.frame, name, sizeof name), 0);
            EXPECT_STREQ(name, c.name);
        }
    }
}

TEST(RecordTarget, RefusedFiles) {
    const std::string kinds = "not a kind of file qo records (f%04d.png, .mp4, .mkv, .mov, "
                              ".webm, .gif):";
    const std::string field =
        "a frame number field is %d or %0Nd with N from 1 to 9 (%% for a %) in";
    const std::string none = "a PNG sequence needs one frame number field, %d or %0Nd "
                             "(f%04d.png), in";
    struct Case {
        const char* file;
        std::string what;
    };
    const Case cases[] = {
        {"frame.png", none},
        {"f%%d.png", none},
        {"f%d%d.png", "more than one frame number field in"},
        {"%d/f%04d.png", "more than one frame number field in"},
        {"f%s.png", field},
        {"f%n.png", field},
        {"f%4d.png", field},
        {"f%-4d.png", field},
        {"f%00d.png", field},
        {"f%010d.png", field},
        {"f%ld.png", field},
        {"f%x.png", field},
        {"f%.png", field},
        {"f%04d.jpg", kinds},
        {"f%04d", kinds},
        {"clip.mp4.txt", kinds},
        {"clip", kinds},
        {"", kinds},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        record_target target;
        char error[512] = {};
        EXPECT_EQ(parse_record_target(c.file, &target, error, sizeof error), 1);
        EXPECT_EQ(std::string(error), "qo: " + c.what + " '" + c.file + "'; see 'qo --help'");
    }
}

TEST(RecordTarget, SizesEachKindTakes) {
    struct Case {
        record_kind kind;
        int width;
        int height;
        const char* error; // nullptr: taken
    };
    const Case cases[] = {
        {record_mp4, 800, 600, nullptr},
        {record_mp4, 801, 600,
         "qo: cannot record 801x600 as mp4: H.264 in yuv420p needs an even width and height"},
        {record_mkv, 800, 601,
         "qo: cannot record 800x601 as mkv: H.264 in yuv420p needs an even width and height"},
        {record_mov, 1, 1,
         "qo: cannot record 1x1 as mov: H.264 in yuv420p needs an even width and height"},
        {record_webm, 1919, 1079,
         "qo: cannot record 1919x1079 as webm: VP9 in yuv420p needs an even width and height"},
        {record_webm, 2, 2, nullptr},
        {record_gif, 801, 601, nullptr},
        {record_png_sequence, 1, 1, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(record_kind_extension(c.kind)) + " " + std::to_string(c.width) +
                     "x" + std::to_string(c.height));
        char error[256] = {};
        EXPECT_EQ(check_record_size(c.kind, c.width, c.height, error, sizeof error),
                  c.error != nullptr ? 1 : 0);
        EXPECT_STREQ(error, c.error != nullptr ? c.error : "");
    }
}

// A name that does not fit is refused, never cut.
TEST(RecordTarget, NameThatDoesNotFit) {
    record_target target;
    char error[256] = {};
    ASSERT_EQ(parse_record_target("frame-%06d.png", &target, error, sizeof error), 0) << error;
    char name[32];
    EXPECT_EQ(format_frame_name(target, 1, name, 16), 1);
    EXPECT_EQ(format_frame_name(target, 1, name, 17), 0);
    EXPECT_STREQ(name, "frame-000001.png");
}
