// Process-level set-up that differs between platforms; one file each.
#pragma once

// Makes the process robust against its surroundings before anything else
// runs (on POSIX: a closed standard output must not kill the viewer), and
// sets the build lines' buffering as the C library would (line by line on a
// terminal, in blocks otherwise), written out at every normal end.
void prepare_process(void);

// From here on a stop request (POSIX: SIGINT, SIGTERM, SIGHUP; Windows:
// Ctrl+C, Ctrl+Break, the console closed) writes out every whole build line
// still pending and ends the process at once, however long the frame under
// way takes, as the request would have (POSIX: killed by that signal;
// Windows: exit code STATUS_CONTROL_C_EXIT). A standard output that does not
// take the lines (a reader that stopped reading) does not hold it up: what it
// takes without waiting is written, the rest dropped. A request the process
// was started to ignore stays ignored; on POSIX a second one ends it at once.
void watch_stop_requests(void);
