// The time keys' seek: how long frame_clock_at takes for the frames a key
// can land on, in microseconds. The worst one is Down from the last frame
// (2147483647 - 3600): every range of the float is crossed, past the point
// where the clock stops. Printed beside it, for scale, the plain loop of
// advances that a seek without frame_clock_at would run from 0.
//
//   qo_bench_seek [REPEATS]   (default 20000)
#include "app/command_line.h"
#include "app/frame_clock.h"
#include "app/frame_time.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using bench_clock = std::chrono::steady_clock;

// Keeps the compiler from dropping the calls measured.
volatile float sink;

// The median and the 99.9th percentile of the time of one call of
// frame_clock_at(frame), in microseconds, over `repeats` calls (the largest
// one is the machine's scheduling, not the call).
void time_seek(int frame, int repeats, double* median_us, double* high_us) {
    std::vector<double> times(static_cast<size_t>(repeats));
    for (double& time : times) {
        auto start = bench_clock::now();
        sink = frame_clock_at(frame);
        time = std::chrono::duration<double, std::micro>(bench_clock::now() - start).count();
    }
    std::sort(times.begin(), times.end());
    *median_us = times[times.size() / 2];
    *high_us = times[times.size() * 999 / 1000];
}

} // namespace

int main(int argc, char** argv) {
    int repeats = argc > 1 ? std::atoi(argv[1]) : 20000;
    if (repeats < 1) {
        std::fprintf(stderr, "qo_bench_seek: REPEATS must be a whole number from 1 on\n");
        return 2;
    }
    // The frames around each change of the float's range, where the seek
    // does the most single advances; and the far ends.
    std::vector<int> frames = {1, 2, 3600, max_shot_frame - jump_frames, max_shot_frame};
    float clock = 0.0f;
    for (int frame = 1;; ++frame) {
        float next = advance_frame_clock(clock);
        if (next == clock) {
            frames.push_back(frame - 1);
            frames.push_back(frame);
            break;
        }
        int before = 0;
        int after = 0;
        std::frexp(clock, &before);
        std::frexp(next, &after);
        if (before != after) {
            frames.push_back(frame - 1);
        }
        clock = next;
    }

    int worst_frame = 0;
    double worst_median = -1.0;
    double worst_high = 0.0;
    for (int frame : frames) {
        double median_us = 0.0;
        double high_us = 0.0;
        time_seek(frame, repeats / 10 > 0 ? repeats / 10 : 1, &median_us, &high_us);
        if (median_us > worst_median) {
            worst_median = median_us;
            worst_frame = frame;
        }
    }
    double down_median = 0.0;
    double down_high = 0.0;
    time_seek(max_shot_frame - jump_frames, repeats, &down_median, &down_high);
    time_seek(worst_frame, repeats, &worst_median, &worst_high);

    auto start = bench_clock::now();
    float loop = 0.0f;
    for (int frame = 0; frame < max_shot_frame - jump_frames; ++frame) {
        float next = advance_frame_clock(loop);
        if (next == loop) {
            break; // the old loop's shortcut: nothing moves from here on
        }
        loop = next;
    }
    sink = loop;
    double loop_ms = std::chrono::duration<double, std::milli>(bench_clock::now() - start).count();

    std::printf("seek (frame_clock_at), %d calls each: median and 99.9th percentile of one call\n",
                repeats);
    std::printf("  Down from the last frame (frame %d): %.3f us, 99.9%% %.3f us\n",
                max_shot_frame - jump_frames, down_median, down_high);
    std::printf("  slowest of %zu frames at the float's range changes (frame %d): %.3f us, "
                "99.9%% %.3f us\n",
                frames.size(), worst_frame, worst_median, worst_high);
    std::printf(
        "  for scale, the plain loop of advances from 0 to where the clock stops: %.1f ms\n",
        loop_ms);
    std::printf("  a frame at 60 fps: 16667 us\n");
    return 0;
}
