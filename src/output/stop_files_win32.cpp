// The file a stop removes, on Windows: deleted by the console handler, which
// waits a little for the writer to let it go.
#include "output/stop_files.h"

#include <windows.h>

namespace {

// The file registered, or nullptr.
const char* volatile file_removed_at_stop = nullptr;

// How long a stop waits for the file to be let go: the picture's encoder
// may hold it open without sharing its deletion for a few milliseconds.
constexpr DWORD removal_wait_ms = 500;

} // namespace

void register_stop_file(const char* path) {
    file_removed_at_stop = path;
}

void clear_stop_file(void) {
    file_removed_at_stop = nullptr;
}

void remove_stop_file(void) {
    const char* file = file_removed_at_stop;
    for (DWORD waited = 0; file != nullptr && waited < removal_wait_ms; waited += 10) {
        if (DeleteFileA(file) || GetLastError() == ERROR_FILE_NOT_FOUND) {
            return;
        }
        Sleep(10);
        file = file_removed_at_stop;
    }
}
