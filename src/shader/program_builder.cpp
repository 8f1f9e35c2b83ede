#include "shader/program_builder.h"

#include "output/build_output.h"
#include "shader/compile_log_line.h"
#include "shader/file_reader.h"

#include <cstdio>
#include <cstring>

// The objects of the latest build, and the program that draws.
GLuint_t program_object = 0;
GLuint_t vertex_shader_object = 0;
GLuint_t fragment_shader_object = 0;
GLuint_t drawing_program = 0;

namespace {

constexpr GLenum_t gl_vertex_shader = 0x8B31;
constexpr GLenum_t gl_fragment_shader = 0x8B30;
constexpr GLenum_t gl_link_status = 0x8B82;
constexpr int source_capacity = 4096;
constexpr int log_capacity = 1536;
constexpr int log_query_length = 1024;
// Room for the file names the builder passes ("vs.fx", "ps.fx").
constexpr int path_capacity = 16;

// Set once the table holds every entry point, so that release_shaders never
// calls through a null pointer.
bool entries_resolved = false;

// Reads `path` and hands exactly the bytes read to `shader`, with their
// count. A file that can't be read gives an empty source and a stderr line.
void load_shader_source(GLuint_t shader, const char* path) {
    char source_buffer[source_capacity];
    int count = load_text_file(path, source_buffer, source_capacity);
    if (count < 0) {
        std::fprintf(stderr, "qo: cannot read %s: %s\n", path, load_failure_reason());
        count = 0;
    }
    const GLchar_t* text = source_buffer;
    GLint_t length = count;
    glShaderSource_(shader, 1, &text, &length);
}

// Writes the shader's compile log on stderr, line by line in the
// `file:line:column: error: message` form editors jump to (see
// rewrite_compile_log_line), when the driver wrote one.
void report_compile_log(GLuint_t shader, const char* path) {
    char log_buffer[log_capacity];
    std::memset(log_buffer, 0, sizeof log_buffer);
    glGetShaderInfoLog_(shader, log_query_length, nullptr, log_buffer);
    // A whole log line (at most log_query_length - 1 bytes) always fits.
    char line_buffer[log_query_length + path_capacity + compile_log_line_margin];
    const char* line = log_buffer;
    while (*line != '\0') {
        const char* end = std::strchr(line, '\n');
        int length =
            end != nullptr ? static_cast<int>(end - line) : static_cast<int>(std::strlen(line));
        int written = rewrite_compile_log_line(path, line, length, line_buffer, sizeof line_buffer);
        if (written > 0) {
            std::fprintf(stderr, "%s\n", line_buffer);
        } else if (written < 0) {
            std::fprintf(stderr, "%s: %.*s\n", path, length, line);
        }
        line += length;
        if (*line == '\n') {
            ++line;
        }
    }
}

} // namespace

int build_shader_program(void) {
    int missing = resolve_gl_entry_points();
    if (missing != gl_entry_count) {
        entries_resolved = false;
        std::fprintf(stderr, "qo: the GL context has no %s (OpenGL 2.0 or later is required)\n",
                     gl_entry_names[missing]);
        return 1;
    }
    entries_resolved = true;

    program_object = glCreateProgram_();
    add_build_number(static_cast<int>(program_object));

    vertex_shader_object = glCreateShader_(gl_vertex_shader);
    fragment_shader_object = glCreateShader_(gl_fragment_shader);
    load_shader_source(vertex_shader_object, "vs.fx");
    load_shader_source(fragment_shader_object, "ps.fx");

    glCompileShader_(vertex_shader_object);
    glCompileShader_(fragment_shader_object);
    report_compile_log(vertex_shader_object, "vs.fx");
    report_compile_log(fragment_shader_object, "ps.fx");

    glAttachShader_(program_object, fragment_shader_object);
    glAttachShader_(program_object, vertex_shader_object);
    glLinkProgram_(program_object);

    char log_buffer[log_capacity];
    std::memset(log_buffer, 0, sizeof log_buffer);
    glGetInfoLogARB_(program_object, log_query_length, nullptr, log_buffer);
    add_build_log(log_buffer);

    GLint_t linked = 0;
    glGetProgramiv_(program_object, gl_link_status, &linked);
    if (linked != 0) {
        // The one drawing so far is in use: the GL frees it once the frame
        // uses the new one.
        if (drawing_program != 0) {
            glDeleteProgram_(drawing_program);
        }
        drawing_program = program_object;
    } else {
        // Never in use: freed now, its shaders with release_shaders.
        glDeleteProgram_(program_object);
    }
    return 0;
}

void release_shaders(void) {
    if (!entries_resolved) {
        return;
    }
    glDeleteShader_(vertex_shader_object);
    glDeleteShader_(fragment_shader_object);
}
