// The yardstick of the bench: the least a frame of the viewer needs, with no
// key poll and no event handling.
//
// One 800x600 X11 window with the viewer's visual and a legacy GLX context,
// one build of vs.fx + ps.fx from the working directory, then per frame: the
// events drained (a ClientMessage ends the loop after the frame), clear,
// matrices, the fpar upload, the rectangle, the swap.
//
//   qo_bench_bare [--rebuild] [--x X] [--swap-interval N] [--info]
//     --rebuild          builds the program anew every frame and deletes the
//                        previous one (what the viewer does while F5 is held)
//     --x X              puts the window's left edge at X (default 0)
//     --swap-interval N  asks for N refreshes per swap (default: not asked)
//     --info             prints the GL renderer, version and the GLX
//                        swap-control extensions, then exits
#include "shader/gl_entry_points.h"

#include <GL/gl.h>
#include <GL/glx.h>
#include <X11/Xlib.h>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int source_capacity = 4096;

// The loop's state.
struct {
    Display* display;
    Window window;
    GLXContext context;
    char vertex_source[source_capacity];
    char fragment_source[source_capacity];
    int vertex_length;
    int fragment_length;
    GLuint_t program;
    GLint_t fpar_location;
} bare;

int read_source(const char* path, char* buffer, int* length) {
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        std::fprintf(stderr, "qo_bench_bare: cannot read %s\n", path);
        return 1;
    }
    *length = static_cast<int>(std::fread(buffer, 1, source_capacity, file));
    std::fclose(file);
    return 0;
}

// The same 13 classic entry points plus the two deletions, through the
// viewer's table so that the calls cost the same.
gl_proc proc_address(const char* name) {
    return reinterpret_cast<gl_proc>(glXGetProcAddressARB(reinterpret_cast<const GLubyte*>(name)));
}

int resolve_entry_points(void) {
    for (int i = 0; i < gl_entry_count; ++i) {
        gl_entry_points[i] = proc_address(gl_entry_names[i]);
        if (gl_entry_points[i] == nullptr) {
            std::fprintf(stderr, "qo_bench_bare: no %s\n", gl_entry_names[i]);
            return 1;
        }
    }
    return 0;
}

void build_program(void) {
    GLuint_t previous = bare.program;
    GLuint_t program = glCreateProgram_();
    GLuint_t vertex = glCreateShader_(0x8B31);
    GLuint_t fragment = glCreateShader_(0x8B30);
    const GLchar_t* text = bare.vertex_source;
    glShaderSource_(vertex, 1, &text, &bare.vertex_length);
    text = bare.fragment_source;
    glShaderSource_(fragment, 1, &text, &bare.fragment_length);
    glCompileShader_(vertex);
    glCompileShader_(fragment);
    glAttachShader_(program, fragment);
    glAttachShader_(program, vertex);
    glLinkProgram_(program);
    glDeleteShader_(vertex);
    glDeleteShader_(fragment);
    glUseProgram_(program);
    bare.fpar_location = glGetUniformLocation_(program, "fpar");
    bare.program = program;
    if (previous != 0) {
        glDeleteProgram_(previous);
    }
}

void set_swap_interval(int interval) {
    const char* extensions = glXQueryExtensionsString(bare.display, DefaultScreen(bare.display));
    if (std::strstr(extensions, "GLX_EXT_swap_control") != nullptr) {
        typedef void (*swap_interval_ext)(Display*, GLXDrawable, int);
        reinterpret_cast<swap_interval_ext>(proc_address("glXSwapIntervalEXT"))(
            bare.display, bare.window, interval);
    } else if (std::strstr(extensions, "GLX_MESA_swap_control") != nullptr) {
        typedef int (*swap_interval_mesa)(unsigned int);
        reinterpret_cast<swap_interval_mesa>(proc_address("glXSwapIntervalMESA"))(
            static_cast<unsigned int>(interval));
    }
}

void print_info(void) {
    std::printf("renderer: %s\n", reinterpret_cast<const char*>(glGetString(GL_RENDERER)));
    std::printf("version: %s\n", reinterpret_cast<const char*>(glGetString(GL_VERSION)));
    const char* extensions = glXQueryExtensionsString(bare.display, DefaultScreen(bare.display));
    const char* names[] = {"GLX_EXT_swap_control", "GLX_MESA_swap_control", "GLX_SGI_swap_control"};
    for (const char* name : names) {
        std::printf("%s: %s\n", name, std::strstr(extensions, name) != nullptr ? "yes" : "no");
    }
}

int open_window(int x) {
    bare.display = XOpenDisplay(nullptr);
    if (bare.display == nullptr) {
        std::fprintf(stderr, "qo_bench_bare: cannot open the display\n");
        return 1;
    }
    Display* dpy = bare.display;
    int screen = DefaultScreen(dpy);
    int attributes[] = {
        GLX_RGBA, GLX_DOUBLEBUFFER, GLX_RED_SIZE, 8,   GLX_GREEN_SIZE, 8, GLX_BLUE_SIZE,
        8,        GLX_DEPTH_SIZE,   16,           None};
    XVisualInfo* visual = glXChooseVisual(dpy, screen, attributes);
    if (visual == nullptr) {
        std::fprintf(stderr, "qo_bench_bare: no visual\n");
        return 1;
    }
    Window root = RootWindow(dpy, screen);
    XSetWindowAttributes window_attributes;
    std::memset(&window_attributes, 0, sizeof window_attributes);
    window_attributes.colormap = XCreateColormap(dpy, root, visual->visual, AllocNone);
    bare.window = XCreateWindow(dpy, root, x, 0, 800, 600, 0, visual->depth, InputOutput,
                                visual->visual, CWColormap, &window_attributes);
    XMapWindow(dpy, bare.window);
    bare.context = glXCreateContext(dpy, visual, nullptr, True);
    XFree(visual);
    if (bare.context == nullptr || !glXMakeCurrent(dpy, bare.window, bare.context)) {
        std::fprintf(stderr, "qo_bench_bare: no GL context\n");
        return 1;
    }
    return 0;
}

} // namespace

// The viewer's table looks entry points up through this hook.
gl_proc gl_get_proc_address(const char* name) {
    return proc_address(name);
}

int main(int argc, char** argv) {
    bool rebuild = false;
    bool info = false;
    int swap_interval = -1;
    int x = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--rebuild") == 0) {
            rebuild = true;
        } else if (std::strcmp(argv[i], "--info") == 0) {
            info = true;
        } else if (std::strcmp(argv[i], "--x") == 0 && i + 1 < argc) {
            x = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--swap-interval") == 0 && i + 1 < argc) {
            swap_interval = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr,
                         "usage: qo_bench_bare [--rebuild] [--x X] [--swap-interval N] [--info]\n");
            return 2;
        }
    }
    if (open_window(x) != 0) {
        return 1;
    }
    if (info) {
        print_info();
        return 0;
    }
    if (swap_interval >= 0) {
        set_swap_interval(swap_interval);
    }
    if (resolve_entry_points() != 0 ||
        read_source("vs.fx", bare.vertex_source, &bare.vertex_length) != 0 ||
        read_source("ps.fx", bare.fragment_source, &bare.fragment_length) != 0) {
        return 1;
    }
    build_program();

    float clock = 0.0f;
    float fpar[16] = {};
    bool quit = false;
    while (!quit) {
        while (XPending(bare.display) > 0) {
            XEvent event;
            XNextEvent(bare.display, &event);
            quit = quit || event.type == ClientMessage;
        }
        if (rebuild) {
            build_program();
        }
        glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        glMatrixMode(GL_MODELVIEW);
        glLoadIdentity();
        glMatrixMode(GL_PROJECTION);
        glLoadIdentity();
        clock = static_cast<float>(static_cast<double>(clock) + 1.0 / 60.0);
        fpar[0] = static_cast<float>(std::sin(static_cast<double>(clock + 0.1f))) * 2.0f;
        fpar[2] = static_cast<float>(std::cos(static_cast<double>(clock))) * 2.0f;
        fpar[8] = clock;
        fpar[11] = 1.0f;
        glUniform4fv_(bare.fpar_location, 4, fpar);
        glRectf(-1.0f, -1.0f, 1.0f, 1.0f);
        glXSwapBuffers(bare.display, bare.window);
    }
    glXMakeCurrent(bare.display, None, nullptr);
    glXDestroyContext(bare.display, bare.context);
    XDestroyWindow(bare.display, bare.window);
    XCloseDisplay(bare.display);
    return 0;
}
