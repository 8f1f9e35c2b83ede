// The file a stop removes, on Windows: deleted by the console handler.
#include "output/stop_files.h"

#include <windows.h>

namespace {

// How long a stop tries to delete the file: qo opens it sharing its
// deletion, but another program (a virus scanner, an indexer) may hold it
// for a moment without.
constexpr DWORD removal_wait_ms = 500;

} // namespace

void delete_stop_file(const char* path) {
    for (DWORD waited = 0; waited < removal_wait_ms; waited += 10) {
        if (DeleteFileA(path) || GetLastError() == ERROR_FILE_NOT_FOUND ||
            GetLastError() == ERROR_PATH_NOT_FOUND) {
            return;
        }
        Sleep(10);
    }
}
