// Preloaded into qo (LD_PRELOAD) by the shot scenarios: the disk fills up
// in the middle of the picture file. Writes to a file whose name starts
// with ".qo-shot-" (qo's file beside the target) or ends with ".png" (the
// target itself, were it written in place) take 1024 bytes in all, and every
// later one fails with ENOSPC, as a full disk does. Other writes (the build
// lines, stderr) go through.
//
// With QO_FULL_DISK_SHIM_STOP the disk does not fill: the process sends
// itself SIGTERM and then takes two seconds before it goes on (longer than
// a stop waits for anything), so that the stop lands at that moment: with
// "write", inside the first write to the picture; with "created", right
// after qo's file beside the target was made (mkstemp, or open with
// O_CREAT), before anything else is done with it. (qo is a 64-bit program:
// open and mkstemp are the calls.)
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

bool stop_at(const char* moment) {
    const char* wanted = std::getenv("QO_FULL_DISK_SHIM_STOP");
    return wanted != nullptr && std::strcmp(wanted, moment) == 0;
}

// Sends the stop once, and gives it time to act.
void stop_here(void) {
    static bool stopped = false;
    if (!stopped) {
        stopped = true;
        kill(getpid(), SIGTERM);
        sleep(2);
    }
}

bool temporary_name(const char* path) {
    return path != nullptr && std::strstr(path, "/.qo-shot-") != nullptr;
}

// The file just made: when it is qo's beside the target, the stop.
int after_creation(const char* path, int fd) {
    if (fd >= 0 && temporary_name(path) && stop_at("created")) {
        stop_here();
    }
    return fd;
}

template <typename Call> Call real_call(const char* name) {
    return reinterpret_cast<Call>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" int mkstemp(char* path) {
    static auto real = real_call<int (*)(char*)>("mkstemp");
    return after_creation(path, real(path));
}

extern "C" int open(const char* path, int flags, ...) {
    static auto real = real_call<int (*)(const char*, int, ...)>("open");
    va_list arguments;
    va_start(arguments, flags);
    mode_t mode = (flags & O_CREAT) != 0 ? va_arg(arguments, mode_t) : 0;
    va_end(arguments);
    int fd = real(path, flags, mode);
    return (flags & O_CREAT) != 0 ? after_creation(path, fd) : fd;
}

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
        bool picture =
            temporary_name(path) || (length > 4 && std::strcmp(path + length - 4, ".png") == 0);
        if (picture && count > 0 && std::getenv("QO_FULL_DISK_SHIM_STOP") != nullptr) {
            if (stop_at("write")) {
                stop_here();
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
