// The picture file of a qo built without libpng (or EGL): nothing is ever
// written (qo --shot stops in shot_none.cpp), the name is kept as given.
#include "picture/png_file.h"

#include <cstdio>

int resolve_png_path(const char* file, char* path, int capacity) {
    std::snprintf(path, static_cast<size_t>(capacity), "%s", file);
    return 0;
}
