// Opening a shader file on POSIX systems: O_NONBLOCK so that a FIFO can't
// hang the viewer at open, then fstat to refuse anything but a regular file.
#include "shader/file_reader.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::FILE* open_regular_file(const char* path, const char** reason) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *reason = std::strerror(errno);
        return nullptr;
    }
    struct stat info;
    if (fstat(fd, &info) != 0) {
        *reason = std::strerror(errno);
        close(fd);
        return nullptr;
    }
    if (!S_ISREG(info.st_mode)) {
        *reason = S_ISDIR(info.st_mode) ? std::strerror(EISDIR) : "not a regular file";
        close(fd);
        return nullptr;
    }
    std::FILE* file = fdopen(fd, "rb");
    if (file == nullptr) {
        *reason = std::strerror(errno);
        close(fd);
    }
    return file;
}
