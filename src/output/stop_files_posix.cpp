// The file a stop removes, on POSIX: unlinked by the stop thread.
#include "output/stop_files.h"

#include <atomic>
#include <unistd.h>

namespace {

// The file registered, or nullptr.
std::atomic<const char*> file_removed_at_stop{nullptr};

} // namespace

void register_stop_file(const char* path) {
    file_removed_at_stop.store(path);
}

void clear_stop_file(void) {
    file_removed_at_stop.store(nullptr);
}

void remove_stop_file(void) {
    const char* file = file_removed_at_stop.load();
    if (file != nullptr) {
        unlink(file);
    }
}
