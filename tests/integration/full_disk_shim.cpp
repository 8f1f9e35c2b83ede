// Preloaded into qo (LD_PRELOAD) by the shot scenarios: the disk fills up
// in the middle of the picture file. Writes to a file whose name starts
// with ".qo-shot-" (qo's file beside the target) or ends with ".png" (the
// target itself, were it written in place) take 1024 bytes in all, and every
// later one fails with ENOSPC, as a full disk does. Other writes (the build
// lines, stderr) go through.
//
// With QO_FULL_DISK_SHIM_STOP=1 the disk does not fill: the first write to
// the picture sends the process SIGTERM and then takes a second before it
// goes on, so that the stop lands while the picture is being written.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <unistd.h>

extern "C" ssize_t write(int fd, const void* bytes, size_t count) {
    typedef ssize_t (*write_fn)(int, const void*, size_t);
    static write_fn real = reinterpret_cast<write_fn>(dlsym(RTLD_NEXT, "write"));
    static size_t taken = 0;
    char link[64];
    char path[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t length = readlink(link, path, sizeof path - 1);
    if (length > 0) {
        path[length] = '\0';
        bool picture = std::strstr(path, "/.qo-shot-") != nullptr ||
                       (length > 4 && std::strcmp(path + length - 4, ".png") == 0);
        if (picture && count > 0 && std::getenv("QO_FULL_DISK_SHIM_STOP") != nullptr) {
            static bool stopped = false;
            if (!stopped) {
                stopped = true;
                kill(getpid(), SIGTERM);
                sleep(1);
            }
        } else if (picture && count > 0) {
            if (taken >= 1024) {
                errno = ENOSPC;
                return -1;
            }
            size_t part = count < 1024 - taken ? count : 1024 - taken;
            ssize_t written = real(fd, bytes, part);
            taken += written > 0 ? static_cast<size_t>(written) : 0;
            return written;
        }
    }
    return real(fd, bytes, count);
}
