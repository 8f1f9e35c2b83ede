// The yardstick of qo --shot: the least the same picture needs, with none of
// qo's checks, reports or safe file writing.
//
// EGL on Mesa's surfaceless platform, an 800x600 pbuffer of 8 bits per
// colour, one build of vs.fx + ps.fx from the working directory, the clock
// advanced N times, one frame (clear, matrices, the fpar upload, the
// rectangle), glReadPixels, and the picture written with libpng's
// png_image_write_to_file straight into FILE.
//
//   qo_bench_bare_shot FILE [N]       the picture of frame N (default 1)
//   qo_bench_bare_shot --context egl  only an EGL context made current (the
//                                     same one), then glFinish, and exit
//   qo_bench_bare_shot --context glx  only the viewer's window on $DISPLAY
//                                     with its GLX context, mapped and
//                                     current, then glFinish, and exit
//   qo_bench_bare_shot --loop N WxH draw|read|png|raw
//                                     qo --record's yardstick: frames 1 to N
//                                     at W x H in a row, each only drawn
//                                     (glFinish), or drawn and read back, or
//                                     also written as PNG (out-N.png, one
//                                     after the other: no overlap), or also
//                                     written raw to standard output
#include "shader/gl_entry_points.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GL/gl.h>
#include <GL/glx.h>
#include <X11/Xlib.h>
#include <png.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int width = 800;
int height = 600;
constexpr int source_capacity = 4096;
unsigned char* pixels = nullptr;
bool use_egl = true;

int fail(const char* what) {
    std::fprintf(stderr, "qo_bench_bare_shot: %s\n", what);
    return 1;
}

int open_egl(void) {
    auto get_display = reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(
        eglGetProcAddress("eglGetPlatformDisplayEXT"));
    EGLDisplay display = get_display != nullptr
                             ? get_display(EGL_PLATFORM_SURFACELESS_MESA, nullptr, nullptr)
                             : EGL_NO_DISPLAY;
    if (display == EGL_NO_DISPLAY || !eglInitialize(display, nullptr, nullptr) ||
        !eglBindAPI(EGL_OPENGL_API)) {
        return fail("no surfaceless EGL display");
    }
    const EGLint attributes[] = {EGL_RENDERABLE_TYPE,
                                 EGL_OPENGL_BIT,
                                 EGL_SURFACE_TYPE,
                                 EGL_PBUFFER_BIT,
                                 EGL_RED_SIZE,
                                 8,
                                 EGL_GREEN_SIZE,
                                 8,
                                 EGL_BLUE_SIZE,
                                 8,
                                 EGL_DEPTH_SIZE,
                                 16,
                                 EGL_NONE};
    EGLConfig configs[64];
    EGLint count = 0;
    eglChooseConfig(display, attributes, configs, 64, &count);
    EGLConfig config = nullptr;
    for (int i = 0; i < count && config == nullptr; ++i) {
        EGLint red = 0;
        eglGetConfigAttrib(display, configs[i], EGL_RED_SIZE, &red);
        config = red == 8 ? configs[i] : nullptr;
    }
    const EGLint surface_attributes[] = {EGL_WIDTH, static_cast<EGLint>(width), EGL_HEIGHT,
                                         static_cast<EGLint>(height), EGL_NONE};
    EGLSurface surface = config != nullptr
                             ? eglCreatePbufferSurface(display, config, surface_attributes)
                             : EGL_NO_SURFACE;
    const EGLint context_attributes[] = {EGL_CONTEXT_OPENGL_PROFILE_MASK,
                                         EGL_CONTEXT_OPENGL_COMPATIBILITY_PROFILE_BIT, EGL_NONE};
    EGLContext context = surface != EGL_NO_SURFACE
                             ? eglCreateContext(display, config, EGL_NO_CONTEXT, context_attributes)
                             : EGL_NO_CONTEXT;
    if (context == EGL_NO_CONTEXT || !eglMakeCurrent(display, surface, surface, context)) {
        return fail("no EGL context");
    }
    return 0;
}

int open_glx(void) {
    use_egl = false;
    Display* dpy = XOpenDisplay(nullptr);
    if (dpy == nullptr) {
        return fail("cannot open the display");
    }
    int attributes[] = {
        GLX_RGBA, GLX_DOUBLEBUFFER, GLX_RED_SIZE, 8,   GLX_GREEN_SIZE, 8, GLX_BLUE_SIZE,
        8,        GLX_DEPTH_SIZE,   16,           None};
    XVisualInfo* visual = glXChooseVisual(dpy, DefaultScreen(dpy), attributes);
    if (visual == nullptr) {
        return fail("no visual");
    }
    Window root = RootWindow(dpy, DefaultScreen(dpy));
    XSetWindowAttributes window_attributes;
    std::memset(&window_attributes, 0, sizeof window_attributes);
    window_attributes.colormap = XCreateColormap(dpy, root, visual->visual, AllocNone);
    Window window = XCreateWindow(dpy, root, 0, 0, width, height, 0, visual->depth, InputOutput,
                                  visual->visual, CWColormap, &window_attributes);
    XMapWindow(dpy, window);
    GLXContext context = glXCreateContext(dpy, visual, nullptr, True);
    if (context == nullptr || !glXMakeCurrent(dpy, window, context)) {
        return fail("no GLX context");
    }
    return 0;
}

int read_source(const char* path, char* buffer, GLint_t* length) {
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        return fail("cannot read a shader");
    }
    *length = static_cast<GLint_t>(std::fread(buffer, 1, source_capacity, file));
    std::fclose(file);
    return 0;
}

} // namespace

gl_proc gl_get_proc_address(const char* name) {
    if (use_egl) {
        return reinterpret_cast<gl_proc>(eglGetProcAddress(name));
    }
    return reinterpret_cast<gl_proc>(glXGetProcAddressARB(reinterpret_cast<const GLubyte*>(name)));
}

namespace {

// The program from vs.fx and ps.fx in the working directory; 0 when none.
GLuint_t build_program(void) {
    static char vertex_source[source_capacity];
    static char fragment_source[source_capacity];
    GLint_t vertex_length = 0;
    GLint_t fragment_length = 0;
    if (read_source("vs.fx", vertex_source, &vertex_length) != 0 ||
        read_source("ps.fx", fragment_source, &fragment_length) != 0) {
        return 0;
    }
    GLuint_t program = glCreateProgram_();
    GLuint_t vertex = glCreateShader_(0x8B31);
    GLuint_t fragment = glCreateShader_(0x8B30);
    const GLchar_t* text = vertex_source;
    glShaderSource_(vertex, 1, &text, &vertex_length);
    text = fragment_source;
    glShaderSource_(fragment, 1, &text, &fragment_length);
    glCompileShader_(vertex);
    glCompileShader_(fragment);
    glAttachShader_(program, fragment);
    glAttachShader_(program, vertex);
    glLinkProgram_(program);
    return program;
}

// One frame at `clock`: clear, matrices, the fpar upload, the rectangle.
void draw(GLuint_t program, float clock) {
    float fpar[16] = {};
    fpar[0] = static_cast<float>(std::sin(static_cast<double>(clock + 0.1f))) * 2.0f;
    fpar[2] = static_cast<float>(std::cos(static_cast<double>(clock))) * 2.0f;
    fpar[8] = clock;
    fpar[11] = 1.0f;
    glViewport(0, 0, width, height);
    glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glUseProgram_(program);
    glUniform4fv_(glGetUniformLocation_(program, "fpar"), 4, fpar);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glRectf(-1.0f, -1.0f, 1.0f, 1.0f);
}

int write_png(const char* path) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = PNG_FORMAT_RGB;
    // A negative stride: the GL's bottom row last.
    if (!png_image_write_to_file(&image, path, 0, pixels, -width * 3, nullptr)) {
        return fail(image.message);
    }
    return 0;
}

// --loop N WxH MODE
int run_loop(long frames, const char* size, const char* mode) {
    if (std::sscanf(size, "%dx%d", &width, &height) != 2 || width <= 0 || height <= 0) {
        return fail("not a size WxH");
    }
    pixels = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(width) * height * 3));
    GLuint_t program = 0;
    if (pixels == nullptr || open_egl() != 0 || resolve_gl_entry_points() != gl_entry_count ||
        (program = build_program()) == 0) {
        return 1;
    }
    bool read = std::strcmp(mode, "draw") != 0;
    float clock = 0.0f;
    for (long i = 1; i <= frames; ++i) {
        clock = static_cast<float>(static_cast<double>(clock) + 1.0 / 60.0);
        draw(program, clock);
        if (!read) {
            glFinish();
            continue;
        }
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glReadPixels(0, 0, width, height, GL_RGB, GL_UNSIGNED_BYTE, pixels);
        if (std::strcmp(mode, "png") == 0) {
            char path[64];
            std::snprintf(path, sizeof path, "out-%ld.png", i);
            if (write_png(path) != 0) {
                return 1;
            }
        } else if (std::strcmp(mode, "raw") == 0 &&
                   std::fwrite(pixels, 3, static_cast<size_t>(width) * height, stdout) !=
                       static_cast<size_t>(width) * height) {
            return fail("cannot write standard output");
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--context") == 0) {
        int status = std::strcmp(argv[2], "glx") == 0 ? open_glx() : open_egl();
        glFinish();
        return status;
    }
    if (argc == 5 && std::strcmp(argv[1], "--loop") == 0) {
        return run_loop(std::atol(argv[2]), argv[3], argv[4]);
    }
    if (argc < 2 || argc > 3 || argv[1][0] == '-') {
        std::fprintf(stderr, "usage: qo_bench_bare_shot FILE [N] | --context egl|glx | --loop N "
                             "WxH draw|read|png|raw\n");
        return 2;
    }
    long frames = argc == 3 ? std::atol(argv[2]) : 1;
    pixels = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(width) * height * 3));
    GLuint_t program = 0;
    if (pixels == nullptr || open_egl() != 0 || resolve_gl_entry_points() != gl_entry_count ||
        (program = build_program()) == 0) {
        return 1;
    }
    float clock = 0.0f;
    for (long i = 0; i < frames; ++i) {
        clock = static_cast<float>(static_cast<double>(clock) + 1.0 / 60.0);
    }
    draw(program, clock);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, width, height, GL_RGB, GL_UNSIGNED_BYTE, pixels);
    return write_png(argv[1]);
}
