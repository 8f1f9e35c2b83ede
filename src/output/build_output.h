// The build lines on standard output ("%d\n" and "prog:%s\n" per build), kept
// in a block of qo's own instead of the C library's buffer, so that a stop
// request can still write them out: the stop thread (POSIX: the one that
// takes the stop signals; Windows: the console handler's) calls
// write_build_output_at_stop, which hands the whole builds not yet written
// to the system's write call. The platform's writes, and the files a stop
// removes (stop_files.h), live in this folder beside the block; the stop
// mechanism only calls into them.
//
// Seen from outside the buffering is the C library's: line by line on a
// terminal, in blocks into a pipe or a file (written when the next line does
// not fit, and at every normal end). A block write only ever holds whole
// builds, and is at most PIPE_BUF bytes: a pipe takes it whole or not at all.
//
// One lock guards the block; the main thread's write is made outside it, so
// a stop never waits on the lock for a write (only, and for a bounded time,
// on the write itself). A line is published only once all its bytes are in
// the block, so a stop writes each build whole or not at all. Main thread
// only, except write_out_for_stop and write_build_output_at_stop.
#pragma once

// The block; a line longer than this is cut to it.
constexpr int build_output_capacity = 4096;

// How long a stop waits for a write of the main thread under way to end
// before it ends the process without the lines still pending.
constexpr int stop_write_wait_ms = 500;

// Line by line (standard output is a terminal) or in blocks (the default).
void set_build_output_by_line(bool by_line);

// Adds one line: `length` bytes that end with its '\n'. Writes the block out
// first when the line does not fit in it, and the line itself at once when
// going line by line.
void add_build_output(const char* line, int length);

// Formats and adds "%d\n" / "prog:%s\n", the two lines of one build. In a
// block the number line is published with the log line, so that a stop
// request in the middle of a build writes whole builds; on a terminal it
// goes out at once.
void add_build_number(int number);
void add_build_log(const char* log);

// Writes out every line still pending (at every normal end).
void flush_build_output(void);

// For a stop request, on a thread other than the main thread: from here on
// the main thread starts no write (it calls end_stopped_build_output
// instead). Waits up to `wait_ms` for a write of the main thread under way to
// end; then hands each published piece not yet written (a build in a block,
// a line on a terminal), in order, to `write_now`, until it returns false
// (standard output takes no more without waiting). When the write under way
// does not end in time, nothing is handed over: the stalled write still owns
// its lines. The caller then ends the process.
void write_out_for_stop(int wait_ms, bool (*write_now)(const char* bytes, int count));

// Whether a stop request has claimed the output.
bool build_output_claimed(void);

// Drops every pending line and any claim: the block as at start (tests).
void restart_build_output(void);

// ---- the platform's side (build_output_posix.cpp, build_output_win32.cpp) ----

// Sets the buffering as the C library would buffer standard output (line by
// line on a terminal, in blocks otherwise) and has every normal end write
// the lines out. Called once at start, before any other thread exists.
void start_build_output(void);

// For the platform's stop mechanism, on its own thread: write_out_for_stop
// with the platform's writes, each one taken only when standard output takes
// it (POSIX: without waiting; Windows: a blocking write, the console handler
// bounds how long it may take). The caller then ends the process.
void write_build_output_at_stop(void);

// ---- the block's sink: defined by the platform files above and, in their
// place, by the unit tests ----

// Writes up to `count` bytes of whole lines to standard output, waiting for
// room as a blocking write does. Returns how many it wrote (0: none this
// time, call again), or -1 when standard output cannot take them (closed,
// full disk): the block drops them, as the C library drops what it cannot
// write.
int write_build_output(const char* bytes, int count);

// Called on the main thread instead of a write once a stop request claimed
// the output: waits for the stop mechanism to end the process.
void end_stopped_build_output(void);
