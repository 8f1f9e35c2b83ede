// The unit tests' standard output for the build lines: build_output.h's
// platform calls, defined in build_output_test.cpp, record every write here.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct fake_stdout {
    std::vector<std::string> writes; // the bytes of each write, in order
    // Bytes a write takes at most; -1: all. A write of 0 stands for one a
    // signal cut short, -2 for a standard output that takes nothing.
    int take = -1;
    // Run inside a write, before it returns (a stop request arriving then).
    std::function<void()> during_write;
    // Run by end_stopped_build_output (the process would end there).
    std::function<void()> on_end;
    int ends = 0;

    std::string all() const {
        std::string bytes;
        for (const std::string& write : writes) {
            bytes += write;
        }
        return bytes;
    }
};

// Cleared, with the block emptied, by reset_fake_stdout.
extern fake_stdout test_stdout;
void reset_fake_stdout(bool by_line = false);
