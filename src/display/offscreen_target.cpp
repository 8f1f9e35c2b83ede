// The framebuffer object `qo --shot` draws into: plain GL on whichever
// context the platform's off-screen backend made current. Its entry points
// (OpenGL 3.0 or GL_ARB_framebuffer_object, else GL_EXT_framebuffer_object
// with the same values) are looked up here, apart from the shader work's
// table: the viewer itself never needs them.
#include "display/offscreen.h"

#include "display/opengl.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr GLenum gl_framebuffer = 0x8D40;
constexpr GLenum gl_renderbuffer = 0x8D41;
constexpr GLenum gl_color_attachment0 = 0x8CE0;
constexpr GLenum gl_depth_attachment = 0x8D00;
constexpr GLenum gl_framebuffer_complete = 0x8CD5;
constexpr GLenum gl_rgba8 = 0x8058;
constexpr GLenum gl_depth_component16 = 0x81A5;

typedef void(GL_APIENTRY* gen_fn)(GLsizei_t, GLuint_t*);
typedef void(GL_APIENTRY* delete_fn)(GLsizei_t, const GLuint_t*);
typedef void(GL_APIENTRY* bind_fn)(GLenum_t, GLuint_t);
typedef void(GL_APIENTRY* storage_fn)(GLenum_t, GLenum_t, GLsizei_t, GLsizei_t);
typedef void(GL_APIENTRY* attach_fn)(GLenum_t, GLenum_t, GLenum_t, GLuint_t);
typedef GLenum_t(GL_APIENTRY* status_fn)(GLenum_t);

struct {
    gen_fn gen_framebuffers;
    gen_fn gen_renderbuffers;
    delete_fn delete_framebuffers;
    delete_fn delete_renderbuffers;
    bind_fn bind_framebuffer;
    bind_fn bind_renderbuffer;
    storage_fn renderbuffer_storage;
    attach_fn framebuffer_renderbuffer;
    status_fn check_framebuffer_status;
    GLuint_t framebuffer;
    GLuint_t renderbuffers[2]; // colour, depth
} target;

// The core name, else the EXT one.
gl_proc look_up(const char* name) {
    gl_proc proc = gl_get_proc_address(name);
    if (proc == nullptr) {
        char ext_name[64];
        std::snprintf(ext_name, sizeof ext_name, "%sEXT", name);
        proc = gl_get_proc_address(ext_name);
    }
    return proc;
}

bool resolve_framebuffer_entry_points(void) {
    target.gen_framebuffers = reinterpret_cast<gen_fn>(look_up("glGenFramebuffers"));
    target.gen_renderbuffers = reinterpret_cast<gen_fn>(look_up("glGenRenderbuffers"));
    target.delete_framebuffers = reinterpret_cast<delete_fn>(look_up("glDeleteFramebuffers"));
    target.delete_renderbuffers = reinterpret_cast<delete_fn>(look_up("glDeleteRenderbuffers"));
    target.bind_framebuffer = reinterpret_cast<bind_fn>(look_up("glBindFramebuffer"));
    target.bind_renderbuffer = reinterpret_cast<bind_fn>(look_up("glBindRenderbuffer"));
    target.renderbuffer_storage = reinterpret_cast<storage_fn>(look_up("glRenderbufferStorage"));
    target.framebuffer_renderbuffer =
        reinterpret_cast<attach_fn>(look_up("glFramebufferRenderbuffer"));
    target.check_framebuffer_status =
        reinterpret_cast<status_fn>(look_up("glCheckFramebufferStatus"));
    return target.gen_framebuffers != nullptr && target.gen_renderbuffers != nullptr &&
           target.delete_framebuffers != nullptr && target.delete_renderbuffers != nullptr &&
           target.bind_framebuffer != nullptr && target.bind_renderbuffer != nullptr &&
           target.renderbuffer_storage != nullptr && target.framebuffer_renderbuffer != nullptr &&
           target.check_framebuffer_status != nullptr;
}

} // namespace

int open_offscreen_target(void) {
    if (!resolve_framebuffer_entry_points()) {
        std::fprintf(stderr, "qo: the GL context has no framebuffer objects (OpenGL 3.0, "
                             "GL_ARB_framebuffer_object or GL_EXT_framebuffer_object)\n");
        target.gen_framebuffers = nullptr;
        return 1;
    }
    target.gen_framebuffers(1, &target.framebuffer);
    target.gen_renderbuffers(2, target.renderbuffers);
    target.bind_renderbuffer(gl_renderbuffer, target.renderbuffers[0]);
    target.renderbuffer_storage(gl_renderbuffer, gl_rgba8, offscreen_width, offscreen_height);
    target.bind_renderbuffer(gl_renderbuffer, target.renderbuffers[1]);
    target.renderbuffer_storage(gl_renderbuffer, gl_depth_component16, offscreen_width,
                                offscreen_height);
    target.bind_renderbuffer(gl_renderbuffer, 0);
    target.bind_framebuffer(gl_framebuffer, target.framebuffer);
    target.framebuffer_renderbuffer(gl_framebuffer, gl_color_attachment0, gl_renderbuffer,
                                    target.renderbuffers[0]);
    target.framebuffer_renderbuffer(gl_framebuffer, gl_depth_attachment, gl_renderbuffer,
                                    target.renderbuffers[1]);
    GLenum_t status = target.check_framebuffer_status(gl_framebuffer);
    if (status != gl_framebuffer_complete) {
        std::fprintf(stderr, "qo: the %dx%d framebuffer is not complete (status 0x%04X)\n",
                     offscreen_width, offscreen_height, status);
        return 1;
    }
    glViewport(0, 0, offscreen_width, offscreen_height);
    return 0;
}

void read_offscreen_pixels(unsigned char* rgb) {
    constexpr int row_bytes = offscreen_width * 3;
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

void close_offscreen_target(void) {
    if (target.gen_framebuffers == nullptr) {
        return;
    }
    target.bind_framebuffer(gl_framebuffer, 0);
    if (target.framebuffer != 0) {
        target.delete_framebuffers(1, &target.framebuffer);
        target.framebuffer = 0;
    }
    target.delete_renderbuffers(2, target.renderbuffers);
    target.renderbuffers[0] = target.renderbuffers[1] = 0;
    target.gen_framebuffers = nullptr;
}
