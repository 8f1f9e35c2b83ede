// Reading the off-screen picture back: plain GL, the same on every platform.
#include "picture/offscreen.h"

#include "display/opengl.h"

#include <cstring>

void read_offscreen_pixels(unsigned char* rgb) {
    constexpr int row_bytes = offscreen_width * 3;
    glFinish();
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, offscreen_width, offscreen_height, GL_RGB, GL_UNSIGNED_BYTE, rgb);
    // The GL gives the bottom row first: top row first instead.
    unsigned char row[row_bytes];
    for (int top = 0, bottom = offscreen_height - 1; top < bottom; ++top, --bottom) {
        std::memcpy(row, rgb + top * row_bytes, row_bytes);
        std::memcpy(rgb + top * row_bytes, rgb + bottom * row_bytes, row_bytes);
        std::memcpy(rgb + bottom * row_bytes, row, row_bytes);
    }
}
