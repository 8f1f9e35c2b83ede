// The frame clock and the parameter block handed to the shaders as "fpar".
// Pure arithmetic, free of GL and window-system calls.
#pragma once

constexpr int fpar_float_count = 16;

// The clock after one more frame: widened to double, 1/60 added, rounded
// back to single precision. From 2^19 seconds on it no longer advances.
float advance_frame_clock(float clock);

// The clock of frame `frame` (1 is the first the viewer draws): exactly
// advance_frame_clock applied `frame` times from 0, for any frame up to
// 2147483647, in a few dozen steps rather than `frame` of them. 0 for a
// frame below 1.
float frame_clock_at(int frame);

// Fills the 16 floats (four vec4) from the clock value t:
// fpar[0] = (2 sin(t + 0.1), 0, 2 cos(t), 0), fpar[1] = 0,
// fpar[2] = (t, 0, 0, 1), fpar[3] = 0.
void fill_fpar_block(float t, float* fpar);
