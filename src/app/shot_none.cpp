// qo --shot and qo --record in a qo built without EGL or libpng (the
// configure step said so): one stderr line and exit status 1.
#include "app/record.h"
#include "app/shot.h"

#include <cstdio>

namespace {
const char* recorded_file = "";
} // namespace

int take_shot(const char*, const char* file, int, int, int) {
    std::fprintf(stderr,
                 "qo: cannot write %s: this qo was built without --shot (EGL or libpng was "
                 "missing when it was built)\n",
                 file);
    return 1;
}

int prepare_record(const command_line& line) {
    recorded_file = line.record_file;
    return -1;
}

int record_frames(void) {
    std::fprintf(stderr,
                 "qo: cannot write %s: this qo was built without --record (EGL or libpng was "
                 "missing when it was built)\n",
                 recorded_file);
    return 1;
}
