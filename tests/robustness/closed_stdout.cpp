// closed_stdout COMMAND [ARGS...]
// Runs COMMAND (replacing this process, so its pid and exit status are the
// command's) with its standard output the write end of a pipe whose read end
// is already closed: every write to it fails with EPIPE, and raises SIGPIPE
// unless the command ignores it.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: closed_stdout COMMAND [ARGS...]\n");
        return 2;
    }
    int fds[2];
    if (pipe(fds) != 0) {
        std::fprintf(stderr, "closed_stdout: pipe: %s\n", std::strerror(errno));
        return 126;
    }
    close(fds[0]);
    if (dup2(fds[1], 1) < 0) {
        std::fprintf(stderr, "closed_stdout: dup2: %s\n", std::strerror(errno));
        return 126;
    }
    close(fds[1]);
    // The command gets SIGPIPE's default action, whatever the test runner set.
    std::signal(SIGPIPE, SIG_DFL);
    execvp(argv[1], argv + 1);
    std::fprintf(stderr, "closed_stdout: cannot run %s: %s\n", argv[1], std::strerror(errno));
    return 127;
}
