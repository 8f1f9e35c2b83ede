// The build lines' own buffer: what goes out when, always in whole lines,
// and what a stop request finds in it.
#include "output/build_output.h"

#include "build_output_sink.h"

#include <atomic>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

fake_stdout test_stdout;

void reset_fake_stdout(bool by_line) {
    restart_build_output();
    set_build_output_by_line(by_line);
    test_stdout = fake_stdout();
}

int write_build_output(const char* bytes, int count) {
    if (test_stdout.during_write) {
        std::function<void()> once = test_stdout.during_write;
        test_stdout.during_write = nullptr;
        once();
    }
    if (test_stdout.take == -2) {
        return -1;
    }
    int taken = test_stdout.take >= 0 && test_stdout.take < count ? test_stdout.take : count;
    if (taken > 0) {
        test_stdout.writes.emplace_back(bytes, static_cast<size_t>(taken));
    }
    return taken;
}

void end_stopped_build_output(void) {
    ++test_stdout.ends;
    if (test_stdout.on_end) {
        test_stdout.on_end();
    }
}

namespace {

class BuildOutput : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_fake_stdout();
    }
    void TearDown() override {
        reset_fake_stdout();
    }
    static void add(const std::string& line) {
        add_build_output(line.data(), static_cast<int>(line.size()));
    }
};

bool whole_lines(const std::string& bytes) {
    return bytes.empty() || bytes.back() == '\n';
}

TEST_F(BuildOutput, BuildLinesHaveThePrintfBytes) {
    add_build_number(3);
    add_build_log("");
    add_build_number(-1);
    add_build_log("error: one\nerror: two");
    flush_build_output();
    EXPECT_EQ(test_stdout.all(), "3\nprog:\n-1\nprog:error: one\nerror: two\n");
}

// Into a pipe or a file: nothing goes out until the next line does not fit;
// then the block goes out in one write of whole lines.
TEST_F(BuildOutput, BlocksHoldWholeLinesAndGoOutWhenTheNextDoesNotFit) {
    std::string expected;
    int added = 0;
    const std::string log = "prog:" + std::string(1017, 'x') + "\n"; // a 1023-byte log
    while (expected.size() < 3 * build_output_capacity) {
        std::string number = std::to_string(added++) + "\n";
        for (const std::string& line : {number, log}) {
            size_t pending = expected.size() - test_stdout.all().size();
            add(line);
            expected += line;
            bool fitted = pending + line.size() <= build_output_capacity;
            EXPECT_EQ(test_stdout.all().size(), fitted ? expected.size() - pending - line.size()
                                                       : expected.size() - line.size())
                << "line " << added;
        }
    }
    ASSERT_GE(test_stdout.writes.size(), 2u);
    for (const std::string& write : test_stdout.writes) {
        EXPECT_TRUE(whole_lines(write));
        EXPECT_LE(write.size(), static_cast<size_t>(build_output_capacity));
        EXPECT_GT(write.size(), static_cast<size_t>(build_output_capacity - log.size()))
            << "a block went out before it was full";
    }
    flush_build_output();
    EXPECT_EQ(test_stdout.all(), expected);
    size_t writes = test_stdout.writes.size();
    flush_build_output();
    EXPECT_EQ(test_stdout.writes.size(), writes) << "nothing pending, nothing written";
}

// On a terminal: each line in a write of its own, at once.
TEST_F(BuildOutput, LineByLineWritesEachLineAtOnce) {
    reset_fake_stdout(true);
    add_build_number(7);
    ASSERT_EQ(test_stdout.writes, std::vector<std::string>{"7\n"});
    add_build_log("log");
    EXPECT_EQ(test_stdout.writes, (std::vector<std::string>{"7\n", "prog:log\n"}));
}

// A write that takes part, one cut short by a signal, and a standard output
// that takes nothing (closed): the bytes go out once each, in order, or are
// dropped, and the lines after them still go out.
TEST_F(BuildOutput, ShortWritesResumeAndFailedOnesDrop) {
    struct Case {
        const char* name;
        int take;
        std::string out;
    };
    const Case cases[] = {
        {"seven bytes a write", 7, "12\nprog:a log\n"},
        {"cut short every time but the last", 0, "12\nprog:a log\n"},
        {"takes nothing", -2, ""},
    };
    for (const Case& c : cases) {
        reset_fake_stdout();
        test_stdout.take = c.take;
        add_build_number(12);
        add_build_log("a log");
        if (c.take == 0) {
            test_stdout.during_write = [] { test_stdout.take = -1; };
        }
        flush_build_output();
        EXPECT_EQ(test_stdout.all(), c.out) << c.name;
        test_stdout.take = -1;
        add_build_number(13);
        flush_build_output();
        EXPECT_EQ(test_stdout.all(), c.out + "13\n") << c.name;
    }
}

// What a stop hands over, piece by piece; `room`: how many pieces standard
// output takes without waiting.
std::vector<std::string> handed;
int room = 1000;

bool record_piece(const char* bytes, int count) {
    if (room <= 0) {
        return false;
    }
    --room;
    handed.emplace_back(bytes, static_cast<size_t>(count));
    return true;
}

std::vector<std::string> stop_now(int wait_ms = 0, int pieces_taken = 1000) {
    handed.clear();
    room = pieces_taken;
    write_out_for_stop(wait_ms, record_piece);
    return handed;
}

// A stop request between writes gets every whole build not yet written, a
// build a piece (a multi-line link log with it), as far as standard output
// takes them; no write of the main thread starts after it.
TEST_F(BuildOutput, AStopBetweenWritesTakesThePendingBuildsWhole) {
    const std::string log(2500, 'y');
    add_build_number(1);
    add_build_log(log.c_str());
    add_build_number(2);
    add_build_log(log.c_str()); // the first build went out to make room
    ASSERT_EQ(test_stdout.all(), "1\nprog:" + log + "\n");
    add_build_number(3);
    add_build_log("error: one\nerror: two");
    add_build_number(4); // its log is not there yet

    EXPECT_EQ(stop_now(), (std::vector<std::string>{"2\nprog:" + log + "\n",
                                                    "3\nprog:error: one\nerror: two\n"}));
    EXPECT_TRUE(build_output_claimed());
    // A build begun after the stop took the output (its compile errors would
    // go to stderr, its lines nowhere): the main thread waits for the end.
    add_build_number(5);
    EXPECT_EQ(test_stdout.ends, 1) << "a build began after the stop";
    add_build_log(log.c_str()); // does not fit: the block would go out, but the stop holds it
    flush_build_output();
    EXPECT_EQ(test_stdout.all(), "1\nprog:" + log + "\n") << "a write started after the stop";
    EXPECT_EQ(test_stdout.ends, 3) << "each line and write the stop held waits for the end";

    // Standard output with room for one piece: the second build is not cut.
    reset_fake_stdout();
    add_build_number(5);
    add_build_log("a\nb");
    add_build_number(6);
    add_build_log("c\nd");
    EXPECT_EQ(stop_now(0, 1), std::vector<std::string>{"5\nprog:a\nb\n"});
}

// In a block a build's number line waits for its log line: a stop request
// between the two (a long compile) takes the whole builds before it, and a
// block never ends between them. On a terminal the number shows at once.
TEST_F(BuildOutput, AStopInTheMiddleOfABuildTakesTheWholeBuildsOnly) {
    add_build_number(1);
    add_build_log("");
    add_build_number(2);
    EXPECT_EQ(stop_now(), (std::vector<std::string>{"1\nprog:\n"}));
    reset_fake_stdout();

    const std::string log(1500, 'g');
    for (int build = 0; build < 12; ++build) {
        add_build_number(build);
        add_build_log(log.c_str());
    }
    flush_build_output();
    ASSERT_GE(test_stdout.writes.size(), 4u);
    for (const std::string& write : test_stdout.writes) {
        EXPECT_EQ(write.compare(write.size() - log.size() - 1, log.size(), log), 0)
            << "a block ends between a build's two lines";
    }

    reset_fake_stdout(true);
    add_build_number(3);
    EXPECT_EQ(test_stdout.all(), "3\n");
}

// A stop request during a write of the main thread: the stop waits for the
// write (the write owns its lines), then takes the rest; the main thread
// starts no write after it. A write that does not end within the wait keeps
// its lines, and the stop takes nothing.
TEST_F(BuildOutput, AStopDuringAWriteWaitsForItThenTakesTheRest) {
    for (bool write_ends_in_time : {true, false}) {
        reset_fake_stdout();
        add_build_number(1);
        add_build_log("first");
        add_build_number(2);
        add_build_log("second");
        const std::string all = "1\nprog:first\n2\nprog:second\n";
        const int taken = 8;
        test_stdout.take = taken;
        std::thread stop;
        std::vector<std::string> rest;
        test_stdout.during_write = [&] {
            // A bound far beyond any machine's pause; 0: the write "never ends".
            int wait_ms = write_ends_in_time ? 600000 : 0;
            stop = std::thread([&rest, wait_ms] { rest = stop_now(wait_ms); });
            while (!build_output_claimed()) {
                std::this_thread::yield();
            }
            if (!write_ends_in_time) {
                stop.join();
            }
        };
        flush_build_output();
        if (stop.joinable()) {
            stop.join();
        }
        EXPECT_EQ(test_stdout.ends, 1);
        EXPECT_EQ(test_stdout.all(), all.substr(0, taken))
            << "the main thread wrote on after the stop";
        if (write_ends_in_time) {
            EXPECT_EQ(rest, (std::vector<std::string>{"irst\n", "2\nprog:second\n"}));
        } else {
            EXPECT_TRUE(rest.empty()) << "a second writer beside a write under way";
        }
    }
}

// A stop thread that comes at any moment while the main thread adds lines
// and writes blocks: what was written, then what the stop took, is the lines
// added in order, ending with a whole build.
TEST_F(BuildOutput, AStopAtAnyMomentFindsWholeBuildsOnly) {
    const std::string logs[] = {"", std::string(1023, 'L'), "a\nb", std::string(300, 's')};
    for (int run = 0; run < 100; ++run) {
        reset_fake_stdout();
        std::atomic<bool> go{false};
        std::vector<std::string> taken;
        std::thread stop([&] {
            while (!go.load()) {
                std::this_thread::yield();
            }
            for (int spin = 0; spin < (run * 37) % 200; ++spin) {
                std::this_thread::yield();
            }
            taken = stop_now(600000);
        });
        std::vector<std::string> builds;
        go = true;
        for (int i = 0; !build_output_claimed(); ++i) {
            if (i >= 200) {
                std::this_thread::yield(); // enough blocks: wait for the stop
                continue;
            }
            add_build_number(i);
            add_build_log(logs[i % 4].c_str());
            builds.push_back(std::to_string(i) + "\nprog:" + logs[i % 4] + "\n");
        }
        stop.join();
        std::string both = test_stdout.all();
        for (const std::string& piece : taken) {
            both += piece;
        }
        std::string whole;
        size_t count = 0;
        while (count < builds.size() && whole.size() < both.size()) {
            whole += builds[count++];
        }
        ASSERT_EQ(both, whole) << "run " << run << ": not the builds added, whole, in order";
    }
}

} // namespace
