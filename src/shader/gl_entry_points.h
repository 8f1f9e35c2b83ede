// The GL entry points of the shader work, resolved by name at every build.
//
// A names list beside a pointer table, filled in one loop. The table is the
// seam where unit tests put fakes: in the program gl_get_proc_address asks
// the look-up of the context made current last (gl_loader.cpp), which the
// backend that made it current gave to set_gl_proc_lookup: the window's
// (GLX, WGL) or the off-screen picture's (EGL, WGL). The unit tests and the
// bench define gl_get_proc_address themselves instead.
#pragma once

#include <cstddef>

#if defined(_WIN32)
#define GL_APIENTRY __stdcall
#else
#define GL_APIENTRY
#endif

typedef unsigned int GLuint_t;
typedef int GLint_t;
typedef int GLsizei_t;
typedef unsigned int GLenum_t;
typedef char GLchar_t;
typedef float GLfloat_t;

// Any GL entry point, before it is cast to its own type.
typedef void(GL_APIENTRY* gl_proc)(void);

// Positions in the table. The first 13 keep the classic order; glDeleteProgram,
// glGetShaderInfoLog and glGetProgramiv follow (a program is deleted once it
// failed to link or a newer one linked, compile logs go to stderr, and the
// link status tells which program keeps drawing).
enum gl_entry {
    entry_glCreateProgram,
    entry_glCreateShader,
    entry_glShaderSource,
    entry_glCompileShader,
    entry_glAttachShader,
    entry_glLinkProgram,
    entry_glUseProgram,
    entry_glUniform4fv,
    entry_glUniform1i,
    entry_glGetUniformLocation,
    entry_glGetObjectParameterivARB,
    entry_glGetInfoLogARB,
    entry_glDeleteShader,
    entry_glDeleteProgram,
    entry_glGetShaderInfoLog,
    entry_glGetProgramiv,
    gl_entry_count
};

// Null-terminated, in table order.
extern const char* const gl_entry_names[];
extern gl_proc gl_entry_points[gl_entry_count];

// Looks an entry point up in the current GL context; null when it has none.
gl_proc gl_get_proc_address(const char* name);

// A window system's look-up of GL entry points by name.
typedef gl_proc (*gl_proc_lookup)(const char* name);

// Called by a backend as it makes its GL context current: from here on
// gl_get_proc_address asks `lookup` (nullptr: no context, every look-up
// finds nothing).
void set_gl_proc_lookup(gl_proc_lookup lookup);

// Fills the whole table from gl_entry_names. Returns the position of the
// first entry point the GL could not give, or gl_entry_count when all were
// found.
int resolve_gl_entry_points(void);

// Typed calls through the table.
#define GL_ENTRY(index, type) (reinterpret_cast<type>(gl_entry_points[index]))

inline GLuint_t glCreateProgram_() {
    return GL_ENTRY(entry_glCreateProgram, GLuint_t(GL_APIENTRY*)(void))();
}
inline GLuint_t glCreateShader_(GLenum_t kind) {
    return GL_ENTRY(entry_glCreateShader, GLuint_t(GL_APIENTRY*)(GLenum_t))(kind);
}
inline void glShaderSource_(GLuint_t shader, GLsizei_t count, const GLchar_t* const* strings,
                            const GLint_t* lengths) {
    GL_ENTRY(entry_glShaderSource,
             void(GL_APIENTRY*)(GLuint_t, GLsizei_t, const GLchar_t* const*, const GLint_t*))
    (shader, count, strings, lengths);
}
inline void glCompileShader_(GLuint_t shader) {
    GL_ENTRY(entry_glCompileShader, void(GL_APIENTRY*)(GLuint_t))(shader);
}
inline void glAttachShader_(GLuint_t program, GLuint_t shader) {
    GL_ENTRY(entry_glAttachShader, void(GL_APIENTRY*)(GLuint_t, GLuint_t))(program, shader);
}
inline void glLinkProgram_(GLuint_t program) {
    GL_ENTRY(entry_glLinkProgram, void(GL_APIENTRY*)(GLuint_t))(program);
}
inline void glUseProgram_(GLuint_t program) {
    GL_ENTRY(entry_glUseProgram, void(GL_APIENTRY*)(GLuint_t))(program);
}
inline void glUniform4fv_(GLint_t location, GLsizei_t count, const GLfloat_t* values) {
    GL_ENTRY(entry_glUniform4fv, void(GL_APIENTRY*)(GLint_t, GLsizei_t, const GLfloat_t*))
    (location, count, values);
}
inline GLint_t glGetUniformLocation_(GLuint_t program, const GLchar_t* name) {
    return GL_ENTRY(entry_glGetUniformLocation,
                    GLint_t(GL_APIENTRY*)(GLuint_t, const GLchar_t*))(program, name);
}
inline void glGetInfoLogARB_(GLuint_t object, GLsizei_t max_length, GLsizei_t* length,
                             GLchar_t* log) {
    GL_ENTRY(entry_glGetInfoLogARB, void(GL_APIENTRY*)(GLuint_t, GLsizei_t, GLsizei_t*, GLchar_t*))
    (object, max_length, length, log);
}
inline void glDeleteShader_(GLuint_t shader) {
    GL_ENTRY(entry_glDeleteShader, void(GL_APIENTRY*)(GLuint_t))(shader);
}
inline void glDeleteProgram_(GLuint_t program) {
    GL_ENTRY(entry_glDeleteProgram, void(GL_APIENTRY*)(GLuint_t))(program);
}
inline void glGetShaderInfoLog_(GLuint_t shader, GLsizei_t max_length, GLsizei_t* length,
                                GLchar_t* log) {
    GL_ENTRY(entry_glGetShaderInfoLog,
             void(GL_APIENTRY*)(GLuint_t, GLsizei_t, GLsizei_t*, GLchar_t*))
    (shader, max_length, length, log);
}
inline void glGetProgramiv_(GLuint_t program, GLenum_t name, GLint_t* value) {
    GL_ENTRY(entry_glGetProgramiv, void(GL_APIENTRY*)(GLuint_t, GLenum_t, GLint_t*))
    (program, name, value);
}
