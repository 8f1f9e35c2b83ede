#include "app/command_line.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

command_line parse(std::vector<const char*> arguments) {
    arguments.insert(arguments.begin(), "qo");
    return parse_command_line(static_cast<int>(arguments.size()), arguments.data());
}

std::string show(const std::vector<const char*>& arguments) {
    std::string text = "qo";
    for (const char* argument : arguments) {
        text += std::string(" [") + argument + "]";
    }
    return text;
}

} // namespace

TEST(CommandLine, ArgumentsAndWhatTheyAskFor) {
    struct Case {
        std::vector<const char*> arguments;
        command_action action;
        const char* folder; // null: none
        bool watch;
        const char* error; // for a usage error
    };
    const Case cases[] = {
        {{}, command_run, nullptr, false, ""},
        {{"shaders"}, command_run, "shaders", false, ""},
        {{"--watch"}, command_run, nullptr, true, ""},
        {{"--watch", "a dir"}, command_run, "a dir", true, ""},
        {{"a dir", "--watch"}, command_run, "a dir", true, ""},
        {{"--watch", "--watch"}, command_run, nullptr, true, ""},
        {{"--help"}, command_help, nullptr, false, ""},
        {{"-h"}, command_help, nullptr, false, ""},
        {{"--version"}, command_version, nullptr, false, ""},
        // Help and version act when read: later arguments are not looked at.
        {{"--help", "--bogus", "a", "b"}, command_help, nullptr, false, ""},
        {{"--version", "--help"}, command_version, nullptr, false, ""},
        {{"-h", "--version"}, command_help, nullptr, false, ""},
        // What comes before them is: an error there is reported.
        {{"--bogus", "--help"},
         command_usage_error,
         nullptr,
         false,
         "qo: unknown option '--bogus'; see 'qo --help'"},
        {{"a", "b"},
         command_usage_error,
         "a",
         false,
         "qo: more than one folder: 'b'; see 'qo --help'"},
        {{"a", "--watch", "b", "c"},
         command_usage_error,
         "a",
         true,
         "qo: more than one folder: 'b'; see 'qo --help'"},
        {{"-x"}, command_usage_error, nullptr, false, "qo: unknown option '-x'; see 'qo --help'"},
        {{"-help"},
         command_usage_error,
         nullptr,
         false,
         "qo: unknown option '-help'; see 'qo --help'"},
        {{"--watch=yes"},
         command_usage_error,
         nullptr,
         false,
         "qo: unknown option '--watch=yes'; see 'qo --help'"},
        {{"-hw"}, command_usage_error, nullptr, false, "qo: unknown option '-hw'; see 'qo --help'"},
        {{"--Help"},
         command_usage_error,
         nullptr,
         false,
         "qo: unknown option '--Help'; see 'qo --help'"},
        // "--" ends the options: a folder may then start with "-".
        {{"--", "--help"}, command_run, "--help", false, ""},
        {{"--watch", "--", "-dir"}, command_run, "-dir", true, ""},
        {{"--", "a", "--", "b"},
         command_usage_error,
         "a",
         false,
         "qo: more than one folder: '--'; see 'qo --help'"},
        // "-" alone and an empty argument are folder names, not options.
        {{"-"}, command_run, "-", false, ""},
        {{""}, command_run, "", false, ""},
    };
    for (const Case& c : cases) {
        command_line line = parse(c.arguments);
        SCOPED_TRACE(show(c.arguments));
        EXPECT_EQ(line.action, c.action);
        if (c.action == command_run || c.folder != nullptr) {
            EXPECT_STREQ(line.folder, c.folder);
        }
        if (c.action == command_run) {
            EXPECT_EQ(line.watch, c.watch);
        }
        EXPECT_STREQ(line.error, c.error);
    }
}

TEST(CommandLine, AnArgumentTooLongForTheLineIsCutNotOverrun) {
    std::string long_option = "--" + std::string(1000, 'x');
    command_line line = parse({long_option.c_str()});
    EXPECT_EQ(line.action, command_usage_error);
    ASSERT_LT(std::strlen(line.error), sizeof line.error);
    EXPECT_EQ(std::string(line.error).rfind("qo: unknown option '--xxx", 0), 0u);
}

TEST(CommandLine, UsageTextNamesWhatAUserNeeds) {
    std::string text = usage_text();
    for (const char* part :
         {"Usage: qo [--frame N] [--paused] [--watch] [DIR]", "vs.fx", "ps.fx", "F5", "Esc",
          "--watch", "--help", "--version", "Exit status", " 2 ", "man qo"}) {
        EXPECT_NE(text.find(part), std::string::npos) << part;
    }
    // A terminal's width, lines ended by "\n" (the console turns them into
    // CR LF on Windows).
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        ASSERT_NE(end, std::string::npos) << "the last line has no line end";
        EXPECT_LE(end - start, 80u) << text.substr(start, end - start);
        EXPECT_EQ(text.substr(start, end - start).find('\r'), std::string::npos);
        start = end + 1;
    }
}
