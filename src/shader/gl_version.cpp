#include "shader/gl_version.h"

namespace {

// Reads a run of decimal digits; stops at 9999 so that nonsense can't overflow.
const char* read_number(const char* p, int* value) {
    *value = 0;
    while (*p >= '0' && *p <= '9') {
        if (*value < 10000) {
            *value = *value * 10 + (*p - '0');
        }
        ++p;
    }
    return p;
}

} // namespace

void parse_gl_version(const char* version, int* major, int* minor) {
    *major = 0;
    *minor = 0;
    if (version == nullptr || *version < '0' || *version > '9') {
        return;
    }
    int ma = 0;
    int mi = 0;
    const char* p = read_number(version, &ma);
    if (p[0] != '.' || p[1] < '0' || p[1] > '9') {
        return;
    }
    read_number(p + 1, &mi);
    *major = ma;
    *minor = mi;
}
