#include "app/frame_clock.h"

#include <cmath>

float advance_frame_clock(float clock) {
    return static_cast<float>(static_cast<double>(clock) + 1.0 / 60.0);
}

void fill_fpar_block(float t, float* fpar) {
    for (int i = 0; i < fpar_float_count; ++i) {
        fpar[i] = 0.0f;
    }
    // The phase is formed in single precision, the sine and cosine taken in
    // double, each rounded to a float before the float doubling.
    float phase = t * 1.0f + 0.1f;
    fpar[0] = static_cast<float>(std::sin(static_cast<double>(phase))) * 2.0f;
    fpar[2] = static_cast<float>(std::cos(static_cast<double>(t))) * 2.0f;
    fpar[8] = t;
    fpar[11] = 1.0f;
}
