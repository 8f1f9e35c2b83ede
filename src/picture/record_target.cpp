#include "picture/record_target.h"

#include <cstdio>
#include <cstring>

namespace {

struct video_extension {
    const char* extension; // with its dot, lower case
    record_kind kind;
};

const video_extension video_extensions[] = {
    {".mp4", record_mp4},   {".mkv", record_mkv}, {".mov", record_mov},
    {".webm", record_webm}, {".gif", record_gif},
};

// Whether `name` ends in `extension` (lower case), in any case.
bool ends_with(const char* name, const char* extension) {
    size_t length = std::strlen(name);
    size_t tail = std::strlen(extension);
    if (length < tail) {
        return false;
    }
    for (size_t i = 0; i < tail; ++i) {
        char c = name[length - tail + i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != extension[i]) {
            return false;
        }
    }
    return true;
}

int refuse(char* error, int capacity, const char* what, const char* file) {
    std::snprintf(error, static_cast<size_t>(capacity), "qo: %s '%s'; see 'qo --help'", what, file);
    return 1;
}

// Appends `c` to `text` (of `*length` bytes); false when it is full.
bool append(char* text, int* length, char c) {
    if (*length + 1 >= record_name_capacity) {
        return false;
    }
    text[(*length)++] = c;
    text[*length] = '\0';
    return true;
}

} // namespace

int parse_record_target(const char* file, record_target* target, char* error, int capacity) {
    *target = record_target();
    for (const video_extension& video : video_extensions) {
        if (ends_with(file, video.extension)) {
            target->kind = video.kind;
            return 0;
        }
    }
    if (!ends_with(file, ".png")) {
        return refuse(
            error, capacity,
            "not a kind of file qo records (f%04d.png, .mp4, .mkv, .mov, .webm, .gif):", file);
    }
    // The fixed parts, with the field (at most one) between them.
    bool field_seen = false;
    int lengths[2] = {0, 0};
    char* parts[2] = {target->prefix, target->suffix};
    for (const char* c = file; *c != '\0'; ++c) {
        int part = field_seen ? 1 : 0;
        if (*c != '%') {
            if (!append(parts[part], &lengths[part], *c)) {
                return refuse(error, capacity, "file name too long:", file);
            }
            continue;
        }
        if (c[1] == '%') {
            if (!append(parts[part], &lengths[part], '%')) {
                return refuse(error, capacity, "file name too long:", file);
            }
            ++c;
            continue;
        }
        int digits = -1;
        if (c[1] == 'd') {
            digits = 0;
            c += 1;
        } else if (c[1] == '0' && c[2] >= '1' && c[2] <= '9' && c[3] == 'd') {
            digits = c[2] - '0';
            c += 3;
        }
        if (digits < 0) {
            return refuse(error, capacity,
                          "a frame number field is %d or %0Nd with N from 1 to 9 (%% for a %) in",
                          file);
        }
        if (field_seen) {
            return refuse(error, capacity, "more than one frame number field in", file);
        }
        field_seen = true;
        target->digits = digits;
    }
    if (!field_seen) {
        return refuse(error, capacity,
                      "a PNG sequence needs one frame number field, %d or %0Nd (f%04d.png), in",
                      file);
    }
    return 0;
}

int format_frame_name(const record_target& target, int frame, char* name, int capacity) {
    int length = std::snprintf(name, static_cast<size_t>(capacity), "%s%0*d%s", target.prefix,
                               target.digits, frame, target.suffix);
    return length >= 0 && length < capacity ? 0 : 1;
}

int check_record_size(record_kind kind, int width, int height, char* error, int capacity) {
    const char* codec = nullptr;
    switch (kind) {
    case record_mp4:
    case record_mkv:
    case record_mov:
        codec = "H.264";
        break;
    case record_webm:
        codec = "VP9";
        break;
    case record_png_sequence:
    case record_gif:
        return 0;
    }
    if (width % 2 == 0 && height % 2 == 0) {
        return 0;
    }
    std::snprintf(error, static_cast<size_t>(capacity),
                  "qo: cannot record %dx%d as %s: %s in yuv420p needs an even width and height",
                  width, height, record_kind_extension(kind), codec);
    return 1;
}

const char* record_kind_extension(record_kind kind) {
    for (const video_extension& video : video_extensions) {
        if (video.kind == kind) {
            return video.extension + 1;
        }
    }
    return "png";
}
