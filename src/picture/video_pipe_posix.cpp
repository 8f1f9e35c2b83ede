// The video encoder on POSIX systems: ffmpeg started with posix_spawnp in a
// process group of its own, with the default signal mask and actions (qo
// blocks its stop signals and ignores SIGPIPE, which a child would inherit),
// its standard input the read end of a pipe, its standard output and error
// an unlinked temporary file whose end is shown when it fails.
#include "picture/video_pipe.h"

#include "output/stop_files.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace {

// The running encoder: its process, the write end of its input, the file
// of its output.
struct {
    pid_t pid;
    int input;
    FILE* log;
} encoder = {-1, -1, nullptr};

// How many bytes of the end of the encoder's output are shown.
constexpr long log_tail_bytes = 2048;

// Shows the last lines the encoder wrote (at most log_tail_bytes of them).
void show_log_tail(void) {
    if (encoder.log == nullptr || std::fflush(encoder.log) != 0 ||
        std::fseek(encoder.log, 0, SEEK_END) != 0) {
        return;
    }
    long size = std::ftell(encoder.log);
    long start = size > log_tail_bytes ? size - log_tail_bytes : 0;
    char tail[log_tail_bytes + 1];
    if (size <= 0 || std::fseek(encoder.log, start, SEEK_SET) != 0) {
        return;
    }
    size_t count = std::fread(tail, 1, static_cast<size_t>(size - start), encoder.log);
    tail[count] = '\0';
    // From the first whole line when the start was cut.
    const char* shown = tail;
    if (start > 0) {
        const char* line_end = std::strchr(tail, '\n');
        shown = line_end != nullptr ? line_end + 1 : tail;
    }
    std::fputs(shown, stderr);
    if (count > 0 && tail[count - 1] != '\n') {
        std::fputc('\n', stderr);
    }
}

void close_log(void) {
    if (encoder.log != nullptr) {
        std::fclose(encoder.log);
        encoder.log = nullptr;
    }
}

void close_input(void) {
    if (encoder.input >= 0) {
        close(encoder.input);
        encoder.input = -1;
    }
}

void sleep_ms(long ms) {
    struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
}

// Waits for the encoder to end: at most `wait_ms` (-1: no limit). True with
// its wait status, false when it still runs.
bool wait_for_encoder(int wait_ms, int* status) {
    for (long waited = 0;; waited += 10) {
        pid_t ended = waitpid(encoder.pid, status, wait_ms < 0 ? 0 : WNOHANG);
        if (ended == encoder.pid) {
            return true;
        }
        if (ended < 0 && errno != EINTR) {
            *status = 0;
            return errno == ECHILD;
        }
        if (wait_ms >= 0 && waited >= wait_ms) {
            return false;
        }
        if (ended == 0) {
            sleep_ms(10);
        }
    }
}

} // namespace

int find_ffmpeg(void) {
    const char* path = std::getenv("PATH");
    if (path == nullptr) {
        return 1;
    }
    char candidate[4096];
    for (const char* folder = path;;) {
        const char* end = std::strchr(folder, ':');
        int length =
            end != nullptr ? static_cast<int>(end - folder) : static_cast<int>(std::strlen(folder));
        // An empty entry is the current folder, as for execvp.
        int written =
            length == 0 ? std::snprintf(candidate, sizeof candidate, "ffmpeg")
                        : std::snprintf(candidate, sizeof candidate, "%.*s/ffmpeg", length, folder);
        struct stat info;
        if (written > 0 && written < static_cast<int>(sizeof candidate) &&
            stat(candidate, &info) == 0 && S_ISREG(info.st_mode) && access(candidate, X_OK) == 0) {
            return 0;
        }
        if (end == nullptr) {
            return 1;
        }
        folder = end + 1;
    }
}

int create_video_file(const char* path, const char* file, char* temporary, int capacity) {
    const char* slash = std::strrchr(path, '/');
    const char* name = slash != nullptr ? slash + 1 : path;
    const char* dot = std::strrchr(name, '.');
    int folder_length = static_cast<int>(name - path);
    int stem_length = static_cast<int>(dot - name);
    static unsigned long counter = 0;
    int error = EEXIST;
    for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
        int length = std::snprintf(temporary, static_cast<size_t>(capacity),
                                   "%.*s.%.*s.qo-%ld-%lu%s", folder_length, path, stem_length, name,
                                   static_cast<long>(getpid()), ++counter, dot);
        if (length < 0 || length >= capacity) {
            error = ENAMETOOLONG;
            break;
        }
        if (!name_stop_file(temporary)) {
            error = ECANCELED; // a stop is ending the process
            break;
        }
        int fd = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
        error = fd >= 0 ? 0 : errno;
        stop_file_made();
        if (fd >= 0) {
            close(fd);
            return 0;
        }
        clear_stop_file();
    }
    std::fprintf(stderr, "qo: cannot write %s: %s\n", file, std::strerror(error));
    return 1;
}

int start_video_encoder(const char* const* argv) {
    int pipe_ends[2];
    if (pipe2(pipe_ends, O_CLOEXEC) != 0) {
        std::fprintf(stderr, "qo: cannot start ffmpeg: %s\n", std::strerror(errno));
        return 1;
    }
    encoder.log = std::tmpfile();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[0], STDIN_FILENO);
    int log_fd = encoder.log != nullptr ? fileno(encoder.log) : -1;
    if (log_fd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, log_fd, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, log_fd, STDERR_FILENO);
    } else {
        // Not qo's standard output, which carries the build lines alone.
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    // Nothing else of qo's (the GL's descriptors) reaches the encoder.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                              POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    const int reset[] = {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    for (int number : reset) {
        sigaddset(&defaults, number);
    }
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    pid_t pid = -1;
    int error =
        posix_spawnp(&pid, argv[0], &actions, &attributes, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(pipe_ends[0]);
    if (error != 0) {
        close(pipe_ends[1]);
        close_log();
        std::fprintf(stderr, "qo: cannot start %s: %s\n", argv[0], std::strerror(error));
        return 1;
    }
    encoder.pid = pid;
    encoder.input = pipe_ends[1];
    return 0;
}

int write_video_bytes(const unsigned char* bytes, size_t count) {
    while (count > 0) {
        if (encoder.input < 0) {
            return 1;
        }
        ssize_t written = write(encoder.input, bytes, count);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return 1; // EPIPE: the encoder ended (SIGPIPE is ignored)
        }
        bytes += written;
        count -= static_cast<size_t>(written);
    }
    return 0;
}

int finish_video_encoder(int wait_ms, const char* file) {
    close_input();
    if (encoder.pid < 0) {
        return 1;
    }
    int status = 0;
    if (!wait_for_encoder(wait_ms, &status)) {
        kill(encoder.pid, SIGKILL);
        wait_for_encoder(-1, &status);
        std::fprintf(stderr, "qo: cannot write %s: ffmpeg did not finish within %d s\n", file,
                     wait_ms / 1000);
        encoder.pid = -1;
        close_log();
        return 1;
    }
    encoder.pid = -1;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        close_log();
        return 0;
    }
    if (WIFSIGNALED(status)) {
        std::fprintf(stderr, "qo: cannot write %s: ffmpeg was ended by signal %d (%s)\n", file,
                     WTERMSIG(status), strsignal(WTERMSIG(status)));
    } else {
        std::fprintf(stderr, "qo: cannot write %s: ffmpeg failed with exit status %d\n", file,
                     WEXITSTATUS(status));
    }
    show_log_tail();
    close_log();
    return 1;
}

void kill_video_encoder(void) {
    close_input();
    if (encoder.pid > 0) {
        kill(encoder.pid, SIGKILL);
    }
}

int commit_video_file(const char* temporary, const char* path, const char* file) {
    if (rename(temporary, path) != 0) {
        std::fprintf(stderr, "qo: cannot write %s: %s\n", file, std::strerror(errno));
        return 1;
    }
    return 0;
}
