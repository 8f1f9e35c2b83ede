// A long storm: F5 held for ten thousand rebuilds of a trivial program.
// Every build prints its two lines, the resident memory stays flat (each
// build's program and shaders are freed), the last program draws, and the
// viewer ends with 0 on close.
#include "robust_support.h"

#include <X11/keysym.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

namespace {

using storm = RobustScenario;

constexpr int rebuilds = 10000;
constexpr long memory_growth_limit_kib = 2048;

TEST_F(storm, TenThousandRebuildsKeepMemoryFlat) {
    const rgb colour{10, 200, 30};
    ASSERT_NO_FATAL_FAILURE(write_shaders(solid_pixel_shader(colour)));
    ASSERT_NO_FATAL_FAILURE(start_and_find_window());
    expect_picture(colour);
    long before_kib = resident_kib(run_.pid);
    ASSERT_GT(before_kib, 0);

    // stdout reaches the file in blocks while F5 is held: held until the
    // file has the lines of the start build and the storm's.
    auto start = std::chrono::steady_clock::now();
    ASSERT_NO_FATAL_FAILURE(key(XK_F5, true));
    bool done = poll_until(
        [&] {
            return count_lines_in_file(run_.stdout_path) >= 2L * (rebuilds + 1) ||
                   has_exited(&run_);
        },
        10 * deadline_ms);
    ASSERT_NO_FATAL_FAILURE(key(XK_F5, false));
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_FALSE(has_exited(&run_)) << "the viewer ended, status " << run_.status;
    ASSERT_TRUE(done) << "only " << count_lines_in_file(run_.stdout_path) / 2
                      << " builds in stdout after " << seconds << " s";
    long after_kib = resident_kib(run_.pid);

    expect_picture(colour);
    ASSERT_NO_FATAL_FAILURE(close_and_expect_0());

    // Two lines per build, each number followed by its "prog:" line with
    // the (empty) link log.
    std::string out = run_stdout(run_);
    build_report report = builds();
    EXPECT_GE(report.builds, rebuilds + 1);
    long lines = static_cast<long>(std::count(out.begin(), out.end(), '\n'));
    EXPECT_EQ(lines, 2L * report.builds);
    int non_empty_logs = 0;
    for (const std::string& log : report.link_logs) {
        non_empty_logs += log.empty() ? 0 : 1;
    }
    EXPECT_EQ(non_empty_logs, 0);
    EXPECT_EQ(run_stderr(run_), "");

    EXPECT_LT(after_kib - before_kib, memory_growth_limit_kib)
        << "VmRSS " << before_kib << " KiB before, " << after_kib << " KiB after";
    std::printf("storm: %d builds in %.1f s (%.0f per second); VmRSS %ld KiB before, %ld KiB "
                "after (%+ld KiB)\n",
                report.builds - 1, seconds, (report.builds - 1) / seconds, before_kib, after_kib,
                after_kib - before_kib);
    RecordProperty("builds", report.builds - 1);
    RecordProperty("rss_before_kib", static_cast<int>(before_kib));
    RecordProperty("rss_after_kib", static_cast<int>(after_kib));
}

} // namespace
