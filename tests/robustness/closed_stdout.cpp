// closed_stdout [--close FD | --full] COMMAND [ARGS...]
// Runs COMMAND (replacing this process, so its pid and exit status are the
// command's) with its standard output the write end of a pipe whose read end
// is already closed: every write to it fails with EPIPE, and raises SIGPIPE
// unless the command ignores it. With --close FD: with descriptor FD closed
// instead (`2>&-`); with --full: with standard output /dev/full, where every
// write fails with ENOSPC.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

bool replace_stdout(int fd, const char* what) {
    if (fd < 0 || dup2(fd, 1) < 0) {
        std::fprintf(stderr, "closed_stdout: %s: %s\n", what, std::strerror(errno));
        return false;
    }
    close(fd);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    int first = 1;
    if (argc >= 3 && std::strcmp(argv[1], "--close") == 0) {
        close(std::atoi(argv[2]));
        first = 3;
    } else if (argc >= 2 && std::strcmp(argv[1], "--full") == 0) {
        if (!replace_stdout(open("/dev/full", O_WRONLY), "/dev/full")) {
            return 126;
        }
        first = 2;
    } else {
        int fds[2];
        if (pipe(fds) != 0) {
            std::fprintf(stderr, "closed_stdout: pipe: %s\n", std::strerror(errno));
            return 126;
        }
        close(fds[0]);
        if (!replace_stdout(fds[1], "dup2")) {
            return 126;
        }
    }
    if (first >= argc) {
        std::fprintf(stderr, "usage: closed_stdout [--close FD | --full] COMMAND [ARGS...]\n");
        return 2;
    }
    // The command gets SIGPIPE's default action, whatever the test runner set.
    std::signal(SIGPIPE, SIG_DFL);
    execvp(argv[first], argv + first);
    std::fprintf(stderr, "closed_stdout: cannot run %s: %s\n", argv[first], std::strerror(errno));
    return 127;
}
