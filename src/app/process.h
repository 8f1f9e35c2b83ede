// Process-level set-up that differs between platforms; one file each.
#pragma once

// Makes the process robust against its surroundings before anything else
// runs (on POSIX: a closed standard output must not kill the viewer).
void prepare_process(void);

// From here on a stop request (POSIX: SIGINT, SIGTERM, SIGHUP; Windows:
// Ctrl+C, Ctrl+Break, the console closed) is only noted, so that the build
// lines written so far are not lost with the process: honour_stop_request
// acts on it. A request the process was started to ignore stays ignored.
// When the main thread does not get to honour_stop_request within a second
// (a stalled X server or stdout reader), the process ends as it would have
// without this, its stdout buffer unwritten; on POSIX a second signal of the
// same kind ends it at once.
void watch_stop_requests(void);

// When a stop request was noted: writes out stdout's buffer, then ends the
// process as the request would have (POSIX: killed by that signal; Windows:
// exit code STATUS_CONTROL_C_EXIT). Returns at once otherwise.
void honour_stop_request(void);
