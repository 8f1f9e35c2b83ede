// Process-level set-up that differs between platforms; one file each.
#pragma once

// Makes the process robust against its surroundings before anything else
// runs, before any other thread exists and before anything is opened:
// - on POSIX a closed standard output must not kill the viewer, and a
//   standard descriptor it was started without is opened on /dev/null
//   before anything else takes its number;
// - the build lines' buffering is set as the C library would (line by line
//   on a terminal, in blocks otherwise), written out at every normal end;
// - from here on a stop request (POSIX: SIGINT, SIGTERM, SIGHUP; Windows:
//   Ctrl+C, Ctrl+Break, the console closed) writes out every whole build
//   still pending and ends the process promptly, however long the frame
//   under way takes, as the request would have (POSIX: killed by that
//   signal; Windows: exit code STATUS_CONTROL_C_EXIT). A standard output that
//   does not take the lines (a reader that stopped reading) holds it up
//   about half a second at most: what it takes without waiting is written,
//   the rest dropped. A request the process was started to ignore stays
//   ignored; on POSIX a second one ends it at once.
void prepare_process(void);
