#include "shader/gl_entry_points.h"

const char* const gl_entry_names[] = {
    "glCreateProgram",
    "glCreateShader",
    "glShaderSource",
    "glCompileShader",
    "glAttachShader",
    "glLinkProgram",
    "glUseProgram",
    "glUniform4fv",
    "glUniform1i",
    "glGetUniformLocation",
    "glGetObjectParameterivARB",
    "glGetInfoLogARB",
    "glDeleteShader",
    "glDeleteProgram",
    "glGetShaderInfoLog",
    "glGetProgramiv",
    nullptr,
};

static_assert(sizeof(gl_entry_names) / sizeof(gl_entry_names[0]) == gl_entry_count + 1,
              "one name for each entry point, then the terminating null");

gl_proc gl_entry_points[gl_entry_count];

int resolve_gl_entry_points(void) {
    int first_missing = gl_entry_count;
    for (int i = 0; gl_entry_names[i] != nullptr; ++i) {
        gl_entry_points[i] = gl_get_proc_address(gl_entry_names[i]);
        if (gl_entry_points[i] == nullptr && first_missing == gl_entry_count) {
            first_missing = i;
        }
    }
    return first_missing;
}
