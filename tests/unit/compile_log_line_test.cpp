// The compile log's lines as drivers write them (verbatim samples from
// public reports, the glslang column form excepted) and what stderr gets.
#include "shader/compile_log_line.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// What rewrite_compile_log_line gives for the line; "<skip>" for nothing.
std::string rewritten(const char* file, const std::string& line) {
    char out[2048 + compile_log_line_margin];
    std::memset(out, 'x', sizeof out);
    int length = rewrite_compile_log_line(file, line.data(), static_cast<int>(line.size()), out,
                                          static_cast<int>(sizeof out));
    if (length == 0) {
        return "<skip>";
    }
    if (length < 0) {
        return "<no room>";
    }
    EXPECT_EQ(std::strlen(out), static_cast<size_t>(length)) << line;
    return std::string(out, static_cast<size_t>(length));
}

struct log_case {
    const char* driver;
    const char* line;
    const char* printed; // with F = ps.fx
};

const log_case cases[] = {
    // Mesa.
    {"mesa error", "0:372(33): error: syntax error, unexpected ';', expecting $end",
     "ps.fx:372:33: error: syntax error, unexpected ';', expecting $end"},
    {"mesa preprocessor", "0:7(1): preprocessor error: Unterminated #if",
     "ps.fx:7:1: error: preprocessor error: Unterminated #if"},
    {"mesa warning",
     "0:144(13): warning: some implementations may not support implicit int -> uint conversions "
     "for `&' operators; consider casting explicitly for portability",
     "ps.fx:144:13: warning: some implementations may not support implicit int -> uint "
     "conversions for `&' operators; consider casting explicitly for portability"},
    {"mesa column 0", "0:5(0): error: x", "ps.fx:5: error: x"},
    {"mesa line 0 (whole file)", "0:0(0): error: x", "ps.fx:1: error: x"},
    {"mesa line 0, a column", "0:0(7): error: x", "ps.fx:1: error: x"},
    {"mesa other word", "0:3(12): info: x", "ps.fx: 0:3(12): info: x"},
    // NVIDIA.
    {"nvidia error", "0(38) : error C5025: lvalue in assignment too complex",
     "ps.fx:38: error: C5025: lvalue in assignment too complex"},
    {"nvidia warning", "0(72) : warning C7011: implicit cast from \"int\" to \"float\"",
     "ps.fx:72: warning: C7011: implicit cast from \"int\" to \"float\""},
    {"nvidia fatal error", "0(1) : fatal error C9999: *** exception during compilation ***",
     "ps.fx:1: error: C9999: *** exception during compilation ***"},
    {"nvidia line 0 (whole file)", "(0) : error C5145: must write to gl_Position",
     "ps.fx:1: error: C5145: must write to gl_Position"},
    {"nvidia fatal, line 0", "(0) : fatal error C9999: x", "ps.fx:1: error: C9999: x"},
    {"nvidia fatal warning", "0(3) : fatal warning C1: x", "ps.fx: 0(3) : fatal warning C1: x"},
    {"nvidia no source index, line 12", "(12) : error C1: x", "ps.fx: (12) : error C1: x"},
    {"nvidia source 0 line 0", "0(0) : error C0000: syntax error",
     "ps.fx:1: error: C0000: syntax error"},
    {"nvidia no code", "0(38) : error lvalue", "ps.fx: 0(38) : error lvalue"},
    // glslang with columns, AMD, Intel, Apple, ANGLE.
    {"glslang column", "ERROR: 0:9:5: 'vec5' : undeclared identifier",
     "ps.fx:9:5: error: 'vec5' : undeclared identifier"},
    {"glslang warning column", "WARNING: 0:9:5: 'x' : deprecated",
     "ps.fx:9:5: warning: 'x' : deprecated"},
    {"amd", "ERROR: 0:222: 'r8' : syntax error syntax error",
     "ps.fx:222: error: 'r8' : syntax error syntax error"},
    {"amd older", "ERROR: 0:10: error(#132) Syntax error: \"rawr\" parse error",
     "ps.fx:10: error: error(#132) Syntax error: \"rawr\" parse error"},
    {"apple", "ERROR: 0:285: Use of undeclared identifier 'uv'",
     "ps.fx:285: error: Use of undeclared identifier 'uv'"},
    {"angle", "ERROR: 0:18: 'webgl_286cc28ba4512e72' : undeclared identifier",
     "ps.fx:18: error: 'webgl_286cc28ba4512e72' : undeclared identifier"},
    {"message starting with a number", "ERROR: 0:18: 3 arguments", "ps.fx:18: error: 3 arguments"},
    {"warning", "WARNING: 0:4: 'x' : unused", "ps.fx:4: warning: 'x' : unused"},
    {"line 0 (whole file)", "ERROR: 0:0: 'x' : y", "ps.fx:1: error: 'x' : y"},
    {"line 0 as zeros, a column", "ERROR: 0:000:4: 'x' : y", "ps.fx:1: error: 'x' : y"},
    {"warning of the whole file", "WARNING: 0:0: 'x' : y", "ps.fx:1: warning: 'x' : y"},
    {"column 0", "ERROR: 0:9:0: 'x' : y", "ps.fx:9: error: 'x' : y"},
    {"leading zeros", "ERROR: 0:007:08: z", "ps.fx:7:8: error: z"},
    {"a line number too long for any integer", "0:99999999999999999999(1): error: x",
     "ps.fx:99999999999999999999:1: error: x"},
    // Written as they are.
    {"header", "Vertex shader failed to compile with the following errors:",
     "ps.fx: Vertex shader failed to compile with the following errors:"},
    {"summary", "ERROR: 3 compilation errors.  No code generated.",
     "ps.fx: ERROR: 3 compilation errors.  No code generated."},
    {"source 1 (mesa)", "1:3(12): error: x", "ps.fx: 1:3(12): error: x"},
    {"source 1 (nvidia)", "1(38) : error C5025: x", "ps.fx: 1(38) : error C5025: x"},
    {"source 1 (glslang)", "ERROR: 1:18: x", "ps.fx: ERROR: 1:18: x"},
    {"#line file name", "ERROR: lib.glsl:18: x", "ps.fx: ERROR: lib.glsl:18: x"},
    {"angle unknown line", "ERROR: 0:? : '' : x", "ps.fx: ERROR: 0:? : '' : x"},
    {"no blank after the location", "ERROR: 0:18:x", "ps.fx: ERROR: 0:18:x"},
    {"not at the start", "  0:3(12): error: x", "ps.fx:   0:3(12): error: x"},
    {"location only", "ERROR: 0:", "ps.fx: ERROR: 0:"},
    // Trailing CR and blanks go, on every kind of line.
    {"CR LF", "0:3(12): error: x\r", "ps.fx:3:12: error: x"},
    {"trailing blanks", "ERROR: 0:18: x \t \r", "ps.fx:18: error: x"},
    {"header with CR", "Fragment shader failed\r", "ps.fx: Fragment shader failed"},
    {"nothing after the location", "ERROR: 0:18:   ", "ps.fx:18: error:"},
    // Nothing.
    {"empty", "", "<skip>"},
    {"blanks", " \t\r", "<skip>"},
    {"intel", "No errors.", "<skip>"},
    {"intel with CR", "No errors.\r", "<skip>"},
};

TEST(CompileLogLine, DriversLinesBecomeFileLineColumn) {
    for (const log_case& c : cases) {
        EXPECT_EQ(rewritten("ps.fx", c.line), c.printed) << c.driver;
    }
    EXPECT_EQ(rewritten("vs.fx", "0:1(1): error: x"), "vs.fx:1:1: error: x");
}

// The longest rewrites (a Mesa preprocessor error, a pass-through) fill the
// buffer the margin promises to the last byte; one byte less is refused
// without a write past it.
TEST(CompileLogLine, LongLinesAreWholeOrRefusedNeverCut) {
    const std::string message(1000, 'm');
    struct Case {
        std::string line;
        std::string printed;
    };
    const Case long_cases[] = {
        {"0:7(1): preprocessor error: " + message,
         "ps.fx:7:1: error: preprocessor error: " + message},
        {message, "ps.fx: " + message},
    };
    for (const Case& c : long_cases) {
        const int exact = static_cast<int>(c.printed.size()) + 1;
        ASSERT_LE(exact, 5 + static_cast<int>(c.line.size()) + compile_log_line_margin);
        for (int capacity : {exact, exact - 1, 1, 0}) {
            std::string buffer(static_cast<size_t>(exact) + 8, '#');
            int length = rewrite_compile_log_line(
                "ps.fx", c.line.data(), static_cast<int>(c.line.size()), &buffer[0], capacity);
            if (capacity == exact) {
                EXPECT_EQ(length, exact - 1);
                EXPECT_EQ(buffer.substr(0, static_cast<size_t>(length)), c.printed);
                EXPECT_EQ(buffer[static_cast<size_t>(length)], '\0');
            } else {
                EXPECT_EQ(length, -1) << capacity;
                if (capacity > 0) {
                    EXPECT_EQ(buffer[0], '\0') << "a refused line leaves an empty string";
                }
            }
            EXPECT_EQ(buffer.substr(static_cast<size_t>(std::max(capacity, 0))),
                      std::string(buffer.size() - static_cast<size_t>(std::max(capacity, 0)), '#'))
                << "written past the capacity " << capacity;
        }
    }
}

} // namespace
