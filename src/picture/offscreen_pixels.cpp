// Reading the off-screen picture back: plain GL, the same on every platform.
#include "picture/offscreen.h"

#include "display/opengl.h"

#include <cstdio>
#include <cstring>

void read_offscreen_pixels(unsigned char* rgb) {
    GLint viewport[4] = {0, 0, 0, 0};
    glGetIntegerv(GL_VIEWPORT, viewport);
    int width = viewport[2];
    int height = viewport[3];
    size_t row_bytes = static_cast<size_t>(width) * 3;
    glFinish();
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, width, height, GL_RGB, GL_UNSIGNED_BYTE, rgb);
    // The GL gives the bottom row first: top row first instead, swapped a
    // piece at a time through a small buffer.
    unsigned char piece[4096];
    for (int top = 0, bottom = height - 1; top < bottom; ++top, --bottom) {
        unsigned char* upper = rgb + top * row_bytes;
        unsigned char* lower = rgb + bottom * row_bytes;
        for (size_t done = 0; done < row_bytes; done += sizeof piece) {
            size_t count = row_bytes - done < sizeof piece ? row_bytes - done : sizeof piece;
            std::memcpy(piece, upper + done, count);
            std::memcpy(upper + done, lower + done, count);
            std::memcpy(lower + done, piece, count);
        }
    }
}

void report_offscreen_too_large(int width, int height, int largest_width, int largest_height) {
    std::fprintf(stderr,
                 "qo: cannot draw %dx%d off screen: the largest this GL can give is %dx%d\n", width,
                 height, largest_width, largest_height);
}
