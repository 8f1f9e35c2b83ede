#include "shader/compile_log_line.h"

#include <cstring>

namespace {

// A piece of the line: `text` and its `length`.
struct span {
    const char* text = nullptr;
    int length = 0;
};

// The output so far; `full` once something did not fit.
struct writer {
    char* out;
    int capacity;
    int length;
    bool full;
};

void put(writer* w, const char* text, int length) {
    if (w->full || length > w->capacity - 1 - w->length) {
        w->full = true;
        return;
    }
    std::memcpy(w->out + w->length, text, static_cast<size_t>(length));
    w->length += length;
}

void put(writer* w, const char* text) {
    put(w, text, static_cast<int>(std::strlen(text)));
}

// Whether the text at `*p` (before `end`) starts with `word`; steps over it
// when it does.
bool take(const char** p, const char* end, const char* word) {
    size_t length = std::strlen(word);
    if (static_cast<size_t>(end - *p) < length || std::memcmp(*p, word, length) != 0) {
        return false;
    }
    *p += length;
    return true;
}

// One or more decimal digits at `*p`; `number` holds them without leading
// zeros, so that it is empty for 0 (no conversion: any length is safe).
bool take_number(const char** p, const char* end, span* number) {
    const char* start = *p;
    while (*p < end && **p >= '0' && **p <= '9') {
        ++*p;
    }
    if (*p == start) {
        return false;
    }
    while (start < *p && *start == '0') {
        ++start;
    }
    number->text = start;
    number->length = static_cast<int>(*p - start);
    return true;
}

// `F:L` or `F:L:C`; column 0 drops the column. Line 0 is the driver's word
// for an error of the whole file: it becomes `F:1`, since editors take
// only a line with a number as an error of that file.
void put_location(writer* w, const char* file, const span& line, const span& column) {
    put(w, file);
    put(w, ":");
    if (line.length == 0) {
        put(w, "1");
        return;
    }
    put(w, line.text, line.length);
    if (column.length != 0) {
        put(w, ":");
        put(w, column.text, column.length);
    }
}

// Mesa: `0:L(C): error: m`, `0:L(C): warning: m`, `0:L(C): preprocessor error: m`.
bool rewrite_mesa(writer* w, const char* file, const char* p, const char* end) {
    span line;
    span column;
    if (!take(&p, end, "0:") || !take_number(&p, end, &line) || !take(&p, end, "(") ||
        !take_number(&p, end, &column) || !take(&p, end, "): ")) {
        return false;
    }
    const char* rest = p;
    bool preprocessor = take(&p, end, "preprocessor error:");
    if (!preprocessor && !take(&p, end, "error:") && !take(&p, end, "warning:")) {
        return false;
    }
    put_location(w, file, line, column);
    put(w, preprocessor ? ": error: " : ": ");
    put(w, rest, static_cast<int>(end - rest));
    return true;
}

// NVIDIA: `0(L) : error Cnnnn: m`, `0(L) : fatal error Cnnnn: m`,
// `0(L) : warning Cnnnn: m`, and `(0) : error Cnnnn: m` (no source index)
// for what has no line.
bool rewrite_nvidia(writer* w, const char* file, const char* p, const char* end) {
    span line;
    bool indexed = take(&p, end, "0");
    if (!take(&p, end, "(") || !take_number(&p, end, &line) || !take(&p, end, ") : ") ||
        (!indexed && line.length != 0)) {
        return false;
    }
    const char* severity = nullptr;
    if (take(&p, end, "error ") || take(&p, end, "fatal error ")) {
        severity = ": error: ";
    } else if (take(&p, end, "warning ")) {
        severity = ": warning: ";
    } else {
        return false;
    }
    const char* code = p;
    span digits;
    if (!take(&p, end, "C") || !take_number(&p, end, &digits) || !take(&p, end, ":")) {
        return false;
    }
    put_location(w, file, line, span());
    put(w, severity);
    put(w, code, static_cast<int>(end - code));
    return true;
}

// The location ends with ':' and then the end of the line or a blank.
bool at_message(const char* p, const char* end) {
    return p == end || *p == ' ';
}

// AMD, Intel, Apple, ANGLE, glslang: `ERROR: 0:L:C: m`, `ERROR: 0:L: m`,
// the same with `WARNING:`.
bool rewrite_error_prefix(writer* w, const char* file, const char* p, const char* end) {
    const char* severity = nullptr;
    if (take(&p, end, "ERROR: 0:")) {
        severity = ": error:";
    } else if (take(&p, end, "WARNING: 0:")) {
        severity = ": warning:";
    } else {
        return false;
    }
    span line;
    span column;
    if (!take_number(&p, end, &line) || !take(&p, end, ":")) {
        return false;
    }
    const char* after_line = p;
    if (!(take_number(&p, end, &column) && take(&p, end, ":") && at_message(p, end))) {
        column = span();
        p = after_line;
        if (!at_message(p, end)) {
            return false;
        }
    }
    put_location(w, file, line, column);
    put(w, severity);
    put(w, p, static_cast<int>(end - p));
    return true;
}

} // namespace

int rewrite_compile_log_line(const char* file, const char* line, int length, char* out,
                             int capacity) {
    if (capacity < 1) {
        return -1;
    }
    out[0] = '\0';
    const char* end = line + (length > 0 ? length : 0);
    while (end > line && (end[-1] == '\r' || end[-1] == ' ' || end[-1] == '\t')) {
        --end;
    }
    const char no_errors[] = "No errors.";
    int trimmed = static_cast<int>(end - line);
    if (trimmed == 0 || (trimmed == sizeof no_errors - 1 &&
                         std::memcmp(line, no_errors, sizeof no_errors - 1) == 0)) {
        return 0;
    }

    writer w{out, capacity, 0, false};
    if (!rewrite_mesa(&w, file, line, end) && !rewrite_nvidia(&w, file, line, end) &&
        !rewrite_error_prefix(&w, file, line, end)) {
        put(&w, file);
        put(&w, ": ");
        put(&w, line, trimmed);
    }
    if (w.full) {
        out[0] = '\0';
        return -1;
    }
    out[w.length] = '\0';
    return w.length;
}
