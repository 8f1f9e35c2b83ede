// The build sequence against a fake GL: gl_get_proc_address, which the
// program defines in gl_loader.cpp, hands out recording fakes here.
#include "shader/program_builder.h"

#include "build_output_sink.h"
#include "output/build_output.h"
#include "temp_folder.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

// What the fake GL saw and what it answers.
struct FakeGl {
    std::vector<std::string> calls;
    std::map<unsigned, std::string> sources; // shader -> exact source bytes
    std::map<unsigned, unsigned> kinds;      // shader -> GL_VERTEX/FRAGMENT_SHADER
    std::vector<unsigned> deleted_programs;
    std::map<unsigned, std::string> shader_logs; // shader kind -> compile log
    std::string program_log;
    std::set<std::string> missing; // names the fake GL does not offer
    std::vector<int> log_query_lengths;
    std::set<unsigned> created_programs;
    bool links = true; // what the link status of the next programs says
    std::map<unsigned, bool> linked;
    unsigned next_name = 1;
} gl;

std::string call(const std::string& name, unsigned a) {
    return name + "(" + std::to_string(a) + ")";
}
std::string call(const std::string& name, unsigned a, unsigned b) {
    return name + "(" + std::to_string(a) + "," + std::to_string(b) + ")";
}

GLuint_t GL_APIENTRY fake_create_program() {
    unsigned name = gl.next_name++;
    gl.created_programs.insert(name);
    gl.calls.push_back("glCreateProgram=" + std::to_string(name));
    return name;
}
GLuint_t GL_APIENTRY fake_create_shader(GLenum_t kind) {
    unsigned name = gl.next_name++;
    gl.kinds[name] = kind;
    gl.calls.push_back(call("glCreateShader", kind) + "=" + std::to_string(name));
    return name;
}
void GL_APIENTRY fake_shader_source(GLuint_t shader, GLsizei_t count, const GLchar_t* const* text,
                                    const GLint_t* length) {
    std::string source;
    for (int i = 0; i < count; ++i) {
        if (length != nullptr && length[i] >= 0) {
            source.append(text[i], static_cast<size_t>(length[i]));
        } else {
            source.append(text[i]);
        }
    }
    gl.sources[shader] = source;
    gl.calls.push_back(call("glShaderSource", shader, static_cast<unsigned>(count)));
}
void GL_APIENTRY fake_compile_shader(GLuint_t shader) {
    gl.calls.push_back(call("glCompileShader", shader));
}
void GL_APIENTRY fake_attach_shader(GLuint_t program, GLuint_t shader) {
    gl.calls.push_back(call("glAttachShader", program, shader));
}
void GL_APIENTRY fake_link_program(GLuint_t program) {
    gl.linked[program] = gl.links;
    gl.calls.push_back(call("glLinkProgram", program));
}
constexpr GLenum_t link_status = 0x8B82;
void GL_APIENTRY fake_get_programiv(GLuint_t program, GLenum_t name, GLint_t* value) {
    if (name == link_status) {
        *value = gl.linked.count(program) != 0 && gl.linked[program] ? 1 : 0;
    }
}
void GL_APIENTRY fake_use_program(GLuint_t) {}
void GL_APIENTRY fake_uniform4fv(GLint_t, GLsizei_t, const GLfloat_t*) {}
void GL_APIENTRY fake_uniform1i(GLint_t, GLint_t) {}
GLint_t GL_APIENTRY fake_get_uniform_location(GLuint_t, const GLchar_t*) {
    return 0;
}
void GL_APIENTRY fake_get_object_parameter(GLuint_t, GLenum_t, GLint_t*) {}
// Writes at most max_length bytes including the terminating zero, as a GL does.
void copy_log(const std::string& log, GLsizei_t max_length, GLchar_t* out) {
    gl.log_query_lengths.push_back(max_length);
    size_t n = std::min(log.size(), static_cast<size_t>(max_length - 1));
    std::memcpy(out, log.data(), n);
    out[n] = '\0';
}
void GL_APIENTRY fake_get_info_log(GLuint_t object, GLsizei_t max_length, GLsizei_t*,
                                   GLchar_t* out) {
    gl.calls.push_back(call("glGetInfoLogARB", object));
    copy_log(gl.program_log, max_length, out);
}
void GL_APIENTRY fake_delete_shader(GLuint_t shader) {
    gl.calls.push_back(call("glDeleteShader", shader));
}
void GL_APIENTRY fake_delete_program(GLuint_t program) {
    gl.deleted_programs.push_back(program);
    gl.calls.push_back(call("glDeleteProgram", program));
}
void GL_APIENTRY fake_get_shader_info_log(GLuint_t shader, GLsizei_t max_length, GLsizei_t*,
                                          GLchar_t* out) {
    copy_log(gl.shader_logs[gl.kinds[shader]], max_length, out);
}

const std::map<std::string, gl_proc>& fakes() {
    static const std::map<std::string, gl_proc> table = {
        {"glCreateProgram", reinterpret_cast<gl_proc>(fake_create_program)},
        {"glCreateShader", reinterpret_cast<gl_proc>(fake_create_shader)},
        {"glShaderSource", reinterpret_cast<gl_proc>(fake_shader_source)},
        {"glCompileShader", reinterpret_cast<gl_proc>(fake_compile_shader)},
        {"glAttachShader", reinterpret_cast<gl_proc>(fake_attach_shader)},
        {"glLinkProgram", reinterpret_cast<gl_proc>(fake_link_program)},
        {"glUseProgram", reinterpret_cast<gl_proc>(fake_use_program)},
        {"glUniform4fv", reinterpret_cast<gl_proc>(fake_uniform4fv)},
        {"glUniform1i", reinterpret_cast<gl_proc>(fake_uniform1i)},
        {"glGetUniformLocation", reinterpret_cast<gl_proc>(fake_get_uniform_location)},
        {"glGetObjectParameterivARB", reinterpret_cast<gl_proc>(fake_get_object_parameter)},
        {"glGetInfoLogARB", reinterpret_cast<gl_proc>(fake_get_info_log)},
        {"glDeleteShader", reinterpret_cast<gl_proc>(fake_delete_shader)},
        {"glDeleteProgram", reinterpret_cast<gl_proc>(fake_delete_program)},
        {"glGetShaderInfoLog", reinterpret_cast<gl_proc>(fake_get_shader_info_log)},
        {"glGetProgramiv", reinterpret_cast<gl_proc>(fake_get_programiv)},
    };
    return table;
}

constexpr unsigned vertex_kind = 0x8B31;
constexpr unsigned fragment_kind = 0x8B30;

class ProgramBuilder : public TempFolderTest {
  protected:
    void SetUp() override {
        TempFolderTest::SetUp();
        gl = FakeGl();
        program_object = vertex_shader_object = fragment_shader_object = drawing_program = 0;
        reset_fake_stdout();
    }
    void TearDown() override {
        reset_fake_stdout();
        TempFolderTest::TearDown();
    }
    // Runs one build and returns what it wrote on stdout and stderr.
    int build(std::string* out, std::string* err = nullptr) {
        ::testing::internal::CaptureStderr();
        int status = build_shader_program();
        flush_build_output();
        *out = test_stdout.all();
        test_stdout.writes.clear();
        std::string captured_err = ::testing::internal::GetCapturedStderr();
        if (err != nullptr) {
            *err = captured_err;
        }
        return status;
    }
};

} // namespace

gl_proc gl_get_proc_address(const char* name) {
    if (gl.missing.count(name) != 0) {
        return nullptr;
    }
    auto found = fakes().find(name);
    return found != fakes().end() ? found->second : nullptr;
}

TEST_F(ProgramBuilder, BuildsInOrderWithFragmentShaderAttachedFirst) {
    write_file("vs.fx", "void main(){gl_Position=gl_Vertex;}");
    write_file("ps.fx", "void main(){gl_FragColor=vec4(1);}");
    gl.program_log = "";
    std::string out;
    ASSERT_EQ(build(&out), 0);

    const std::vector<std::string> expected = {
        "glCreateProgram=1",   "glCreateShader(35633)=2", "glCreateShader(35632)=3",
        "glShaderSource(2,1)", "glShaderSource(3,1)",     "glCompileShader(2)",
        "glCompileShader(3)",  "glAttachShader(1,3)",     "glAttachShader(1,2)",
        "glLinkProgram(1)",    "glGetInfoLogARB(1)",
    };
    EXPECT_EQ(gl.calls, expected);
    EXPECT_EQ(out, "1\nprog:\n");
    EXPECT_EQ(program_object, 1u);
    EXPECT_EQ(vertex_shader_object, 2u);
    EXPECT_EQ(fragment_shader_object, 3u);
    EXPECT_EQ(gl.kinds[2], vertex_kind);
    EXPECT_EQ(gl.kinds[3], fragment_kind);
}

TEST_F(ProgramBuilder, SourcesAreExactlyTheBytesOfEachFile) {
    struct Case {
        std::string vs;
        std::string ps;
        std::string vs_source;
        std::string ps_source;
    };
    std::string long_ps(5000, 'p');
    long_ps[4095] = 'E';
    const Case cases[] = {
        // Different lengths: the shorter second file must not carry the tail of the first.
        {std::string(300, 'v'), "short", std::string(300, 'v'), "short"},
        {"x", std::string(2000, 'y'), "x", std::string(2000, 'y')},
        // Binary mode: CR LF, a byte-order mark and NUL bytes reach the GL unchanged.
        {"\xEF\xBB\xBFvoid main(){}\r\n", std::string("a\0b\r\n", 5),
         "\xEF\xBB\xBFvoid main(){}\r\n", std::string("a\0b\r\n", 5)},
        {"", long_ps, "", long_ps.substr(0, 4096)},
    };
    for (const Case& c : cases) {
        write_file("vs.fx", c.vs);
        write_file("ps.fx", c.ps);
        std::string out;
        ASSERT_EQ(build(&out), 0);
        EXPECT_EQ(gl.sources[vertex_shader_object], c.vs_source);
        EXPECT_EQ(gl.sources[fragment_shader_object], c.ps_source);
    }
}

TEST_F(ProgramBuilder, LogIsPrintedOnTheSecondLineCutTo1023Characters) {
    write_file("vs.fx", "");
    write_file("ps.fx", "");
    struct Case {
        std::string log;
        std::string printed;
    };
    const Case cases[] = {
        {"", ""},
        {"error: linking with uncompiled shader", "error: linking with uncompiled shader"},
        {"line one\nline two\n", "line one\nline two\n"},
        {std::string(1023, 'a'), std::string(1023, 'a')},
        {std::string(3000, 'b'), std::string(1023, 'b')},
    };
    for (const Case& c : cases) {
        gl.program_log = c.log;
        std::string out;
        ASSERT_EQ(build(&out), 0);
        EXPECT_EQ(out, std::to_string(program_object) + "\nprog:" + c.printed + "\n");
    }
    for (int length : gl.log_query_lengths) {
        EXPECT_EQ(length, 1024);
    }
}

// The frame draws with the last program that linked: a failed build leaves
// it drawing and is deleted at once, a build that links takes over and the
// one before it goes; every build prints its own program's number.
TEST_F(ProgramBuilder, TheLastLinkedProgramDrawsAndNoOtherIsKept) {
    write_file("vs.fx", "v");
    write_file("ps.fx", "p");
    struct Step {
        bool links;
        unsigned drawing;              // drawing_program after the build
        std::vector<unsigned> deleted; // programs deleted by the build
    };
    // Program names: 1, 4, 7, ... (each build makes a program, then two shaders).
    const Step steps[] = {
        {false, 0, {1}},  // the very first build fails: nothing draws (white)
        {true, 4, {}},    // the first to link
        {false, 4, {7}},  // a typo: 4 keeps drawing
        {false, 4, {10}}, // another
        {true, 13, {4}},  // fixed: 13 takes over, 4 goes
        {true, 16, {13}}, // an unchanged rebuild
    };
    for (const Step& step : steps) {
        gl.links = step.links;
        gl.calls.clear();
        gl.deleted_programs.clear();
        release_shaders();
        std::string out;
        ASSERT_EQ(build(&out), 0);
        EXPECT_EQ(out, std::to_string(program_object) + "\nprog:\n")
            << "a failed build's number is its own program's";
        EXPECT_EQ(drawing_program, step.drawing) << "build of " << program_object;
        EXPECT_EQ(gl.deleted_programs, step.deleted) << "build of " << program_object;
        if (!step.deleted.empty()) {
            // Deleted once the link status is known, never before the link.
            auto link =
                std::find(gl.calls.begin(), gl.calls.end(), call("glLinkProgram", program_object));
            auto deletion = std::find(gl.calls.begin(), gl.calls.end(),
                                      call("glDeleteProgram", step.deleted.front()));
            EXPECT_LT(link, deletion);
        }
    }
}

// A storm of alternating good and broken builds keeps one program alive.
TEST_F(ProgramBuilder, AlternatingBuildsLeakNoProgram) {
    write_file("vs.fx", "v");
    write_file("ps.fx", "p");
    for (int i = 0; i < 1000; ++i) {
        gl.links = i % 2 == 0 || i % 7 == 0;
        release_shaders();
        std::string out;
        ASSERT_EQ(build(&out), 0);
    }
    std::set<unsigned> alive = gl.created_programs;
    for (unsigned deleted : gl.deleted_programs) {
        EXPECT_EQ(alive.erase(deleted), 1u) << deleted << " deleted twice or never made";
    }
    EXPECT_EQ(alive, std::set<unsigned>{drawing_program});
}

TEST_F(ProgramBuilder, UnreadableFilesGiveEmptySourcesAndAStderrLine) {
    write_file("ps.fx", "void main(){}");
    std::string out;
    std::string err;
    ASSERT_EQ(build(&out, &err), 0);
    EXPECT_EQ(gl.sources[vertex_shader_object], "");
    EXPECT_EQ(gl.sources[fragment_shader_object], "void main(){}");
    EXPECT_EQ(err, "qo: cannot read vs.fx: No such file or directory\n");
    EXPECT_EQ(out, "1\nprog:\n") << "the build goes on and prints its two lines";
}

TEST_F(ProgramBuilder, CompileLogsGoToStderrAsFileLineColumn) {
    write_file("vs.fx", "v");
    write_file("ps.fx", "p");
    gl.shader_logs[fragment_kind] = "0:3(12): error: syntax error\n0:4(1): error: more\n";
    gl.program_log = "error: linking with uncompiled shader";
    std::string out;
    std::string err;
    ASSERT_EQ(build(&out, &err), 0);
    EXPECT_EQ(err, "ps.fx:3:12: error: syntax error\nps.fx:4:1: error: more\n");
    EXPECT_EQ(out, "1\nprog:error: linking with uncompiled shader\n")
        << "the link log on stdout stays as the driver wrote it";

    // Both shaders, CR LF, blank lines and a last line without a line break.
    gl.shader_logs[vertex_kind] = "ERROR: 0:2: 'x' : undeclared\r\n\r\n\nwarning without a break";
    gl.shader_logs[fragment_kind] = "No errors.\r\n";
    ASSERT_EQ(build(&out, &err), 0);
    EXPECT_EQ(err, "vs.fx:2: error: 'x' : undeclared\nvs.fx: warning without a break\n");
}

// The longest log the builder asks for (1023 bytes) comes out whole, also
// when the rewrite makes it longer.
TEST_F(ProgramBuilder, LongCompileLogLinesAreNotCut) {
    write_file("vs.fx", "v");
    write_file("ps.fx", "p");
    const std::string head = "0:7(1): preprocessor error: ";
    const std::string message(1023 - head.size(), 'm');
    const std::string plain(1023, 'p');
    struct Case {
        std::string log;
        std::string printed;
    };
    const Case cases[] = {
        {head + message, "ps.fx:7:1: error: preprocessor error: " + message + "\n"},
        {plain, "ps.fx: " + plain + "\n"},
        {plain + "cut by the GL's 1024-byte query", "ps.fx: " + plain + "\n"},
    };
    for (const Case& c : cases) {
        gl.shader_logs[fragment_kind] = c.log;
        std::string out;
        std::string err;
        ASSERT_EQ(build(&out, &err), 0);
        EXPECT_EQ(err, c.printed);
    }
}

TEST_F(ProgramBuilder, MissingEntryPointStopsBeforeAnyCall) {
    write_file("vs.fx", "v");
    write_file("ps.fx", "p");
    const char* names[] = {"glCreateProgram", "glGetInfoLogARB", "glDeleteProgram", "glUniform1i",
                           "glGetProgramiv"};
    for (const char* name : names) {
        gl = FakeGl();
        gl.missing.insert(name);
        std::string out;
        std::string err;
        EXPECT_EQ(build(&out, &err), 1) << name;
        EXPECT_TRUE(gl.calls.empty()) << name;
        EXPECT_EQ(out, "") << name;
        EXPECT_NE(err.find(name), std::string::npos) << err;
        release_shaders();
        EXPECT_TRUE(gl.calls.empty()) << "release_shaders calls nothing either";
    }
}
