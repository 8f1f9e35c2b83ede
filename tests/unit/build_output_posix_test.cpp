// The line-whole rule against a real signal: a handler that takes the
// pending lines at any moment of an add finds whole lines only, exactly the
// ones added and not yet written.
#include "shader/build_output.h"

#include "build_output_sink.h"

#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/time.h>

namespace {

char seen[build_output_capacity];
volatile std::sig_atomic_t seen_count = -1; // -1: none yet; -2: a write was under way

void take_pending(int) {
    const char* bytes = nullptr;
    int count = 0;
    if (claim_build_output(&bytes, &count)) {
        std::memcpy(seen, bytes, static_cast<size_t>(count));
        seen_count = count;
    } else {
        seen_count = -2;
    }
}

TEST(BuildOutputSignal, AHandlerFindsWholeLinesOnly) {
    struct sigaction action;
    struct sigaction previous;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = take_pending;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);

    // Lines of many lengths, up to the longest log, so that the signal lands
    // in the middle of copies of every size.
    const std::string lines[] = {"7\n", "prog:\n", "prog:" + std::string(1023, 'L') + "\n",
                                 "123456\n", "prog:" + std::string(300, 's') + "\n"};
    int before_publication = 0;
    const int runs = 300;
    for (int run = 0; run < runs; ++run) {
        reset_fake_stdout();
        seen_count = -1;
        std::string added;
        itimerval timer = {{0, 0}, {0, 50 + (run * 37) % 900}};
        ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);
        for (int i = 0; seen_count == -1; ++i) {
            const std::string& line = lines[i % 5];
            add_build_output(line.data(), static_cast<int>(line.size()));
            if (seen_count == -1) {
                added += line;
            }
        }
        if (seen_count == -2) {
            continue; // it came during a write: the main thread owns the lines
        }
        std::string pending(seen, static_cast<size_t>(seen_count));
        std::string written = test_stdout.all();
        ASSERT_TRUE(pending.empty() || pending.back() == '\n') << "run " << run;
        // What was written, then what the handler found: a prefix of all the
        // lines added, ending with a whole one (the one under way, or not).
        std::string both = written + pending;
        ASSERT_GE(both.size(), added.size()) << "run " << run;
        ASSERT_EQ(both.compare(0, added.size(), added), 0) << "run " << run;
        std::string extra = both.substr(added.size());
        bool one_whole_line = false;
        for (const std::string& line : lines) {
            one_whole_line = one_whole_line || extra == line;
        }
        ASSERT_TRUE(extra.empty() || one_whole_line) << "run " << run << ": " << extra.size();
        before_publication += extra.empty() ? 1 : 0;
    }
    sigaction(SIGALRM, &previous, nullptr);
    reset_fake_stdout();
    std::printf("%d of %d signals found the last line added not yet there\n", before_publication,
                runs);
}

} // namespace
