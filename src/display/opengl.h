// The system's OpenGL 1.1 header, with what it needs before it: Windows'
// GL/gl.h relies on the declarations of <windows.h> (WINGDIAPI, APIENTRY).
#pragma once

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#include <GL/gl.h>
