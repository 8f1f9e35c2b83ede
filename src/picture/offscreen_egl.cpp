// The off-screen context on Linux: EGL on Mesa's surfaceless platform
// (EGL_MESA_platform_surfaceless), which renders with no X server, no
// Wayland compositor and no GPU (llvmpipe). Whether a display exists or not
// plays no part: DISPLAY and WAYLAND_DISPLAY are never read, so the picture
// is the same either way.
//
// Desktop OpenGL (eglBindAPI(EGL_OPENGL_API)) with a compatibility-profile
// context, as the viewer's legacy GLX context: the fixed-function matrices
// and glRectf of the frame work unchanged. It draws into a pbuffer (800x600
// unless another size is asked for) of exactly 8 bits per colour: the
// window's kind of buffer, which Mesa rasterizes the same way up as the
// window (a framebuffer object is drawn upside down in memory, which moves
// rounding in a few pixels of a detailed shader), and no deeper colour that
// the read-back would round again.
#include "picture/offscreen.h"

#include "display/extension_search.h"
#include "shader/gl_entry_points.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GL/gl.h>
#include <cstdio>

namespace {

// Everything the backend holds for the run.
struct {
    EGLDisplay display;
    EGLContext context;
    EGLSurface surface;
    bool initialized;
    bool current;
} egl = {EGL_NO_DISPLAY, EGL_NO_CONTEXT, EGL_NO_SURFACE, false, false};

// EGL's error codes by name, for the stderr line.
const char* egl_error_name(EGLint code) {
    switch (code) {
    case EGL_SUCCESS:
        return "EGL_SUCCESS";
    case EGL_NOT_INITIALIZED:
        return "EGL_NOT_INITIALIZED";
    case EGL_BAD_ACCESS:
        return "EGL_BAD_ACCESS";
    case EGL_BAD_ALLOC:
        return "EGL_BAD_ALLOC";
    case EGL_BAD_ATTRIBUTE:
        return "EGL_BAD_ATTRIBUTE";
    case EGL_BAD_CONFIG:
        return "EGL_BAD_CONFIG";
    case EGL_BAD_CONTEXT:
        return "EGL_BAD_CONTEXT";
    case EGL_BAD_DISPLAY:
        return "EGL_BAD_DISPLAY";
    case EGL_BAD_MATCH:
        return "EGL_BAD_MATCH";
    case EGL_BAD_PARAMETER:
        return "EGL_BAD_PARAMETER";
    case EGL_BAD_SURFACE:
        return "EGL_BAD_SURFACE";
    default:
        return "an unknown EGL error";
    }
}

// The context's entry points answer through EGL.
gl_proc egl_proc_address(const char* name) {
    return reinterpret_cast<gl_proc>(eglGetProcAddress(name));
}

int report_egl_failure(const char* what) {
    EGLint code = eglGetError();
    std::fprintf(stderr, "qo: %s: %s (0x%04X)\n", what, egl_error_name(code),
                 static_cast<unsigned int>(code));
    return 1;
}

// A pbuffer configuration for desktop GL with exactly 8 bits of red, green
// and blue (as the window's visual) and a depth buffer of at least 16 bits.
// EGL sorts deeper colour (10 bits) first, so the exact one is looked for.
int choose_config(EGLConfig* chosen) {
    const EGLint attributes[] = {EGL_RENDERABLE_TYPE,
                                 EGL_OPENGL_BIT,
                                 EGL_SURFACE_TYPE,
                                 EGL_PBUFFER_BIT,
                                 EGL_COLOR_BUFFER_TYPE,
                                 EGL_RGB_BUFFER,
                                 EGL_RED_SIZE,
                                 8,
                                 EGL_GREEN_SIZE,
                                 8,
                                 EGL_BLUE_SIZE,
                                 8,
                                 EGL_DEPTH_SIZE,
                                 16,
                                 EGL_NONE};
    constexpr int capacity = 64;
    EGLConfig configs[capacity];
    EGLint count = 0;
    if (!eglChooseConfig(egl.display, attributes, configs, capacity, &count)) {
        return report_egl_failure("cannot list EGL's configurations");
    }
    for (int i = 0; i < count; ++i) {
        EGLint red = 0;
        EGLint green = 0;
        EGLint blue = 0;
        eglGetConfigAttrib(egl.display, configs[i], EGL_RED_SIZE, &red);
        eglGetConfigAttrib(egl.display, configs[i], EGL_GREEN_SIZE, &green);
        eglGetConfigAttrib(egl.display, configs[i], EGL_BLUE_SIZE, &blue);
        if (red == 8 && green == 8 && blue == 8) {
            *chosen = configs[i];
            return 0;
        }
    }
    std::fprintf(stderr, "qo: EGL has no pbuffer configuration for desktop OpenGL with 8 bits "
                         "per colour and a depth buffer\n");
    return 1;
}

} // namespace

int open_offscreen(int width, int height) {
    // Client extensions: asked of no display.
    const char* client_extensions = eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS);
    if (!extension_offered(client_extensions, "EGL_MESA_platform_surfaceless") ||
        !extension_offered(client_extensions, "EGL_EXT_platform_base")) {
        std::fprintf(stderr, "qo: EGL offers no surfaceless platform "
                             "(EGL_MESA_platform_surfaceless; Mesa's libegl-mesa0 has it)\n");
        return 1;
    }
    auto get_platform_display = reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(
        eglGetProcAddress("eglGetPlatformDisplayEXT"));
    if (get_platform_display == nullptr) {
        std::fprintf(stderr, "qo: EGL has no eglGetPlatformDisplayEXT\n");
        return 1;
    }
    egl.display = get_platform_display(EGL_PLATFORM_SURFACELESS_MESA,
                                       reinterpret_cast<void*>(EGL_DEFAULT_DISPLAY), nullptr);
    if (egl.display == EGL_NO_DISPLAY) {
        return report_egl_failure("cannot open EGL's surfaceless display");
    }
    if (!eglInitialize(egl.display, nullptr, nullptr)) {
        return report_egl_failure("cannot initialize EGL's surfaceless display");
    }
    egl.initialized = true;
    if (!eglBindAPI(EGL_OPENGL_API)) {
        return report_egl_failure("EGL offers no desktop OpenGL");
    }
    EGLConfig config = nullptr;
    if (choose_config(&config) != 0) {
        return 1;
    }
    // The largest pbuffer this configuration gives.
    EGLint largest_width = 0;
    EGLint largest_height = 0;
    eglGetConfigAttrib(egl.display, config, EGL_MAX_PBUFFER_WIDTH, &largest_width);
    eglGetConfigAttrib(egl.display, config, EGL_MAX_PBUFFER_HEIGHT, &largest_height);
    if (largest_width > 0 && largest_height > 0 &&
        (width > largest_width || height > largest_height)) {
        report_offscreen_too_large(width, height, largest_width, largest_height);
        return 1;
    }
    const EGLint surface_attributes[] = {EGL_WIDTH, width, EGL_HEIGHT, height, EGL_NONE};
    egl.surface = eglCreatePbufferSurface(egl.display, config, surface_attributes);
    if (egl.surface == EGL_NO_SURFACE) {
        char what[96];
        std::snprintf(what, sizeof what, "cannot create a %dx%d EGL pbuffer", width, height);
        return report_egl_failure(what);
    }
    const EGLint context_attributes[] = {EGL_CONTEXT_OPENGL_PROFILE_MASK,
                                         EGL_CONTEXT_OPENGL_COMPATIBILITY_PROFILE_BIT, EGL_NONE};
    egl.context = eglCreateContext(egl.display, config, EGL_NO_CONTEXT, context_attributes);
    if (egl.context == EGL_NO_CONTEXT) {
        return report_egl_failure("cannot create an OpenGL compatibility context with EGL");
    }
    if (!eglMakeCurrent(egl.display, egl.surface, egl.surface, egl.context)) {
        return report_egl_failure("cannot make the EGL context current");
    }
    egl.current = true;
    set_gl_proc_lookup(egl_proc_address);
    // The viewport cannot be larger than the GL's largest: a larger buffer
    // would be drawn only in part.
    GLint largest_viewport[2] = {0, 0};
    glGetIntegerv(GL_MAX_VIEWPORT_DIMS, largest_viewport);
    if (largest_viewport[0] > 0 && largest_viewport[1] > 0 &&
        (width > largest_viewport[0] || height > largest_viewport[1])) {
        int most_width = largest_width > 0 && largest_width < largest_viewport[0]
                             ? largest_width
                             : largest_viewport[0];
        int most_height = largest_height > 0 && largest_height < largest_viewport[1]
                              ? largest_height
                              : largest_viewport[1];
        report_offscreen_too_large(width, height, most_width, most_height);
        return 1;
    }
    // What the window's first viewport is: the whole buffer (EGL sets it so
    // at the first make-current; said here as the window backend says it).
    glViewport(0, 0, width, height);
    return 0;
}

void close_offscreen(void) {
    if (egl.current) {
        eglMakeCurrent(egl.display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
        set_gl_proc_lookup(nullptr);
        egl.current = false;
    }
    if (egl.context != EGL_NO_CONTEXT) {
        eglDestroyContext(egl.display, egl.context);
        egl.context = EGL_NO_CONTEXT;
    }
    if (egl.surface != EGL_NO_SURFACE) {
        eglDestroySurface(egl.display, egl.surface);
        egl.surface = EGL_NO_SURFACE;
    }
    if (egl.initialized) {
        eglTerminate(egl.display);
        egl.initialized = false;
    }
    // Frees what EGL keeps for this thread (the bound API, the last error).
    eglReleaseThread();
    egl.display = EGL_NO_DISPLAY;
}
