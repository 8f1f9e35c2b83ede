// The sanitizer run's suppressions (lsan.supp) hide only what the system's
// GL libraries keep: a leak of the project's own still fails the run. The
// leaking program (leak_probe.cpp) runs on an Xvfb of the test's own with
// the environment of scripts/test-sanitizers.sh (its LSAN_OPTIONS with the
// suppressions, its preloaded driver), once clean and once per leak.
#include <gtest/gtest.h>

#include "harness.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#ifndef QO_LEAK_PROBE_PATH
#define QO_LEAK_PROBE_PATH ""
#endif
#ifndef QO_LSAN_SUPPRESSIONS_PATH
#define QO_LSAN_SUPPRESSIONS_PATH ""
#endif

namespace {

struct LeakCase {
    const char* mode;
    // What the report names ("" when nothing may leak): the sanitizers'
    // fast unwinding stops in the system's libraries, built without frame
    // pointers, so a leak made through them names the function that
    // allocated (Xlib's XGetVisualInfo for glXChooseVisual's visual).
    const char* named;
};

class LeakCaught : public ::testing::TestWithParam<LeakCase> {
  protected:
    void SetUp() override {
        const char* options = std::getenv("LSAN_OPTIONS");
        ASSERT_TRUE(options != nullptr &&
                    std::string(options).find(std::string("suppressions=") +
                                              QO_LSAN_SUPPRESSIONS_PATH) != std::string::npos)
            << "run through scripts/test-sanitizers.sh: LSAN_OPTIONS does not name "
            << QO_LSAN_SUPPRESSIONS_PATH;
        std::string error;
        ASSERT_TRUE(start_xvfb(&server_, &error)) << error;
        folder_ = make_temp_folder("leak");
        ASSERT_FALSE(folder_.empty()) << "cannot make a temporary folder";
    }

    void TearDown() override {
        kill_viewer(&run_);
        stop_xvfb(&server_);
        remove_folder(folder_);
    }

    xvfb_server server_;
    std::string folder_;
    viewer_run run_;
};

TEST_P(LeakCaught, ReportedUnderTheSuppressions) {
    viewer_launch launch;
    launch.command = {QO_LEAK_PROBE_PATH, GetParam().mode};
    launch.folder = folder_;
    launch.display_name = server_.name;
    std::string error;
    ASSERT_TRUE(start_viewer(launch, &run_, &error)) << error;
    ASSERT_TRUE(wait_for_exit(&run_, 120000)) << "the probe did not end: killed";
    std::string report = run_stderr(run_);
    if (GetParam().named[0] == '\0') {
        EXPECT_EQ(run_.status, 0) << report;
        EXPECT_EQ(report, "") << "the system's libraries leak past the suppressions";
        return;
    }
    EXPECT_NE(run_.status, 0) << "a leak passed: " << report;
    EXPECT_NE(report.find("ERROR: LeakSanitizer: detected memory leaks"), std::string::npos)
        << report;
    EXPECT_NE(report.find(GetParam().named), std::string::npos)
        << "the report does not name " << GetParam().named << ":\n"
        << report;
}

INSTANTIATE_TEST_SUITE_P(Probe, LeakCaught,
                         ::testing::Values(LeakCase{"none", ""},
                                           LeakCase{"heap", "qo_probe_leaked_block"},
                                           LeakCase{"visual", "XGetVisualInfo"}),
                         [](const ::testing::TestParamInfo<LeakCase>& info) {
                             return std::string(info.param.mode);
                         });

} // namespace
