#include "display/extension_search.h"
#include "shader/gl_version.h"

#include <gtest/gtest.h>

TEST(ExtensionSearch, PlainSubstringSearch) {
    struct Case {
        const char* extensions;
        const char* name;
        int offered;
    };
    const Case cases[] = {
        {"GLX_ARB_create_context GLX_EXT_swap_control GLX_SGI_swap_control", "GLX_EXT_swap_control",
         1},
        {"GLX_EXT_swap_control", "GLX_EXT_swap_control", 1},
        // A longer name that begins with the one searched for counts too.
        {"GLX_EXT_swap_control_tear", "GLX_EXT_swap_control", 1},
        {"WGL_EXT_swap_control_tear WGL_ARB_pixel_format", "WGL_EXT_swap_control", 1},
        {"GLX_MESA_swap_control", "GLX_EXT_swap_control", 0},
        {"", "GLX_EXT_swap_control", 0},
        // A failed glGetString gives null: no extension, never a crash.
        {nullptr, "WGL_EXT_swap_control", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(extension_offered(c.extensions, c.name), c.offered)
            << (c.extensions != nullptr ? c.extensions : "(null)");
    }
}

TEST(GlVersion, ReadsMajorAndMinor) {
    struct Case {
        const char* version;
        int major;
        int minor;
    };
    const Case cases[] = {
        {"4.5 (Compatibility Profile) Mesa 22.3.6", 4, 5},
        {"1.4 Mesa 22.3.6", 1, 4},
        {"2.1", 2, 1},
        {"3.0.0 - Build 10.18", 3, 0},
        {"10.12", 10, 12},
        {"OpenGL ES 3.2 Mesa", 0, 0},
        {"4", 0, 0},
        {"", 0, 0},
        {nullptr, 0, 0},
    };
    for (const Case& c : cases) {
        int major = -1;
        int minor = -1;
        parse_gl_version(c.version, &major, &minor);
        EXPECT_EQ(major, c.major) << (c.version != nullptr ? c.version : "(null)");
        EXPECT_EQ(minor, c.minor) << (c.version != nullptr ? c.version : "(null)");
    }
}
