// The display on Windows with WGL.
//
// One window of class and title "qo", 800x600 including its frame, with a
// caption, a system menu and a minimise box (no resize, no maximise), a
// double-buffered RGBA pixel format with 24 colour bits and a 16-bit depth
// buffer, a legacy WGL context current on the main thread. Close, destroy
// and Esc post WM_QUIT, which drain_window_events hands to the main loop.
//
// F5 counts as down for a frame when the key's global state (the high bit
// of GetAsyncKeyState) says it is held at the look, or when a press came
// since the previous look: raw keyboard input registered with
// RIDEV_INPUTSINK (WM_INPUT, also while another window has the focus) and
// WM_KEYDOWN while qo has the focus, both taken in the frame's message
// drain. A repeat of a key already down is not a new press. The low bit of
// GetAsyncKeyState is documented as unreliable and is not used.
//
// The time keys (time_keys.h) are qo's own key messages, so they act only
// while its window has the keyboard focus; held keys repeat them. '.' and
// ',' come as WM_CHAR, the characters the layout (and Shift) make of the
// keys, wherever the layout puts them; Space, the arrows and Home as
// WM_KEYDOWN virtual keys (the keypad's arrows and Home with NumLock off
// are the same virtual keys). Space's WM_CHAR is not looked at: it would
// count the key twice.
//
// qo --shot makes the same window and context but never shows the window
// (open_hidden_display, display_win32.h), and draws into a framebuffer
// object of that context (offscreen_wgl.cpp).
#include "display/display.h"

#include "display/display_win32.h"
#include "display/extension_search.h"
#include "display/opengl.h"
#include "display/time_keys.h"
#include "shader/gl_entry_points.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int window_width = 800; // the outer size, frame and caption included
constexpr int window_height = 600;
constexpr const char* class_name = "qo";
constexpr const char* window_title = "qo";
constexpr DWORD window_style = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;

// Everything the backend holds for the run; written by open_display and
// released by close_display.
struct {
    HWND window;
    HDC device_context;
    HGLRC gl_context;
    // Set once gl_context is current: only then may the window procedure
    // touch GL state (the first WM_SIZE comes during window creation).
    bool gl_ready;
    bool quit_taken;
    bool f5_raw_down;           // F5's state as the raw input last reported it
    bool f5_pressed_since_look; // a press came since f5_key_down last looked
} win32;

// The message record of drain_window_events, zeroed once before the loop.
MSG message;

} // namespace

void report_win32_failure(const char* what, DWORD error) {
    char reason[256];
    reason[0] = '\0';
    DWORD length = 0;
    if (error != 0) {
        length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                error, 0, reason, static_cast<DWORD>(sizeof reason), nullptr);
    }
    // The system's texts end with ".\r\n": the line ends here instead.
    while (length > 0 && (reason[length - 1] == '\r' || reason[length - 1] == '\n' ||
                          reason[length - 1] == ' ' || reason[length - 1] == '.')) {
        reason[--length] = '\0';
    }
    if (error == 0) {
        std::fprintf(stderr, "qo: %s (the system gave no reason)\n", what);
    } else if (length == 0) {
        std::fprintf(stderr, "qo: %s: error %lu\n", what, static_cast<unsigned long>(error));
    } else {
        std::fprintf(stderr, "qo: %s: %s (error %lu)\n", what, reason,
                     static_cast<unsigned long>(error));
    }
}

gl_proc wgl_proc_address(const char* name) {
    PROC proc = wglGetProcAddress(name);
    auto value = reinterpret_cast<INT_PTR>(proc);
    if (value == 0 || value == 1 || value == 2 || value == 3 || value == -1) {
        return nullptr;
    }
    return reinterpret_cast<gl_proc>(proc);
}

namespace {

// One raw input record: a make of F5 that was up is a press; a break ends
// it. Other devices and keys are left alone.
void take_raw_input(HRAWINPUT handle) {
    RAWINPUT input;
    UINT size = sizeof input;
    if (GetRawInputData(handle, RID_INPUT, &input, &size, sizeof(RAWINPUTHEADER)) ==
            static_cast<UINT>(-1) ||
        input.header.dwType != RIM_TYPEKEYBOARD || input.data.keyboard.VKey != VK_F5) {
        return;
    }
    bool down = (input.data.keyboard.Flags & RI_KEY_BREAK) == 0;
    if (down && !win32.f5_raw_down) {
        win32.f5_pressed_since_look = true;
    }
    win32.f5_raw_down = down;
}

// Asks for the keyboard's raw input in qo's window whichever window has the
// focus. Without it F5 is the key's state and qo's own key messages.
void watch_raw_keyboard(void) {
    RAWINPUTDEVICE device;
    device.usUsagePage = 0x01; // generic desktop controls
    device.usUsage = 0x06;     // keyboard
    device.dwFlags = RIDEV_INPUTSINK;
    device.hwndTarget = win32.window;
    SetLastError(0);
    if (!RegisterRawInputDevices(&device, 1, sizeof device)) {
        report_win32_failure(
            "cannot register for the keyboard's raw input (F5 is seen only while qo "
            "has the focus)",
            GetLastError());
    }
}

// The time key of a WM_KEYDOWN's virtual key; time_key_none for any other.
time_key time_key_of_virtual_key(WPARAM key) {
    switch (key) {
    case VK_SPACE:
        return time_key_pause;
    case VK_RIGHT:
        return time_key_seek_forward;
    case VK_LEFT:
        return time_key_seek_back;
    case VK_UP:
        return time_key_jump_forward;
    case VK_DOWN:
        return time_key_jump_back;
    case VK_HOME:
        return time_key_first_frame;
    default:
        return time_key_none;
    }
}

LRESULT CALLBACK display_window_proc(HWND window, UINT kind, WPARAM wparam, LPARAM lparam) {
    switch (kind) {
    case WM_INPUT:
        take_raw_input(reinterpret_cast<HRAWINPUT>(lparam));
        break; // DefWindowProc releases the input
    case WM_DESTROY:
    case WM_CLOSE:
        PostQuitMessage(0);
        return 0;
    case WM_SIZE:
        if (win32.gl_ready) {
            glViewport(0, 0, static_cast<GLsizei>(LOWORD(lparam)),
                       static_cast<GLsizei>(static_cast<short>(HIWORD(lparam))));
        }
        break;
    case WM_KEYDOWN:
        if (wparam == VK_ESCAPE) {
            PostQuitMessage(0);
        } else if (wparam == VK_F5 && (lparam & (1L << 30)) == 0) {
            // Bit 30: the key was already down (a repeat).
            win32.f5_pressed_since_look = true;
        } else {
            queue_time_key(time_key_of_virtual_key(wparam));
        }
        break;
    case WM_CHAR:
        if (wparam == '.') {
            queue_time_key(time_key_step_forward);
        } else if (wparam == ',') {
            queue_time_key(time_key_step_back);
        }
        break;
    default:
        break;
    }
    return DefWindowProcA(window, kind, wparam, lparam);
}

// Gives the window its pixel format and a current GL context. Returns 0, or
// 1 after a stderr line naming the step that failed.
int create_gl_context(void) {
    SetLastError(0);
    win32.device_context = GetDC(win32.window);
    if (win32.device_context == nullptr) {
        report_win32_failure("cannot get the window's device context", GetLastError());
        return 1;
    }
    PIXELFORMATDESCRIPTOR format;
    std::memset(&format, 0, sizeof format);
    format.nSize = sizeof(PIXELFORMATDESCRIPTOR);
    format.nVersion = 1;
    format.dwFlags = PFD_DRAW_TO_WINDOW | PFD_SUPPORT_OPENGL | PFD_DOUBLEBUFFER;
    format.iPixelType = PFD_TYPE_RGBA;
    format.cColorBits = 24;
    format.cDepthBits = 16;
    format.iLayerType = PFD_MAIN_PLANE;
    SetLastError(0);
    int format_index = ChoosePixelFormat(win32.device_context, &format);
    if (format_index == 0) {
        report_win32_failure("no double-buffered RGBA pixel format with a 16-bit depth buffer",
                             GetLastError());
        return 1;
    }
    SetLastError(0);
    if (!SetPixelFormat(win32.device_context, format_index, &format)) {
        report_win32_failure("cannot set the window's pixel format", GetLastError());
        return 1;
    }
    SetLastError(0);
    win32.gl_context = wglCreateContext(win32.device_context);
    if (win32.gl_context == nullptr) {
        report_win32_failure("cannot create an OpenGL context", GetLastError());
        return 1;
    }
    SetLastError(0);
    if (!wglMakeCurrent(win32.device_context, win32.gl_context)) {
        report_win32_failure("cannot make the OpenGL context current", GetLastError());
        return 1;
    }
    win32.gl_ready = true;
    set_gl_proc_lookup(wgl_proc_address);
    return 0;
}

// Registers the class "qo" and creates its window, not yet shown. Returns 0,
// or 1 after a stderr line.
int create_window(void) {
    HINSTANCE module = GetModuleHandleA(nullptr);

    WNDCLASSEXA window_class;
    std::memset(&window_class, 0, sizeof window_class);
    window_class.cbSize = sizeof(WNDCLASSEXA);
    window_class.style = CS_HREDRAW | CS_VREDRAW | CS_CLASSDC;
    window_class.lpfnWndProc = display_window_proc;
    window_class.cbClsExtra = 0;
    window_class.cbWndExtra = 0;
    window_class.hInstance = module;
    // The stock resource ids are numbers in pointer form, typed after the
    // UNICODE setting: the casts keep the ANSI calls right either way.
    window_class.hIcon = LoadIconA(nullptr, reinterpret_cast<LPCSTR>(IDI_APPLICATION));
    window_class.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    window_class.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    window_class.lpszMenuName = nullptr;
    window_class.lpszClassName = class_name;
    window_class.hIconSm = nullptr;
    RegisterClassExA(&window_class);

    SetLastError(0);
    win32.window = CreateWindowExA(0, class_name, window_title, window_style, 0, 0, window_width,
                                   window_height, nullptr, nullptr, module, nullptr);
    if (win32.window == nullptr) {
        report_win32_failure("cannot create the window", GetLastError());
        return 1;
    }
    return 0;
}

} // namespace

int open_hidden_display(void) {
    if (create_window() != 0) {
        return 1;
    }
    return create_gl_context();
}

HDC display_device_context(void) {
    return win32.device_context;
}

int open_display(void) {
    if (create_window() != 0) {
        return 1;
    }
    ShowWindow(win32.window, SW_SHOW);
    UpdateWindow(win32.window);

    if (create_gl_context() != 0) {
        return 1;
    }
    std::memset(&message, 0, sizeof message);
    watch_raw_keyboard();
    enable_swap_interval(1);
    return 0;
}

void enable_swap_interval(int interval) {
    const char* extensions = reinterpret_cast<const char*>(glGetString(GL_EXTENSIONS));
    if (!extension_offered(extensions, "WGL_EXT_swap_control")) {
        return;
    }
    typedef BOOL(WINAPI * swap_interval_ext)(int);
    auto set = reinterpret_cast<swap_interval_ext>(gl_get_proc_address("wglSwapIntervalEXT"));
    if (set != nullptr) {
        set(interval);
    }
}

int drain_window_events(void) {
    while (!win32.quit_taken && PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            win32.quit_taken = true;
            break;
        }
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    // The messages behind the quit stay queued, but the frame drawn after it
    // still needs F5 as it is now: take the raw input among them.
    while (win32.quit_taken && PeekMessageA(&message, nullptr, WM_INPUT, WM_INPUT, PM_REMOVE)) {
        DispatchMessageA(&message);
    }
    return win32.quit_taken ? 1 : 0;
}

int f5_key_down(void) {
    bool pressed = win32.f5_pressed_since_look;
    win32.f5_pressed_since_look = false;
    bool held = (GetAsyncKeyState(VK_F5) & 0x8000) != 0;
    if (!held) {
        // A release the raw input missed (it came while the input went
        // elsewhere) must not make the next press look like a repeat.
        win32.f5_raw_down = false;
    }
    return held || pressed ? 1 : 0;
}

void present_frame(void) {
    SwapBuffers(win32.device_context);
}

void yield_processor(void) {
    Sleep(0);
}

void close_display(void) {
    win32.gl_ready = false;
    wglMakeCurrent(win32.device_context, nullptr);
    set_gl_proc_lookup(nullptr);
    wglDeleteContext(win32.gl_context);
    win32.gl_context = nullptr;
    if (win32.device_context != nullptr) {
        ReleaseDC(win32.window, win32.device_context);
        win32.device_context = nullptr;
    }
    if (win32.window != nullptr) {
        DestroyWindow(win32.window);
        win32.window = nullptr;
    }
}
