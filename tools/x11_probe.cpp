#include "x11_probe.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <zlib.h>

namespace {

int ignore_errors(Display*, XErrorEvent*) {
    return 0;
}

Window search(Display* display, Window parent, const char* name) {
    Window root_return = 0;
    Window parent_return = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, parent, &root_return, &parent_return, &children, &count)) {
        return 0;
    }
    Window found = 0;
    for (unsigned int i = 0; i < count && found == 0; ++i) {
        XWindowAttributes attributes;
        if (probe_window_name(display, children[i]) == name &&
            XGetWindowAttributes(display, children[i], &attributes) &&
            attributes.map_state == IsViewable) {
            found = children[i];
        }
    }
    for (unsigned int i = 0; i < count && found == 0; ++i) {
        found = search(display, children[i], name);
    }
    if (children != nullptr) {
        XFree(children);
    }
    return found;
}

void put_u32(std::vector<std::uint8_t>* out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out->push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

void put_chunk(std::vector<std::uint8_t>* out, const char* type,
               const std::vector<std::uint8_t>& data) {
    put_u32(out, static_cast<std::uint32_t>(data.size()));
    std::vector<std::uint8_t> body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    out->insert(out->end(), body.begin(), body.end());
    put_u32(out, static_cast<std::uint32_t>(crc32(0, body.data(), static_cast<uInt>(body.size()))));
}

} // namespace

std::string probe_window_name(Display* display, Window window) {
    char* name = nullptr;
    std::string result;
    if (XFetchName(display, window, &name) && name != nullptr) {
        result = name;
        XFree(name);
    }
    return result;
}

Window probe_find_window(Display* display, const char* name, int timeout_ms) {
    XErrorHandler previous = XSetErrorHandler(ignore_errors);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    Window found = 0;
    for (;;) {
        found = search(display, DefaultRootWindow(display), name);
        if (found != 0 || std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    XSync(display, False);
    XSetErrorHandler(previous);
    return found;
}

bool probe_grab(Display* display, Window window, probe_image* image) {
    XErrorHandler previous = XSetErrorHandler(ignore_errors);
    XWindowAttributes attributes;
    bool ok = XGetWindowAttributes(display, window, &attributes) != 0;
    XSync(display, False);
    XSetErrorHandler(previous);
    return ok &&
           probe_grab_region(display, window, 0, 0, attributes.width, attributes.height, image);
}

bool probe_grab_region(Display* display, Drawable drawable, int x, int y, int width, int height,
                       probe_image* image) {
    if (width <= 0 || height <= 0) {
        return false;
    }
    XErrorHandler previous = XSetErrorHandler(ignore_errors);
    XImage* ximage = XGetImage(display, drawable, x, y, static_cast<unsigned>(width),
                               static_cast<unsigned>(height), AllPlanes, ZPixmap);
    XSync(display, False);
    XSetErrorHandler(previous);
    if (ximage == nullptr) {
        return false;
    }
    image->width = ximage->width;
    image->height = ximage->height;
    image->rgb.resize(static_cast<size_t>(image->width) * image->height * 3);
    for (int row = 0; row < image->height; ++row) {
        for (int column = 0; column < image->width; ++column) {
            unsigned long pixel = XGetPixel(ximage, column, row);
            std::uint8_t* out = &image->rgb[(static_cast<size_t>(row) * image->width + column) * 3];
            out[0] = static_cast<std::uint8_t>((pixel & ximage->red_mask) >> 16);
            out[1] = static_cast<std::uint8_t>((pixel & ximage->green_mask) >> 8);
            out[2] = static_cast<std::uint8_t>(pixel & ximage->blue_mask);
        }
    }
    XDestroyImage(ximage);
    return true;
}

bool probe_write_png(const char* path, const probe_image& image) {
    std::vector<std::uint8_t> raw;
    raw.reserve(static_cast<size_t>(image.height) * (image.width * 3 + 1));
    for (int y = 0; y < image.height; ++y) {
        raw.push_back(0); // no filter
        const std::uint8_t* row = &image.rgb[static_cast<size_t>(y) * image.width * 3];
        raw.insert(raw.end(), row, row + image.width * 3);
    }
    uLongf packed_size = compressBound(static_cast<uLong>(raw.size()));
    std::vector<std::uint8_t> packed(packed_size);
    if (compress2(packed.data(), &packed_size, raw.data(), static_cast<uLong>(raw.size()), 9) !=
        Z_OK) {
        return false;
    }
    packed.resize(packed_size);

    std::vector<std::uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    std::vector<std::uint8_t> header;
    put_u32(&header, static_cast<std::uint32_t>(image.width));
    put_u32(&header, static_cast<std::uint32_t>(image.height));
    header.insert(header.end(), {8, 2, 0, 0, 0}); // 8 bits, RGB, deflate, no filter, no interlace
    put_chunk(&png, "IHDR", header);
    put_chunk(&png, "IDAT", packed);
    put_chunk(&png, "IEND", {});

    std::FILE* file = std::fopen(path, "wb");
    if (file == nullptr) {
        return false;
    }
    bool ok = std::fwrite(png.data(), 1, png.size(), file) == png.size();
    return std::fclose(file) == 0 && ok;
}

void probe_send_close_request(Display* display, Window window) {
    XEvent event;
    std::memset(&event, 0, sizeof event);
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
    XFlush(display);
}
