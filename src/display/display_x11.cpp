// The display on X11 with GLX.
//
// One 800x600 window titled "qo" that can be neither resized nor maximised,
// a double-buffered RGBA visual with 8 bits per colour and a 16-bit depth
// buffer, a legacy (compatibility) GLX context current on the main thread.
// The close request, DestroyNotify and Esc only set a flag that the main
// loop acts on; the window stays until close_display.
//
// F5's global state comes from XInput2 raw key events selected on the root
// window (they arrive whichever window has the focus, grabbed or not), taken
// with the other events, so the poll costs no round trip to the X server.
// The state is seeded with one XQueryKeymap, so a key already held at start
// counts. A raw press that starts a hold also sets a latch that only the next
// look at F5 clears: a tap pressed and released between two looks (both
// events taken in the same drain) still counts once. Without XInput2 2.1
// every poll asks XQueryKeymap, which can only sample: a tap between two
// polls is not seen. On a Wayland desktop the global-shortcuts portal's F5
// is OR-ed in (portal_shortcut.h).
//
// F5 is every keycode the live key map gives the F5 keysym, looked up again
// whenever the map changes (a layout switch; under Xwayland every virtual
// keyboard, such as one that types into another client, brings a key map of
// its own). A press counts until the same key is released, whatever the key
// means by then.
//
// The time keys (time_keys.h) are KeyPress events on qo's own window, so
// they act only while it has the keyboard focus; autorepeat sends a KeyPress
// for each repeat. They are matched by the keysym XLookupString gives with
// the live layout, group and modifiers: '.' is XK_period and ',' XK_comma
// wherever the layout puts them (Shift included, as on AZERTY), Space, the
// arrows and Home by their keysyms, the keypad's arrows and Home (NumLock
// off) too. The keypad's decimal key is not a step: it gives KP_Decimal or
// KP_Separator, a decimal mark whose character follows the locale (on
// Windows it types that character, and steps as it).
#include "display/display.h"

#include "display/extension_search.h"
#include "display/portal_shortcut.h"
#include "display/time_keys.h"
#include "output/build_output.h"
#include "shader/gl_entry_points.h"

#include <GL/gl.h>
#include <GL/glx.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/XKBlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>
#include <X11/keysym.h>
#include <sched.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int window_width = 800;
constexpr int window_height = 600;
constexpr const char* window_title = "qo";

// How many keycodes may carry F5 at once, and how many F5 presses (device
// and key) are remembered until their release.
constexpr int max_f5_keycodes = 8;
constexpr int max_f5_holders = 16;

// One held F5: the XInput2 source device and the keycode it was pressed
// with. Device 0 (no device has id 0) stands for a key seen down in the
// keyboard's state (XQueryKeymap): held when the viewer started, or any
// hold when F5 is polled; any release of that keycode ends it.
struct f5_holder {
    int device;
    unsigned int keycode;
};

// Everything the backend holds for the run; written by open_display and the
// event handler, released by close_display.
struct {
    Display* display;
    Window window;
    Colormap colormap;
    GLXContext gl_context;
    Atom wm_delete_window;
    KeyCode f5_keycodes[max_f5_keycodes]; // the keycodes that carry F5 now
    int f5_keycode_count;
    int xkb_event_base; // XKB's first event number; -1 without XKB
    int xi_opcode;      // XInput2's major opcode; 0 when F5 is polled with XQueryKeymap
    f5_holder f5_holders[max_f5_holders]; // the F5 presses not released yet
    int f5_holder_count;
    bool f5_pressed_since_look; // a raw press started a hold since f5_key_down
    int width;                  // the client size last reported by the X server
    int height;
    bool quit_requested;
} x11;

// The backend keeps running through protocol errors (for instance a window
// destroyed from outside while a frame is still presented to it).
int ignore_x_error(Display*, XErrorEvent*) {
    return 0;
}

// The X server went away: nothing more can be drawn.
int report_lost_server(Display*) {
    std::fprintf(stderr, "qo: lost the connection to the X server\n");
    flush_build_output();
    std::_Exit(1);
    return 0;
}

void set_window_properties(void) {
    Display* dpy = x11.display;
    XStoreName(dpy, x11.window, window_title);
    Atom net_wm_name = XInternAtom(dpy, "_NET_WM_NAME", False);
    Atom utf8_string = XInternAtom(dpy, "UTF8_STRING", False);
    XChangeProperty(dpy, x11.window, net_wm_name, utf8_string, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(window_title),
                    static_cast<int>(std::strlen(window_title)));

    char class_name[] = "qo";
    char instance_name[] = "qo";
    XClassHint class_hint;
    class_hint.res_name = instance_name;
    class_hint.res_class = class_name;
    XSetClassHint(dpy, x11.window, &class_hint);

    // Fixed size: the minimum and the maximum are both 800x600.
    XSizeHints* size_hints = XAllocSizeHints();
    if (size_hints != nullptr) {
        size_hints->flags = PPosition | PMinSize | PMaxSize;
        size_hints->x = 0;
        size_hints->y = 0;
        size_hints->min_width = size_hints->max_width = window_width;
        size_hints->min_height = size_hints->max_height = window_height;
        XSetWMNormalHints(dpy, x11.window, size_hints);
        XFree(size_hints);
    }

    // Move, minimise and close only: no resize and no maximise.
    struct {
        unsigned long flags, functions, decorations;
        long input_mode;
        unsigned long status;
    } motif_hints = {1 /* functions */, 4 | 8 | 32 /* move, minimise, close */, 0, 0, 0};
    Atom motif_wm_hints = XInternAtom(dpy, "_MOTIF_WM_HINTS", False);
    XChangeProperty(dpy, x11.window, motif_wm_hints, motif_wm_hints, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&motif_hints), 5);

    x11.wm_delete_window = XInternAtom(dpy, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(dpy, x11.window, &x11.wm_delete_window, 1);
}

void set_viewport(int width, int height) {
    if (x11.gl_context != nullptr) {
        glViewport(0, 0, width, height);
    }
}

bool key_is_down(const char* keys, unsigned int code) {
    return code != 0 && code < 256 && (keys[code / 8] & (1 << (code % 8))) != 0;
}

bool is_f5_keycode(unsigned int code) {
    for (int i = 0; i < x11.f5_keycode_count; ++i) {
        if (x11.f5_keycodes[i] == code) {
            return true;
        }
    }
    return false;
}

// Takes F5's state from a key vector as XQueryKeymap gives it: a key held
// since it was F5 stays an F5 hold while it is down, whatever it means now;
// a key down that carries F5 now starts one.
void take_key_vector(const char* keys) {
    for (int i = 0; i < x11.f5_holder_count;) {
        if (x11.f5_holders[i].device == 0 && !key_is_down(keys, x11.f5_holders[i].keycode)) {
            x11.f5_holders[i] = x11.f5_holders[--x11.f5_holder_count];
        } else {
            ++i;
        }
    }
    for (int i = 0; i < x11.f5_keycode_count; ++i) {
        unsigned int code = x11.f5_keycodes[i];
        bool known = false;
        for (int j = 0; j < x11.f5_holder_count; ++j) {
            known = known || (x11.f5_holders[j].device == 0 && x11.f5_holders[j].keycode == code);
        }
        if (!known && key_is_down(keys, code) && x11.f5_holder_count < max_f5_holders) {
            x11.f5_holders[x11.f5_holder_count++] = f5_holder{0, code};
        }
    }
}

// Looks F5 up in the live core key map (one round trip): every keycode with
// F5 at any of its places, up to max_f5_keycodes. Keeps the last set when the
// map can't be read.
void look_up_f5_keycodes(void) {
    Display* dpy = x11.display;
    int min_keycode = 0;
    int max_keycode = 0;
    XDisplayKeycodes(dpy, &min_keycode, &max_keycode);
    int count = max_keycode - min_keycode + 1;
    if (min_keycode < 8 || count <= 0) {
        return;
    }
    int per_keycode = 0;
    KeySym* map = XGetKeyboardMapping(dpy, static_cast<KeyCode>(min_keycode), count, &per_keycode);
    if (map == nullptr) {
        return;
    }
    x11.f5_keycode_count = 0;
    for (int code = 0; code < count && x11.f5_keycode_count < max_f5_keycodes; ++code) {
        for (int place = 0; place < per_keycode; ++place) {
            if (map[code * per_keycode + place] == XK_F5) {
                x11.f5_keycodes[x11.f5_keycode_count++] = static_cast<KeyCode>(min_keycode + code);
                break;
            }
        }
    }
    XFree(map);
}

// Asks for the notices of key-map changes beyond the core MappingNotify,
// which Xlib may keep from a client that uses XKB: a new keyboard (its own
// key map, as under Xwayland) and a changed map.
void watch_key_map(void) {
    int opcode = 0;
    int error_base = 0;
    int major = XkbMajorVersion;
    int minor = XkbMinorVersion;
    x11.xkb_event_base = -1;
    if (!XkbQueryExtension(x11.display, &opcode, &x11.xkb_event_base, &error_base, &major,
                           &minor)) {
        x11.xkb_event_base = -1;
        return;
    }
    unsigned int events = XkbNewKeyboardNotifyMask | XkbMapNotifyMask;
    XkbSelectEvents(x11.display, XkbUseCoreKbd, events, events);
}

// Takes F5's state from the raw key events, once selected; the state is
// then the one of the last event taken, as XQueryKeymap would report it.
void watch_f5_with_xinput2(void) {
    Display* dpy = x11.display;
    int event_base = 0;
    int error_base = 0;
    int major = 2;
    int minor = 1; // raw events even while another client grabs the keyboard
    if (!XQueryExtension(dpy, "XInputExtension", &x11.xi_opcode, &event_base, &error_base) ||
        XIQueryVersion(dpy, &major, &minor) != Success || major < 2 || (major == 2 && minor < 1)) {
        x11.xi_opcode = 0;
        return;
    }
    unsigned char mask_bits[XIMaskLen(XI_LASTEVENT)];
    std::memset(mask_bits, 0, sizeof mask_bits);
    XISetMask(mask_bits, XI_RawKeyPress);
    XISetMask(mask_bits, XI_RawKeyRelease);
    XIEventMask mask;
    mask.deviceid = XIAllMasterDevices;
    mask.mask_len = sizeof mask_bits;
    mask.mask = mask_bits;
    XISelectEvents(dpy, DefaultRootWindow(dpy), &mask, 1);
    // After the selection: what changes from here on is queued as events.
    char keys[32];
    XQueryKeymap(dpy, keys);
    x11.f5_holder_count = 0;
    take_key_vector(keys);
}

// A press of a key carrying F5 now holds F5 until that device releases that
// key, and is remembered until the next look at F5; a repeated press of a
// key already held is not a new press. A release also ends a hold seen at
// start on that key.
void take_f5_key(int device, unsigned int keycode, bool press) {
    if (press) {
        if (!is_f5_keycode(keycode)) {
            return;
        }
        for (int i = 0; i < x11.f5_holder_count; ++i) {
            if (x11.f5_holders[i].device == device && x11.f5_holders[i].keycode == keycode) {
                return;
            }
        }
        x11.f5_pressed_since_look = true;
        if (x11.f5_holder_count < max_f5_holders) {
            x11.f5_holders[x11.f5_holder_count++] = f5_holder{device, keycode};
        }
        return;
    }
    for (int i = 0; i < x11.f5_holder_count;) {
        const f5_holder& holder = x11.f5_holders[i];
        if ((holder.device == device || holder.device == 0) && holder.keycode == keycode) {
            x11.f5_holders[i] = x11.f5_holders[--x11.f5_holder_count];
        } else {
            ++i;
        }
    }
}

void take_raw_key_event(XGenericEventCookie* cookie) {
    if (cookie->extension != x11.xi_opcode || x11.xi_opcode == 0 ||
        (cookie->evtype != XI_RawKeyPress && cookie->evtype != XI_RawKeyRelease) ||
        !XGetEventData(x11.display, cookie)) {
        return;
    }
    const XIRawEvent* raw = static_cast<const XIRawEvent*>(cookie->data);
    if (raw->sourceid > 0 && raw->detail > 0) {
        take_f5_key(raw->sourceid, static_cast<unsigned int>(raw->detail),
                    cookie->evtype == XI_RawKeyPress);
    }
    XFreeEventData(x11.display, cookie);
}

// The XKB notices of a changed key map: Xlib's own copy follows, and F5 is
// looked up again.
void take_xkb_event(XEvent& event) {
    XkbEvent& xkb = reinterpret_cast<XkbEvent&>(event);
    if (xkb.any.xkb_type == XkbMapNotify) {
        XkbRefreshKeyboardMapping(&xkb.map);
        look_up_f5_keycodes();
    } else if (xkb.any.xkb_type == XkbNewKeyboardNotify) {
        look_up_f5_keycodes();
    }
}

// The time key a keysym stands for; time_key_none for any other.
time_key time_key_of(KeySym sym) {
    switch (sym) {
    case XK_space:
        return time_key_pause;
    case XK_period:
        return time_key_step_forward;
    case XK_comma:
        return time_key_step_back;
    case XK_Right:
    case XK_KP_Right:
        return time_key_seek_forward;
    case XK_Left:
    case XK_KP_Left:
        return time_key_seek_back;
    case XK_Up:
    case XK_KP_Up:
        return time_key_jump_forward;
    case XK_Down:
    case XK_KP_Down:
        return time_key_jump_back;
    case XK_Home:
    case XK_KP_Home:
        return time_key_first_frame;
    default:
        return time_key_none;
    }
}

void handle_event(XEvent& event) {
    switch (event.type) {
    case ClientMessage:
        if (static_cast<Atom>(event.xclient.data.l[0]) == x11.wm_delete_window) {
            x11.quit_requested = true;
        }
        break;
    case DestroyNotify:
        if (event.xdestroywindow.window == x11.window) {
            x11.quit_requested = true;
        }
        break;
    case KeyPress: {
        XKeyEvent key = event.xkey;
        if (XLookupKeysym(&key, 0) == XK_Escape) {
            x11.quit_requested = true;
            break;
        }
        // The keysym as typed: layout group and modifiers applied.
        char text[16];
        KeySym typed = NoSymbol;
        XLookupString(&key, text, sizeof text, &typed, nullptr);
        queue_time_key(time_key_of(typed));
        break;
    }
    case ConfigureNotify:
        if (event.xconfigure.width != x11.width || event.xconfigure.height != x11.height) {
            x11.width = event.xconfigure.width;
            x11.height = event.xconfigure.height;
            set_viewport(x11.width, x11.height);
        }
        break;
    case UnmapNotify:
        // Minimised: nothing is visible, frames go on.
        set_viewport(0, 0);
        break;
    case MapNotify:
        set_viewport(x11.width, x11.height);
        break;
    case GenericEvent:
        take_raw_key_event(&event.xcookie);
        break;
    case MappingNotify:
        XRefreshKeyboardMapping(&event.xmapping);
        if (event.xmapping.request == MappingKeyboard) {
            look_up_f5_keycodes();
        }
        break;
    default:
        if (x11.xkb_event_base >= 0 && event.type == x11.xkb_event_base) {
            take_xkb_event(event);
        }
        break;
    }
}

// The window's context answers through GLX.
gl_proc glx_proc_address(const char* name) {
    return reinterpret_cast<gl_proc>(glXGetProcAddressARB(reinterpret_cast<const GLubyte*>(name)));
}

} // namespace

int open_display(void) {
    x11.display = XOpenDisplay(nullptr);
    if (x11.display == nullptr) {
        std::fprintf(stderr, "qo: cannot open display \"%s\"\n", XDisplayName(nullptr));
        return 1;
    }
    XSetErrorHandler(ignore_x_error);
    XSetIOErrorHandler(report_lost_server);
    Display* dpy = x11.display;
    int screen = DefaultScreen(dpy);

    int glx_error_base = 0;
    int glx_event_base = 0;
    if (!glXQueryExtension(dpy, &glx_error_base, &glx_event_base)) {
        std::fprintf(stderr, "qo: the X server on \"%s\" offers no GLX\n", DisplayString(dpy));
        return 1;
    }
    int attributes[] = {
        GLX_RGBA, GLX_DOUBLEBUFFER, GLX_RED_SIZE, 8,   GLX_GREEN_SIZE, 8, GLX_BLUE_SIZE,
        8,        GLX_DEPTH_SIZE,   16,           None};
    XVisualInfo* visual = glXChooseVisual(dpy, screen, attributes);
    if (visual == nullptr) {
        std::fprintf(stderr,
                     "qo: no double-buffered RGBA visual with a 16-bit depth buffer on \"%s\"\n",
                     DisplayString(dpy));
        return 1;
    }

    Window root = RootWindow(dpy, screen);
    x11.colormap = XCreateColormap(dpy, root, visual->visual, AllocNone);
    XSetWindowAttributes window_attributes;
    std::memset(&window_attributes, 0, sizeof window_attributes);
    window_attributes.colormap = x11.colormap;
    window_attributes.background_pixel = BlackPixel(dpy, screen);
    window_attributes.border_pixel = 0;
    window_attributes.event_mask = StructureNotifyMask | KeyPressMask;
    x11.window = XCreateWindow(
        dpy, root, 0, 0, window_width, window_height, 0, visual->depth, InputOutput, visual->visual,
        CWColormap | CWBackPixel | CWBorderPixel | CWEventMask, &window_attributes);
    if (x11.window == 0) {
        XFree(visual);
        std::fprintf(stderr, "qo: cannot create the window\n");
        return 1;
    }
    x11.width = window_width;
    x11.height = window_height;
    set_window_properties();
    XMapWindow(dpy, x11.window);

    x11.gl_context = glXCreateContext(dpy, visual, nullptr, True);
    XFree(visual);
    if (x11.gl_context == nullptr) {
        std::fprintf(stderr, "qo: cannot create an OpenGL context\n");
        return 1;
    }
    if (!glXMakeCurrent(dpy, x11.window, x11.gl_context)) {
        std::fprintf(stderr, "qo: cannot make the OpenGL context current\n");
        return 1;
    }
    set_gl_proc_lookup(glx_proc_address);
    // The map is watched before it is read: a change in between is not lost.
    watch_key_map();
    look_up_f5_keycodes();
    watch_f5_with_xinput2();
    portal_shortcut_start();
    enable_swap_interval(1);
    return 0;
}

void enable_swap_interval(int interval) {
    Display* dpy = x11.display;
    const char* extensions = glXQueryExtensionsString(dpy, DefaultScreen(dpy));
    if (extension_offered(extensions, "GLX_EXT_swap_control")) {
        typedef void (*swap_interval_ext)(Display*, GLXDrawable, int);
        auto set = reinterpret_cast<swap_interval_ext>(gl_get_proc_address("glXSwapIntervalEXT"));
        if (set != nullptr) {
            set(dpy, x11.window, interval);
            return;
        }
    }
    if (extension_offered(extensions, "GLX_MESA_swap_control")) {
        typedef int (*swap_interval_mesa)(unsigned int);
        auto set = reinterpret_cast<swap_interval_mesa>(gl_get_proc_address("glXSwapIntervalMESA"));
        if (set != nullptr) {
            set(static_cast<unsigned int>(interval));
            return;
        }
    }
    if (extension_offered(extensions, "GLX_SGI_swap_control")) {
        typedef int (*swap_interval_sgi)(int);
        auto set = reinterpret_cast<swap_interval_sgi>(gl_get_proc_address("glXSwapIntervalSGI"));
        if (set != nullptr) {
            set(interval);
        }
    }
}

int drain_window_events(void) {
    while (!x11.quit_requested && XPending(x11.display) > 0) {
        XEvent event;
        XNextEvent(x11.display, &event);
        handle_event(event);
    }
    // The events behind a quit request stay queued, but the frame drawn
    // after it still needs F5 as it is now: take the key events among them.
    XEvent event;
    while (x11.quit_requested && x11.xi_opcode != 0 &&
           XCheckTypedEvent(x11.display, GenericEvent, &event)) {
        take_raw_key_event(&event.xcookie);
    }
    portal_shortcut_poll(); // the portal's F5, also behind a quit request
    return x11.quit_requested ? 1 : 0;
}

int f5_key_down(void) {
    if (x11.xi_opcode == 0) {
        char keys[32];
        XQueryKeymap(x11.display, keys);
        take_key_vector(keys);
    }
    bool pressed = x11.f5_pressed_since_look;
    x11.f5_pressed_since_look = false;
    // The portal is looked at on every frame, also while X11 holds F5: its
    // look clears its own pressed-since latch, which must not outlive this
    // frame.
    bool portal = portal_shortcut_held() != 0;
    return x11.f5_holder_count > 0 || pressed || portal ? 1 : 0;
}

void present_frame(void) {
    glXSwapBuffers(x11.display, x11.window);
}

void yield_processor(void) {
    sched_yield();
}

void close_display(void) {
    portal_shortcut_stop();
    if (x11.display == nullptr) {
        return;
    }
    if (x11.gl_context != nullptr) {
        glXMakeCurrent(x11.display, None, nullptr);
        set_gl_proc_lookup(nullptr);
        glXDestroyContext(x11.display, x11.gl_context);
        x11.gl_context = nullptr;
    }
    if (x11.window != 0) {
        XDestroyWindow(x11.display, x11.window);
        x11.window = 0;
    }
    if (x11.colormap != 0) {
        XFreeColormap(x11.display, x11.colormap);
        x11.colormap = 0;
    }
    XCloseDisplay(x11.display);
    x11.display = nullptr;
}
