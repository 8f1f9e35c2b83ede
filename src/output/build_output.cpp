#include "output/build_output.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

// Guards everything below. The main thread holds it only for short moves of
// the marks, never across a write; the stop thread holds it while it writes
// (without waiting) and then ends the process.
std::mutex guard;
char block[build_output_capacity];
// ends_piece[i]: a published piece (a whole build in a block, a line on a
// terminal) ends at byte i.
bool ends_piece[build_output_capacity + 1];
// Bytes [0, published) of the block are published; [0, written) of them are
// written out already; [published, filled) hold the number line of a build
// whose log line is still to come.
int published = 0;
int written = 0;
int filled = 0;
// The main thread writes [written, published) outside the lock.
bool writing = false;
// A stop request took the output.
bool claimed = false;
bool line_by_line = false;

// Writes the published lines out, then starts the block again. Entered and
// left with the lock held.
void write_out(std::unique_lock<std::mutex>& hold) {
    while (!claimed && written < published) {
        int from = written;
        int to = published;
        writing = true;
        hold.unlock();
        int count = write_build_output(block + from, to - from);
        hold.lock();
        writing = false;
        // A failed write drops the lines, as the C library does.
        written = count < 0 ? to : from + count;
    }
    if (claimed) {
        hold.unlock();
        end_stopped_build_output();
        hold.lock();
        return;
    }
    // The start of a build not yet whole moves to the front.
    std::memmove(block, block + published, static_cast<size_t>(filled - published));
    std::memset(ends_piece, 0, static_cast<size_t>(published + 1));
    filled -= published;
    written = 0;
    published = 0;
}

// Puts the line behind the others, not yet published. False when a stop
// request holds the block: the line is not there, nor is anything published.
bool append(std::unique_lock<std::mutex>& hold, const char* line, int length) {
    if (claimed) {
        // The stop writes what was published and ends the process: no line
        // (nor the build it begins, whose compile log would go to stderr)
        // comes after it.
        hold.unlock();
        end_stopped_build_output();
        hold.lock();
        return false;
    }
    if (length <= 0) {
        return true;
    }
    if (length > build_output_capacity) {
        length = build_output_capacity;
    }
    if (filled + length > build_output_capacity) {
        write_out(hold);
        if (filled + length > build_output_capacity) {
            return false;
        }
    }
    std::memcpy(block + filled, line, static_cast<size_t>(length));
    filled += length;
    return true;
}

// Published only now, whole: a stop request before this sees the block
// without the lines appended since the last publication.
void publish(std::unique_lock<std::mutex>& hold) {
    if (filled > published) {
        published = filled;
        ends_piece[published] = true;
    }
    if (line_by_line) {
        write_out(hold);
    }
}

} // namespace

void set_build_output_by_line(bool by_line) {
    std::lock_guard<std::mutex> hold(guard);
    line_by_line = by_line;
}

void add_build_output(const char* line, int length) {
    std::unique_lock<std::mutex> hold(guard);
    if (append(hold, line, length)) {
        publish(hold);
    }
}

void add_build_number(int number) {
    char line[16];
    int length = std::snprintf(line, sizeof line, "%d\n", number);
    std::unique_lock<std::mutex> hold(guard);
    // On a terminal it shows at once; in a block it waits for its log line,
    // so that a stop writes whole builds.
    if (append(hold, line, length) && line_by_line) {
        publish(hold);
    }
}

void add_build_log(const char* log) {
    char line[build_output_capacity];
    int length = std::snprintf(line, sizeof line, "prog:%s\n", log);
    if (length >= static_cast<int>(sizeof line)) {
        // Cut, with the line end kept (the builder's logs are far shorter).
        length = static_cast<int>(sizeof line);
        line[length - 1] = '\n';
    }
    std::unique_lock<std::mutex> hold(guard);
    if (append(hold, line, length)) {
        publish(hold);
    }
}

void flush_build_output(void) {
    std::unique_lock<std::mutex> hold(guard);
    if (claimed) {
        // An end while a stop writes the lines: the stop ends the process.
        hold.unlock();
        end_stopped_build_output();
        return;
    }
    // At an end, also a build cut short.
    if (filled > published) {
        published = filled;
        ends_piece[published] = true;
    }
    if (published > written) {
        write_out(hold);
    }
}

void write_out_for_stop(int wait_ms, bool (*write_now)(const char* bytes, int count)) {
    std::unique_lock<std::mutex> hold(guard);
    claimed = true;
    auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    while (writing) {
        if (std::chrono::steady_clock::now() >= give_up) {
            return;
        }
        hold.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        hold.lock();
    }
    int from = written;
    for (int end = from + 1; end <= published; ++end) {
        if (!ends_piece[end]) {
            continue;
        }
        if (!write_now(block + from, end - from)) {
            break;
        }
        from = end;
        written = end;
    }
}

bool build_output_claimed(void) {
    std::lock_guard<std::mutex> hold(guard);
    return claimed;
}

void restart_build_output(void) {
    std::lock_guard<std::mutex> hold(guard);
    std::memset(ends_piece, 0, sizeof ends_piece);
    filled = 0;
    written = 0;
    published = 0;
    writing = false;
    claimed = false;
}
