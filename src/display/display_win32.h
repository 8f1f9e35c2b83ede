// What the Windows display lends the off-screen picture of qo --shot
// (offscreen_wgl.cpp): the viewer's window and GL context with the window
// never shown (the picture is drawn into a framebuffer object of its
// context), the WGL look-up of entry points and the system's error text.
// Windows only.
#pragma once

#include "display/opengl.h"
#include "shader/gl_entry_points.h"

// Creates the viewer's window without showing it and makes its GL context
// current on this thread, the loader's look-up set to WGL's. Returns 0, or 1
// after one stderr line naming the step that failed. close_display must be
// called in both cases.
int open_hidden_display(void);

// The window's device context, once open_hidden_display made it.
HDC display_device_context(void);

// Looks an entry point up through wglGetProcAddress; null also for the
// small numbers and -1 some drivers answer a failed look-up with.
gl_proc wgl_proc_address(const char* name);

// Writes "qo: <what>: <the system's reason>" for the error GetLastError
// reported right after the failed call. Not every call sets an error on
// failure: each one is preceded by SetLastError(0) so that an older error is
// not taken for its reason.
void report_win32_failure(const char* what, DWORD error);
