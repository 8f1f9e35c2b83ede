#include "shader/file_reader.h"

// The reason of the latest failed load; a constant text or the C library's.
static const char* last_failure_reason = "";

int load_text_file(const char* path, char* buffer, int capacity) {
    std::FILE* file = open_regular_file(path, &last_failure_reason);
    if (file == nullptr) {
        return -1;
    }
    size_t count = capacity > 0 ? std::fread(buffer, 1, static_cast<size_t>(capacity), file) : 0;
    std::fclose(file);
    return static_cast<int>(count);
}

const char* load_failure_reason(void) {
    return last_failure_reason;
}
