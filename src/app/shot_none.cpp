// qo --shot in a qo built without EGL or libpng (the configure step said
// so): one stderr line and exit status 1.
#include "app/shot.h"

#include <cstdio>

int take_shot(const char*, const char* file, int) {
    std::fprintf(stderr,
                 "qo: cannot write %s: this qo was built without --shot (EGL or libpng was "
                 "missing when it was built)\n",
                 file);
    return 1;
}
