// The file a stop removes, on POSIX: unlinked by the stop thread.
#include "output/stop_files.h"

#include <unistd.h>

void delete_stop_file(const char* path) {
    unlink(path);
}
