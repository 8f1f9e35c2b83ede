#include "shader/build_output.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

static_assert(std::atomic<int>::is_always_lock_free,
              "a stop handler reads the marks: they must be lock-free to be async-signal-safe");

char block[build_output_capacity];
// Bytes [0, published) of the block are whole lines; [0, written) of them
// are written out already. Only the main thread moves them.
std::atomic<int> published{0};
std::atomic<int> written{0};
// 1 while the main thread writes or moves the marks back to 0.
std::atomic<int> writing{0};
// 1 once a stop request took the output.
std::atomic<int> claimed{0};
// Bytes [published, filled) hold the number line of a build whose log line
// is still to come (main thread only).
int filled = 0;
bool line_by_line = false;

// Writes the published lines out, then starts the block again. A stop
// request that comes meanwhile lets the write under way return, then ends the
// process through end_stopped_build_output.
void write_out(void) {
    // The order matters (a stop request on another thread does the mirror
    // image): either this sees the claim, or the claimer sees `writing`.
    writing.store(1);
    if (claimed.load() == 0) {
        int end = published.load();
        int done = written.load();
        while (done < end) {
            int count = write_build_output(block + done, end - done);
            if (count < 0) {
                done = end; // standard output takes nothing: dropped
            } else {
                done += count;
            }
            written.store(done);
            if (claimed.load() != 0) {
                break;
            }
        }
        if (done == end) {
            // The start of a build not yet whole moves to the front.
            std::memmove(block, block + end, static_cast<size_t>(filled - end));
            filled -= end;
            written.store(0);
            published.store(0);
        }
    }
    writing.store(0);
    if (claimed.load() != 0) {
        end_stopped_build_output();
    }
}

} // namespace

void set_build_output_by_line(bool by_line) {
    line_by_line = by_line;
}

namespace {

// Puts the line behind the others, not yet published.
void append(const char* line, int length) {
    if (length <= 0) {
        return;
    }
    if (length > build_output_capacity) {
        length = build_output_capacity;
    }
    if (filled + length > build_output_capacity) {
        write_out();
        if (filled + length > build_output_capacity) {
            return; // a stop request holds the block
        }
    }
    std::memcpy(block + filled, line, static_cast<size_t>(length));
    filled += length;
}

// Published only now, whole: a stop request before this sees the block
// without the lines appended since the last publication.
void publish(void) {
    published.store(filled);
    if (line_by_line) {
        write_out();
    }
}

} // namespace

void add_build_output(const char* line, int length) {
    append(line, length);
    publish();
}

void add_build_number(int number) {
    char line[16];
    int length = std::snprintf(line, sizeof line, "%d\n", number);
    append(line, length);
    // On a terminal it shows at once; in a block it waits for its log line,
    // so that a stop writes whole builds.
    if (line_by_line) {
        publish();
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
    append(line, length);
    publish();
}

void flush_build_output(void) {
    published.store(filled); // at an end, also a build cut short
    if (published.load() > written.load()) {
        write_out();
    }
}

bool claim_build_output(const char** bytes, int* count) {
    claimed.store(1);
    if (writing.load() != 0) {
        return false;
    }
    int done = written.load();
    *bytes = block + done;
    *count = published.load() - done;
    return true;
}

bool build_output_claimed(void) {
    return claimed.load() != 0;
}

void restart_build_output(void) {
    filled = 0;
    written.store(0);
    published.store(0);
    writing.store(0);
    claimed.store(0);
}
