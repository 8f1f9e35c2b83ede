// One line of a shader's compile log, rewritten into the compilers' own
// `file:line:column: severity: message` form that editors jump to.
#pragma once

// How much longer than `file` + ": " + the line a rewritten line can be:
// an output buffer of strlen(file) + length + compile_log_line_margin bytes
// always holds the result and its terminating zero.
constexpr int compile_log_line_margin = 16;

// Rewrites the driver's log line `line` (`length` bytes, no '\n') of the
// shader in `file` into `out` (`capacity` bytes, zero-terminated) after
// dropping a trailing CR and trailing blanks. At the start of the line, with
// F the file name and a source index of 0:
//   Mesa     `0:L(C): error: m`, `warning: m`    ->  `F:L:C: error: m`, `F:L:C: warning: m`
//            `0:L(C): preprocessor error: m`     ->  `F:L:C: error: preprocessor error: m`
//   NVIDIA   `0(L) : error Cnnnn: m` / `warning` ->  `F:L: error: Cnnnn: m`
//            `0(L) : fatal error Cnnnn: m`       ->  `F:L: error: Cnnnn: m`
//            `(0) : error Cnnnn: m`              ->  `F:1: error: Cnnnn: m`
//   others   `ERROR: 0:L:C: m`, `ERROR: 0:L: m`  ->  `F:L:C: error: m`, `F:L: error: m`
//            (`WARNING:` gives `warning:`)
// Line 0 (the driver gave no line: an error of the whole file) becomes line
// 1 without a column (`F:1: error: m`), so that editors, which take no
// error without a line, place it in the file; column 0 drops the column. Any
// other line becomes `F: ` + the line. The message is the driver's, as it is.
// Returns the length written; 0 when the line is to be skipped (empty, or
// Intel's "No errors."); -1 when `capacity` is too small, which the margin
// above rules out.
int rewrite_compile_log_line(const char* file, const char* line, int length, char* out,
                             int capacity);
