#include "app/frame_clock.h"

#include <cmath>
#include <gtest/gtest.h>

TEST(FrameClock, FirstFrameGivesTheDocumentedParameters) {
    float t = advance_frame_clock(0.0f);
    EXPECT_EQ(t, 0.016666668f);
    float fpar[fpar_float_count];
    fill_fpar_block(t, fpar);
    const float expected[fpar_float_count] = {0.23280437f,  0, 1.9997222f, 0, 0, 0, 0, 0,
                                              0.016666668f, 0, 0,          1, 0, 0, 0, 0};
    for (int i = 0; i < fpar_float_count; ++i) {
        EXPECT_EQ(fpar[i], expected[i]) << "element " << i;
    }
}

TEST(FrameClock, StepIsWhatTheFloatCanHold) {
    struct Case {
        float from;
        float step;
    };
    const Case cases[] = {
        {32768.0f, 0.015625f}, {100000.0f, 0.015625f}, {262143.0f, 0.015625f},
        {262144.0f, 0.03125f}, {400000.0f, 0.03125f},  {524288.0f, 0.0f},
        {1000000.0f, 0.0f},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(advance_frame_clock(c.from) - c.from, c.step) << "from " << c.from;
    }
}

TEST(FrameClock, SixtyFramesMakeAboutOneSecond) {
    float t = 0.0f;
    for (int i = 0; i < 60; ++i) {
        t = advance_frame_clock(t);
    }
    EXPECT_NEAR(t, 1.0f, 1e-5f);
}

TEST(FrameClock, FixedElementsHoldAtAnyTime) {
    // Moving values follow the formula, every other element is 0 and fpar[2].w is 1,
    // also where the block held other values before.
    const float times[] = {0.0f, 1.5f, 100.25f, 40000.0f, 524288.0f};
    for (float t : times) {
        float fpar[fpar_float_count];
        for (float& f : fpar) {
            f = 7.0f;
        }
        fill_fpar_block(t, fpar);
        EXPECT_EQ(fpar[0], static_cast<float>(std::sin(static_cast<double>(t + 0.1f))) * 2.0f);
        EXPECT_EQ(fpar[2], static_cast<float>(std::cos(static_cast<double>(t))) * 2.0f);
        EXPECT_EQ(fpar[8], t);
        EXPECT_EQ(fpar[11], 1.0f);
        for (int i : {1, 3, 4, 5, 6, 7, 9, 10, 12, 13, 14, 15}) {
            EXPECT_EQ(fpar[i], 0.0f) << "element " << i << " at t " << t;
        }
    }
}

// frame_clock_at against the plain loop run to where the clock stops moving
// (about 25 million frames): equal at every frame around each change of
// the float's power-of-two range (where the step changes), at every frame
// of the first 5000, at every 997th frame, and past the stop.
TEST(FrameClock, ClockAtAnyFrameIsTheAccumulatedOne) {
    float before[3] = {0.0f, 0.0f, 0.0f}; // frames n - 2, n - 1, n of the loop
    float clock = 0.0f;
    long long check_until = 0;
    long long frame = 0;
    int ranges_crossed = 0;
    int mismatches = 0;
    auto check = [&](long long n, float expected) {
        float seen = frame_clock_at(static_cast<int>(n));
        if (seen != expected && ++mismatches <= 10) {
            ADD_FAILURE() << "frame " << n << ": " << seen << " instead of " << expected;
        }
    };
    for (;;) {
        float next = advance_frame_clock(clock);
        if (next == clock) {
            break;
        }
        ++frame;
        int old_exponent = 0;
        int new_exponent = 0;
        std::frexp(clock, &old_exponent);
        std::frexp(next, &new_exponent);
        before[0] = before[1];
        before[1] = before[2];
        before[2] = next;
        clock = next;
        if (new_exponent != old_exponent) {
            ++ranges_crossed;
            if (frame > 2) {
                check(frame - 2, before[0]);
                check(frame - 1, before[1]);
            }
            check_until = frame + 2;
        }
        if (frame <= check_until || frame <= 5000 || frame % 997 == 0) {
            check(frame, clock);
        }
    }
    EXPECT_EQ(clock, 524288.0f);
    EXPECT_GT(frame, 24000000);
    EXPECT_GE(ranges_crossed, 25);
    // Past the stop every frame has the same clock, up to the last one
    // --frame accepts.
    for (long long n : {frame, frame + 1, frame + 12345, 2147483646LL, 2147483647LL}) {
        check(n, clock);
    }
    check(0, 0.0f);
}
