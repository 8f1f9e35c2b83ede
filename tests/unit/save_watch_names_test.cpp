#include "app/save_watch.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

TEST(SaveWatchNames, OnlyTheTwoShaderFilesAreWatched) {
    struct Case {
        const char* name;
        std::size_t length; // 0: strlen
        int index;
    };
    const Case cases[] = {
        {"vs.fx", 0, 0},
        {"ps.fx", 0, 1},
        {"ps.fx\0\0\0", 8, 1}, // inotify pads names with
                               // NULs
        {"ps.fxx", 5, 1},      // the length given ends the name
        {"ps.fx~", 0, -1},     // Vim's backup
        {".ps.fx.swp", 0, -1}, // Vim's swap file
        {"4913", 0, -1},       // Vim's probe of the folder
        {"ps.fx.tmp", 0, -1},
        {"PS.FX", 0, -1}, // Linux names have case
        {"ps.f", 0, -1},
        {"xs.fx", 0, -1},
        {"", 0, -1},
        {"ps.fx", 4, -1},
    };
    for (const Case& c : cases) {
        std::size_t length = c.length != 0 ? c.length : std::strlen(c.name);
        EXPECT_EQ(watched_file_index(c.name, length), c.index) << std::string(c.name, length);
    }
}

TEST(SaveWatchNames, WindowsNamesAreComparedWithoutCase) {
    struct Case {
        const char16_t* name;
        int index;
    };
    const Case cases[] = {
        {u"vs.fx", 0},       {u"ps.fx", 1}, {u"PS.FX", 1},       {u"Vs.Fx", 0},
        {u"ps.fx~", -1},     {u"ps.f", -1}, {u"ps\u00b7fx", -1}, {u"p\u0073.fx", 1},
        {u"\u0170s.fx", -1}, {u"", -1},
    };
    for (const Case& c : cases) {
        std::size_t units = std::char_traits<char16_t>::length(c.name);
        std::uint16_t name[16];
        for (std::size_t i = 0; i < units; ++i) {
            name[i] = static_cast<std::uint16_t>(c.name[i]);
        }
        EXPECT_EQ(watched_file_index_utf16(name, units), c.index) << "case " << (&c - cases);
    }
}
