// The F5 scenarios again with the viewer polling F5 through XQueryKeymap:
// scenarios.cpp built with QO_SCENARIOS_KEY_POLL, its platform the Linux
// viewer with no_xinput2_shim preloaded, which hides XInput2 from it (Xvfb
// always offers it, so the poll is otherwise never run). After the tests
// the shim's log must show that it refused the viewer's query: a shim that
// is not loaded or not asked fails the run.
// GoogleTest before the X11 headers: Xlib's macros (None, Bool) would break it.
#include <gtest/gtest.h>

#include "harness.h"

#include <cstdlib>
#include <string>

#ifndef QO_NO_XINPUT2_SHIM_PATH
#define QO_NO_XINPUT2_SHIM_PATH ""
#endif

namespace {

std::string shim_log_folder;

std::string shim_log_path() {
    return shim_log_folder + "/no-xinput2.log";
}

class shim_log_check : public ::testing::Environment {
  public:
    void SetUp() override {
        shim_log_folder = make_temp_folder("keypoll-log");
        ASSERT_FALSE(shim_log_folder.empty()) << "cannot make a temporary folder";
    }

    void TearDown() override {
        std::string log = read_file(shim_log_path());
        if (::testing::UnitTest::GetInstance()->test_to_run_count() > 0) {
            EXPECT_NE(log.find("XInputExtension refused"), std::string::npos)
                << "the viewer did not ask the shim " << QO_NO_XINPUT2_SHIM_PATH
                << " for XInput: it was not preloaded, or the viewer took another path";
        }
        remove_folder(shim_log_folder);
    }
};

} // namespace

viewer_platform key_poll_platform() {
    viewer_platform platform = linux_platform();
    // After what the caller preloads (the sanitizer run preloads Mesa's
    // driver); ASan then does not come first, which it allows when told.
    platform.environment.push_back(
        environment_with_added("LD_PRELOAD", QO_NO_XINPUT2_SHIM_PATH, " "));
    platform.environment.push_back(
        environment_with_added("ASAN_OPTIONS", "verify_asan_link_order=0", ":"));
    platform.environment.push_back("QO_NO_XINPUT2_LOG=" + shim_log_path());
    return platform;
}

int main(int argc, char** argv) {
    // The F5 scenarios; a --gtest_filter given on the command line wins.
    GTEST_FLAG_SET(filter, "*F5*:*FailedRebuild*");
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new shim_log_check);
    return RUN_ALL_TESTS();
}
