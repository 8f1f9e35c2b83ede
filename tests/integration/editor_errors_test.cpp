// The viewer's compile errors read by a real editor: the Linux viewer builds
// a broken ps.fx on this machine's Mesa, its stderr goes to a file, and Vim
// (with its default 'errorformat') loads that file as its quickfix list, as
// `qo 2>errors.txt` then `:cfile errors.txt` does. The forms other drivers
// give (NVIDIA's, an error of the whole file) go through the same rewriter
// and then through Vim and the README's VS Code matcher.
// GoogleTest before the X11 headers: Xlib's macros (None, Bool) would break it.
#include <gtest/gtest.h>

#include "harness.h"
#include "shader/compile_log_line.h"
#include "viewer_fixture.h"

#include <algorithm>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

// `;` after `+` on line 3; Mesa places the error at column 28.
const char* const broken_pixel_shader = "void main()\n"
                                        "{\n"
                                        "    gl_FragColor = vec4(1.0) +;\n"
                                        "}\n";

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

// One quickfix entry as the Vim script below writes it.
struct quickfix_entry {
    std::string valid, file, line, column, text;
};

quickfix_entry parse_entry(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        size_t bar = line.find('|', start);
        if (bar == std::string::npos) {
            return quickfix_entry();
        }
        fields.push_back(line.substr(start, bar - start));
        start = bar + 1;
    }
    return quickfix_entry{fields[0], fields[1], fields[2], fields[3], line.substr(start)};
}

int shell(const std::string& command) {
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

// Vim from Debian, no vimrc (so the default 'errorformat'), no viminfo, no
// swap file, loads `errors` in `folder` with :cfile; it writes each quickfix
// entry as valid|file|line|column|text into quickfix.txt, and where :cfile
// put the cursor into cursor.txt. Returns the entries.
std::vector<std::string> vim_quickfix(const std::string& folder, const std::string& errors) {
    EXPECT_EQ(shell("command -v vim >/dev/null 2>&1"), 0)
        << "vim is missing: install vim-nox (make test does)";
    const std::string script =
        "call writefile(map(getqflist(), {i, e -> e.valid . \"|\" . bufname(e.bufnr) . \"|\" . "
        "e.lnum . \"|\" . e.col . \"|\" . e.text}), \"quickfix.txt\") | "
        "call writefile([bufname(\"%\") . \"|\" . line(\".\") . \"|\" . col(\".\")], "
        "\"cursor.txt\")";
    const std::string command =
        "cd '" + folder + "' && timeout 120 vim -u NONE -i NONE -N -n -es -c 'cfile " + errors +
        "' -c '" + script + "' -c 'qa!' " + "</dev/null >vim.out 2>&1";
    int status = shell(command);
    EXPECT_EQ(status, 0) << command << "\n" << read_file(folder + "/vim.out");
    return split_lines(read_file(folder + "/quickfix.txt"));
}

class EditorErrors : public ViewerFixture {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(open_fixture(linux_platform(), "editor"));
    }
};

TEST_F(EditorErrors, VimQuickfixJumpsToTheBrokenLineAndColumn) {
    ASSERT_TRUE(write_file(folder_ + "/vs.fx", plain_vertex_shader()));
    ASSERT_TRUE(write_file(folder_ + "/ps.fx", broken_pixel_shader));
    std::string error;
    ASSERT_TRUE(start_viewer(launch_for(platform_, server_.name, folder_), &run_, &error)) << error;
    viewer_area area;
    ASSERT_TRUE(find_viewer_area(server_.display, platform_, deadline_ms, &area, &error)) << error;
    ASSERT_TRUE(wait_for_stderr(run_, "\n", deadline_ms)) << "no compile log on stderr";
    send_close_request(server_.display, area.window);
    ASSERT_TRUE(wait_for_exit(&run_, deadline_ms)) << "the viewer did not end: killed";
    EXPECT_EQ(run_.status, 0);

    // stdout: exactly the build's two lines, the link log as the driver wrote it.
    std::string out = run_stdout(run_);
    build_report report = parse_builds(out, platform_.line_end);
    EXPECT_TRUE(report.ok) << report.fault;
    EXPECT_EQ(report.builds, 1);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
    EXPECT_EQ(out.find("ps.fx"), std::string::npos) << out;

    // stderr: the compilers' form, one line.
    std::string err = run_stderr(run_);
    EXPECT_EQ(err.rfind("ps.fx:3:28: error: ", 0), 0u) << err;
    EXPECT_EQ(split_lines(err).size(), 1u) << err;

    std::vector<std::string> entries = vim_quickfix(folder_, "qo.stderr");
    ASSERT_EQ(entries.size(), 1u) << read_file(folder_ + "/quickfix.txt");
    quickfix_entry entry = parse_entry(entries[0]);
    EXPECT_EQ(entry.valid, "1") << entries[0];
    EXPECT_EQ(entry.file, "ps.fx");
    EXPECT_EQ(entry.line, "3");
    EXPECT_EQ(entry.column, "28");
    EXPECT_EQ(entry.text.rfind(" error: syntax error", 0), 0u) << entry.text;
    EXPECT_EQ(read_file(folder_ + "/cursor.txt"), "ps.fx|3|28\n") << "not where :cfile jumped";
}

// The VS Code problem matcher's regular expression, as the README gives it
// (JSON-escaped); empty when the README has none.
std::string readme_matcher() {
    std::string readme = read_file(QO_README_PATH);
    const std::string key = "\"regexp\": \"";
    size_t start = readme.find(key);
    if (start == std::string::npos) {
        return "";
    }
    start += key.size();
    size_t end = readme.find("\",\n", start);
    if (end == std::string::npos) {
        return "";
    }
    std::string escaped = readme.substr(start, end - start);
    std::string regexp;
    for (size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] == '\\' && i + 1 < escaped.size()) {
            ++i;
        }
        regexp += escaped[i];
    }
    return regexp;
}

// Lines of other drivers than this machine's (NVIDIA's, an error of the
// whole file), rewritten as the viewer writes them to stderr, then read by
// Vim and by the README's VS Code matcher: each error lands in its file at
// its line; a header the viewer cannot place is no error.
TEST(EditorForms, VimAndTheReadmeMatcherTakeEveryRewrittenForm) {
    struct form {
        const char* what;
        const char* file;
        const char* driver_line;
        const char* line; // "" for a line that is no error
        const char* column;
        const char* severity;
    };
    const form forms[] = {
        {"mesa", "ps.fx", "0:3(28): error: syntax error", "3", "28", "error"},
        {"nvidia error", "ps.fx", "0(38) : error C5025: lvalue in assignment too complex", "38",
         "0", "error"},
        {"nvidia fatal error", "ps.fx", "0(1) : fatal error C9999: *** exception ***", "1", "0",
         "error"},
        {"nvidia warning", "ps.fx", "0(72) : warning C7011: implicit cast", "72", "0", "warning"},
        {"nvidia whole file", "vs.fx", "(0) : error C5145: must write to gl_Position", "1", "0",
         "error"},
        {"mesa whole file", "vs.fx", "0:0(0): error: x", "1", "0", "error"},
        {"glslang whole file", "ps.fx", "ERROR: 0:0: 'main' : missing", "1", "0", "error"},
        {"glslang column", "ps.fx", "ERROR: 0:9:5: 'vec5' : undeclared identifier", "9", "5",
         "error"},
        {"header", "ps.fx", "Fragment shader failed to compile with the following errors:", "", "",
         ""},
    };
    const std::string matcher_text = readme_matcher();
    ASSERT_FALSE(matcher_text.empty()) << "no \"regexp\" in " << QO_README_PATH;
    const std::regex matcher(matcher_text);

    std::string folder = make_temp_folder("editor-forms");
    ASSERT_FALSE(folder.empty());
    std::string errors;
    for (const form& f : forms) {
        char out[512];
        std::string in = f.driver_line;
        int length = rewrite_compile_log_line(f.file, in.data(), static_cast<int>(in.size()), out,
                                              static_cast<int>(sizeof out));
        ASSERT_GT(length, 0) << f.what;
        errors += std::string(out, static_cast<size_t>(length)) + "\n";
    }
    ASSERT_TRUE(write_file(folder + "/errors.txt", errors));
    std::vector<std::string> entries = vim_quickfix(folder, "errors.txt");
    std::vector<std::string> lines = split_lines(errors);
    ASSERT_EQ(entries.size(), sizeof forms / sizeof forms[0])
        << read_file(folder + "/quickfix.txt");

    for (size_t i = 0; i < entries.size(); ++i) {
        const form& f = forms[i];
        quickfix_entry entry = parse_entry(entries[i]);
        std::smatch match;
        bool matched = std::regex_match(lines[i], match, matcher);
        if (*f.line == '\0') {
            EXPECT_EQ(entry.valid, "0") << f.what << ": Vim took " << entries[i];
            EXPECT_FALSE(matched) << f.what << ": the matcher took " << lines[i];
            continue;
        }
        EXPECT_EQ(entry.valid, "1") << f.what << ": " << lines[i] << " -> " << entries[i];
        EXPECT_EQ(entry.file, f.file) << f.what << ": " << entries[i];
        EXPECT_EQ(entry.line, f.line) << f.what << ": " << entries[i];
        EXPECT_EQ(entry.column, f.column) << f.what << ": " << entries[i];
        ASSERT_TRUE(matched) << f.what << ": the README's matcher does not take " << lines[i];
        EXPECT_EQ(match[1].str(), f.file) << f.what;
        EXPECT_EQ(match[2].str(), f.line) << f.what;
        EXPECT_EQ(match[3].matched ? match[3].str() : "0", f.column) << f.what;
        EXPECT_EQ(match[4].str(), f.severity) << f.what;
    }
    remove_folder(folder);
}

} // namespace
