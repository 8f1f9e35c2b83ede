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
