// The off-screen context on Windows: the viewer's window and context, the
// window never shown (open_hidden_display), and the frame drawn into a
// framebuffer object of that context and read back from it. That is the
// off-screen path every Windows driver offers: a hidden window's own pixels
// are not kept (they fail the pixel ownership test), and pbuffers are older
// and not offered everywhere (Wine 10 ends their drawing with an X error).
// The picture comes out the same way up as a window's; Mesa, which keeps a
// window's buffer the other way up, may round a detailed shader a level
// apart at a few pixels.
#include "picture/offscreen.h"

#include "display/display.h"
#include "display/display_win32.h"
#include "display/opengl.h"
#include "shader/gl_entry_points.h"

#include <GL/glext.h>
#include <cstdio>

namespace {

// The GL's framebuffer-object calls (OpenGL 3.0 or ARB_framebuffer_object,
// EXT_framebuffer_object before them, with the same numbers): not in
// opengl32.dll, looked up through the hidden window's context.
struct {
    PFNGLGENFRAMEBUFFERSPROC gen_framebuffers;
    PFNGLBINDFRAMEBUFFERPROC bind_framebuffer;
    PFNGLDELETEFRAMEBUFFERSPROC delete_framebuffers;
    PFNGLGENRENDERBUFFERSPROC gen_renderbuffers;
    PFNGLBINDRENDERBUFFERPROC bind_renderbuffer;
    PFNGLDELETERENDERBUFFERSPROC delete_renderbuffers;
    PFNGLRENDERBUFFERSTORAGEPROC renderbuffer_storage;
    PFNGLFRAMEBUFFERRENDERBUFFERPROC framebuffer_renderbuffer;
    PFNGLCHECKFRAMEBUFFERSTATUSPROC check_framebuffer_status;
} fbo;

// qo --shot's framebuffer: its colour and depth renderbuffers; 0 when none.
struct {
    GLuint framebuffer;
    GLuint colour;
    GLuint depth;
} shot;

// `name` as the GL offers it, or with the EXT suffix of the older extension.
template <typename T> bool look_up(T* call, const char* name) {
    char suffixed[64];
    std::snprintf(suffixed, sizeof suffixed, "%sEXT", name);
    gl_proc found = gl_get_proc_address(name);
    if (found == nullptr) {
        found = gl_get_proc_address(suffixed);
    }
    *call = reinterpret_cast<T>(found);
    return found != nullptr;
}

bool look_up_framebuffer_calls(void) {
    bool all = look_up(&fbo.gen_framebuffers, "glGenFramebuffers");
    all = look_up(&fbo.bind_framebuffer, "glBindFramebuffer") && all;
    all = look_up(&fbo.delete_framebuffers, "glDeleteFramebuffers") && all;
    all = look_up(&fbo.gen_renderbuffers, "glGenRenderbuffers") && all;
    all = look_up(&fbo.bind_renderbuffer, "glBindRenderbuffer") && all;
    all = look_up(&fbo.delete_renderbuffers, "glDeleteRenderbuffers") && all;
    all = look_up(&fbo.renderbuffer_storage, "glRenderbufferStorage") && all;
    all = look_up(&fbo.framebuffer_renderbuffer, "glFramebufferRenderbuffer") && all;
    return look_up(&fbo.check_framebuffer_status, "glCheckFramebufferStatus") && all;
}

// Whether the GL can draw `width` x `height` into a framebuffer object;
// when it cannot, one stderr line naming the largest it can.
bool size_fits(int width, int height) {
    GLint renderbuffer = 0;
    GLint viewport[2] = {0, 0};
    glGetIntegerv(GL_MAX_RENDERBUFFER_SIZE, &renderbuffer);
    glGetIntegerv(GL_MAX_VIEWPORT_DIMS, viewport);
    int largest_width = renderbuffer < viewport[0] ? renderbuffer : viewport[0];
    int largest_height = renderbuffer < viewport[1] ? renderbuffer : viewport[1];
    if (width <= largest_width && height <= largest_height) {
        return true;
    }
    report_offscreen_too_large(width, height, largest_width, largest_height);
    return false;
}

// A framebuffer object of `width` x `height` with 8-bit RGBA colour and a
// 16-bit depth buffer, bound for drawing and reading in the current
// context. Returns 0, or 1 after one stderr line.
int open_framebuffer(int width, int height) {
    if (!look_up_framebuffer_calls()) {
        std::fprintf(stderr, "qo: the OpenGL driver offers no framebuffer objects (OpenGL 3.0, "
                             "ARB_framebuffer_object or EXT_framebuffer_object)\n");
        return 1;
    }
    if (!size_fits(width, height)) {
        return 1;
    }
    fbo.gen_framebuffers(1, &shot.framebuffer);
    fbo.bind_framebuffer(GL_FRAMEBUFFER, shot.framebuffer);
    fbo.gen_renderbuffers(1, &shot.colour);
    fbo.bind_renderbuffer(GL_RENDERBUFFER, shot.colour);
    fbo.renderbuffer_storage(GL_RENDERBUFFER, GL_RGBA8, width, height);
    fbo.framebuffer_renderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER,
                                 shot.colour);
    fbo.gen_renderbuffers(1, &shot.depth);
    fbo.bind_renderbuffer(GL_RENDERBUFFER, shot.depth);
    fbo.renderbuffer_storage(GL_RENDERBUFFER, GL_DEPTH_COMPONENT16, width, height);
    fbo.framebuffer_renderbuffer(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_RENDERBUFFER, shot.depth);
    fbo.bind_renderbuffer(GL_RENDERBUFFER, 0);
    GLenum status = fbo.check_framebuffer_status(GL_FRAMEBUFFER);
    if (status != GL_FRAMEBUFFER_COMPLETE) {
        std::fprintf(stderr,
                     "qo: cannot draw %dx%d off screen: the framebuffer is incomplete "
                     "(status 0x%04X)\n",
                     width, height, static_cast<unsigned>(status));
        return 1;
    }
    glDrawBuffer(GL_COLOR_ATTACHMENT0);
    glReadBuffer(GL_COLOR_ATTACHMENT0);
    glViewport(0, 0, width, height);
    return 0;
}

} // namespace

int open_offscreen(int width, int height) {
    if (open_hidden_display() != 0) {
        return 1;
    }
    return open_framebuffer(width, height);
}

void close_offscreen(void) {
    if (shot.framebuffer != 0) {
        fbo.bind_framebuffer(GL_FRAMEBUFFER, 0);
        fbo.delete_framebuffers(1, &shot.framebuffer);
        const GLuint renderbuffers[] = {shot.colour, shot.depth};
        for (GLuint renderbuffer : renderbuffers) {
            if (renderbuffer != 0) {
                fbo.delete_renderbuffers(1, &renderbuffer);
            }
        }
    }
    shot.framebuffer = 0;
    shot.colour = 0;
    shot.depth = 0;
    close_display();
}
