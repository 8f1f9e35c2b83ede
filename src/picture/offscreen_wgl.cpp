// The off-screen context on Windows: the viewer's window and context, the
// window never shown (open_hidden_display); its context gives the
// WGL_ARB_pbuffer functions, and the frame is drawn into an 800x600 pbuffer
// with a context of its own (the window's kind of buffer: the GL rasterizes
// it the same way up as a window, unlike a framebuffer object, and a hidden
// window's own pixels are not kept).
#include "picture/offscreen.h"

#include "display/display.h"
#include "display/display_win32.h"
#include "display/opengl.h"
#include "shader/gl_entry_points.h"

#include <GL/wglext.h>
#include <cstdio>

namespace {

// qo --shot's pbuffer and its own context, beside the hidden window's.
struct {
    HPBUFFERARB pbuffer;
    HDC device_context;
    HGLRC gl_context;
    PFNWGLRELEASEPBUFFERDCARBPROC release_dc; // looked up with the others
    PFNWGLDESTROYPBUFFERARBPROC destroy;
} shot;

// A pbuffer pixel format with exactly 8 bits of red, green and blue (as the
// window's) and a depth buffer of at least 16 bits; 0 when there is none.
int choose_pbuffer_format(PFNWGLCHOOSEPIXELFORMATARBPROC choose,
                          PFNWGLGETPIXELFORMATATTRIBIVARBPROC describe) {
    const int attributes[] = {WGL_DRAW_TO_PBUFFER_ARB,
                              TRUE,
                              WGL_SUPPORT_OPENGL_ARB,
                              TRUE,
                              WGL_PIXEL_TYPE_ARB,
                              WGL_TYPE_RGBA_ARB,
                              WGL_RED_BITS_ARB,
                              8,
                              WGL_GREEN_BITS_ARB,
                              8,
                              WGL_BLUE_BITS_ARB,
                              8,
                              WGL_DEPTH_BITS_ARB,
                              16,
                              0};
    constexpr UINT capacity = 64;
    int formats[capacity];
    UINT count = 0;
    if (!choose(display_device_context(), attributes, nullptr, capacity, formats, &count)) {
        return 0;
    }
    for (UINT i = 0; i < count && i < capacity; ++i) {
        const int names[] = {WGL_RED_BITS_ARB, WGL_GREEN_BITS_ARB, WGL_BLUE_BITS_ARB};
        int bits[3] = {0, 0, 0};
        if (describe(display_device_context(), formats[i], 0, 3, names, bits) && bits[0] == 8 &&
            bits[1] == 8 && bits[2] == 8) {
            return formats[i];
        }
    }
    return 0;
}

} // namespace

int open_offscreen(void) {
    if (open_hidden_display() != 0) {
        return 1;
    }
    auto choose = reinterpret_cast<PFNWGLCHOOSEPIXELFORMATARBPROC>(
        gl_get_proc_address("wglChoosePixelFormatARB"));
    auto describe = reinterpret_cast<PFNWGLGETPIXELFORMATATTRIBIVARBPROC>(
        gl_get_proc_address("wglGetPixelFormatAttribivARB"));
    auto create =
        reinterpret_cast<PFNWGLCREATEPBUFFERARBPROC>(gl_get_proc_address("wglCreatePbufferARB"));
    auto get_dc =
        reinterpret_cast<PFNWGLGETPBUFFERDCARBPROC>(gl_get_proc_address("wglGetPbufferDCARB"));
    shot.release_dc = reinterpret_cast<PFNWGLRELEASEPBUFFERDCARBPROC>(
        gl_get_proc_address("wglReleasePbufferDCARB"));
    shot.destroy =
        reinterpret_cast<PFNWGLDESTROYPBUFFERARBPROC>(gl_get_proc_address("wglDestroyPbufferARB"));
    if (choose == nullptr || describe == nullptr || create == nullptr || get_dc == nullptr ||
        shot.release_dc == nullptr || shot.destroy == nullptr) {
        std::fprintf(stderr, "qo: the OpenGL driver offers no pbuffers (WGL_ARB_pbuffer and "
                             "WGL_ARB_pixel_format)\n");
        return 1;
    }
    int format = choose_pbuffer_format(choose, describe);
    if (format == 0) {
        std::fprintf(stderr, "qo: no pbuffer pixel format with 8 bits per colour and a depth "
                             "buffer\n");
        return 1;
    }
    const int no_attributes[] = {0};
    SetLastError(0);
    shot.pbuffer =
        create(display_device_context(), format, offscreen_width, offscreen_height, no_attributes);
    if (shot.pbuffer == nullptr) {
        report_win32_failure("cannot create an 800x600 pbuffer", GetLastError());
        return 1;
    }
    shot.device_context = get_dc(shot.pbuffer);
    SetLastError(0);
    shot.gl_context =
        shot.device_context != nullptr ? wglCreateContext(shot.device_context) : nullptr;
    if (shot.gl_context == nullptr) {
        report_win32_failure("cannot create an OpenGL context for the pbuffer", GetLastError());
        return 1;
    }
    SetLastError(0);
    if (!wglMakeCurrent(shot.device_context, shot.gl_context)) {
        report_win32_failure("cannot make the pbuffer's OpenGL context current", GetLastError());
        return 1;
    }
    // The pbuffer's context answers through WGL as the window's does.
    set_gl_proc_lookup(wgl_proc_address);
    glViewport(0, 0, offscreen_width, offscreen_height);
    return 0;
}

void close_offscreen(void) {
    if (shot.gl_context != nullptr) {
        wglMakeCurrent(nullptr, nullptr);
        set_gl_proc_lookup(nullptr);
        wglDeleteContext(shot.gl_context);
        shot.gl_context = nullptr;
    }
    if (shot.pbuffer != nullptr) {
        if (shot.device_context != nullptr) {
            shot.release_dc(shot.pbuffer, shot.device_context);
            shot.device_context = nullptr;
        }
        shot.destroy(shot.pbuffer);
        shot.pbuffer = nullptr;
    }
    close_display();
}
