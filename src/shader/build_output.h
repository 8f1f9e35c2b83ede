// The build lines on standard output ("%d\n" and "prog:%s\n" per build), kept
// in a block of qo's own instead of the C library's buffer, so that a stop
// request can still write them out: a signal handler (POSIX) or the console
// handler's thread (Windows) takes the whole lines not yet written and hands
// them to the system's write call, which needs no library state.
//
// Seen from outside the buffering is the C library's: line by line on a
// terminal, in blocks into a pipe or a file (written when the next line does
// not fit, and at every normal end). A block write only ever holds whole
// lines.
//
// The rule a stop relies on: a line is published only once all its bytes are
// in the block, so a stop that comes while a line is being added writes that
// line whole or not at all. Main thread only, except claim_build_output.
#pragma once

// The block; a line longer than this is cut to it.
constexpr int build_output_capacity = 4096;

// Line by line (standard output is a terminal) or in blocks (the default).
void set_build_output_by_line(bool by_line);

// Adds one line: `length` bytes that end with its '\n'. Writes the block out
// first when the line does not fit in it, and the line itself at once when
// going line by line.
void add_build_output(const char* line, int length);

// Formats and adds "%d\n" / "prog:%s\n", the two lines of one build. In a
// block the number line is published with the log line, so that a stop
// request in the middle of a build (another thread's, or a signal during a
// long compile) writes whole builds; on a terminal it goes out at once.
void add_build_number(int number);
void add_build_log(const char* log);

// Writes out every line still pending (at every normal end).
void flush_build_output(void);

// For a stop request: from here on the main thread starts no write of its
// own. When the main thread is not in a write, gives the whole lines not yet
// written (`*count` bytes from `*bytes`, possibly none) and returns true: the
// caller writes them and ends the process. When it is, returns false: the
// main thread calls end_stopped_build_output once its write has returned
// (interrupted or not), and a later call gives the rest. Async-signal-safe,
// and safe from another thread.
bool claim_build_output(const char** bytes, int* count);

// Whether a stop request has claimed the output.
bool build_output_claimed(void);

// Drops every pending line and any claim: the block as at start (tests).
void restart_build_output(void);

// ---- defined by the platform (process_posix.cpp, process_win32.cpp) and by
// the unit tests ----

// Writes up to `count` bytes of whole lines to standard output. Returns how
// many it wrote, 0 when a signal cut the write short before any byte went,
// or -1 when standard output cannot take them (closed, full disk): the block
// drops them, as the C library drops what it cannot write.
int write_build_output(const char* bytes, int count);

// Called on the main thread after its write returned, when a stop request
// claimed the output meanwhile: ends the process the way the request does.
void end_stopped_build_output(void);
