// Preloaded into the viewer (LD_PRELOAD) by the stop scenarios: the first
// write() to standard output first sends the process $QO_STOP_RACE_SIGNAL
// (kill, as a user's kill or Ctrl+C would, not to the writing thread alone),
// then creates the file $QO_STOP_RACE_SENT, then makes the real write. The
// stop signal so lands after the output path decided to write and before its
// write began, every time: the moment a stop must not be missed.
#include <atomic>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace {

std::atomic<bool> sent{false};

} // namespace

extern "C" ssize_t write(int fd, const void* bytes, size_t count) {
    using write_call = ssize_t (*)(int, const void*, size_t);
    static write_call real = reinterpret_cast<write_call>(dlsym(RTLD_NEXT, "write"));
    if (fd == STDOUT_FILENO && !sent.exchange(true)) {
        const char* number = std::getenv("QO_STOP_RACE_SIGNAL");
        const char* marker = std::getenv("QO_STOP_RACE_SENT");
        if (number != nullptr && marker != nullptr) {
            kill(getpid(), std::atoi(number));
            int made = open(marker, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
            if (made >= 0) {
                close(made);
            }
        }
    }
    return real(fd, bytes, count);
}
