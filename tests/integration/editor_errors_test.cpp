// The viewer's compile errors read by a real editor: the Linux viewer builds
// a broken ps.fx on this machine's Mesa, its stderr goes to a file, and Vim
// (with its default 'errorformat') loads that file as its quickfix list, as
// `qo 2>errors.txt` then `:cfile errors.txt` does.
// GoogleTest before the X11 headers: Xlib's macros (None, Bool) would break it.
#include <gtest/gtest.h>

#include "harness.h"
#include "viewer_fixture.h"

#include <algorithm>
#include <cstdlib>
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

class EditorErrors : public ViewerFixture {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(open_fixture(linux_platform(), "editor"));
    }
};

TEST_F(EditorErrors, VimQuickfixJumpsToTheBrokenLineAndColumn) {
    ASSERT_EQ(shell("command -v vim >/dev/null 2>&1"), 0)
        << "vim is missing: install vim-nox (make test does)";

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

    // Vim from Debian, no vimrc (so the default 'errorformat'), no viminfo,
    // no swap file; it writes each quickfix entry as
    // valid|file|line|column|text, and where :cfile put the cursor.
    const std::string script =
        "call writefile(map(getqflist(), {i, e -> e.valid . \"|\" . bufname(e.bufnr) . \"|\" . "
        "e.lnum . \"|\" . e.col . \"|\" . e.text}), \"quickfix.txt\") | "
        "call writefile([bufname(\"%\") . \"|\" . line(\".\") . \"|\" . col(\".\")], "
        "\"cursor.txt\")";
    const std::string command =
        "cd '" + folder_ + "' && timeout 120 vim -u NONE -i NONE -N -n -es " +
        "-c 'cfile qo.stderr' -c '" + script + "' -c 'qa!' " + "</dev/null >vim.out 2>&1";
    int status = shell(command);
    EXPECT_EQ(status, 0) << command << "\n" << read_file(folder_ + "/vim.out");

    std::vector<std::string> entries = split_lines(read_file(folder_ + "/quickfix.txt"));
    ASSERT_EQ(entries.size(), 1u) << read_file(folder_ + "/quickfix.txt");
    quickfix_entry entry = parse_entry(entries[0]);
    EXPECT_EQ(entry.valid, "1") << entries[0];
    EXPECT_EQ(entry.file, "ps.fx");
    EXPECT_EQ(entry.line, "3");
    EXPECT_EQ(entry.column, "28");
    EXPECT_EQ(entry.text.rfind(" error: syntax error", 0), 0u) << entry.text;
    EXPECT_EQ(read_file(folder_ + "/cursor.txt"), "ps.fx|3|28\n") << "not where :cfile jumped";
}

} // namespace
