#include "app/frame_clock.h"

#include <cmath>

float advance_frame_clock(float clock) {
    return static_cast<float>(static_cast<double>(clock) + 1.0 / 60.0);
}

// Within one power-of-two range of the float [2^(e-1), 2^e) every clock is a
// multiple of the range's unit, and while the sum stays below 2^e both
// roundings of the advance (the double sum, then the float) fall the same
// way whatever that multiple is: the step is the same for every frame there.
// So whole runs of steps are taken at once, kept clear of the range's top by
// two steps, and the few frames next to the top, where the step changes, are
// taken one by one with the advance itself.
float frame_clock_at(int frame) {
    float clock = 0.0f;
    long long left = frame;
    while (left > 0) {
        float next = advance_frame_clock(clock);
        if (next == clock) {
            break; // it no longer advances, ever
        }
        int exponent = 0;
        std::frexp(clock, &exponent);
        double top = std::ldexp(1.0, exponent);
        double step = static_cast<double>(next) - static_cast<double>(clock);
        long long run = clock > 0.0f
                            ? static_cast<long long>((top - static_cast<double>(clock)) / step) - 2
                            : 0;
        if (run > left) {
            run = left;
        }
        if (run > 1) {
            // Exact: a multiple of the range's unit below its top.
            clock =
                static_cast<float>(static_cast<double>(clock) + static_cast<double>(run) * step);
            left -= run;
        } else {
            clock = next;
            --left;
        }
    }
    return clock;
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
