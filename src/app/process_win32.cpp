#include "app/process.h"

#include <cstdio>
#include <windows.h>

namespace {

// How long the control handler holds the system's own handling back while
// the main loop writes out stdout and ends the process.
constexpr DWORD grace_ms = 1000;

// 1 once a stop request came.
volatile LONG stop_requested = 0;

// Runs on a thread of its own that the system starts for the event. Once it
// returns, the next handler (at last the system's, which calls ExitProcess)
// ends the process: it waits for the main loop to do it first.
BOOL WINAPI note_stop_request(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
        InterlockedExchange(&stop_requested, 1);
        Sleep(grace_ms);
        return FALSE;
    default:
        // Log-off and shut-down are not sent to a process with windows
        // (it gets WM_QUERYENDSESSION instead).
        return FALSE;
    }
}

} // namespace

void prepare_process(void) {
    // Nothing to do on Windows: writing to a closed standard output fails
    // quietly without a signal, and standard output stays in text mode so
    // that the build lines end in CR LF like every console program's.
}

void watch_stop_requests(void) {
    SetConsoleCtrlHandler(note_stop_request, TRUE);
}

void honour_stop_request(void) {
    if (InterlockedCompareExchange(&stop_requested, 0, 0) == 0) {
        return;
    }
    std::fflush(stdout);
    // The code the system's own handler ends the process with.
    ExitProcess(STATUS_CONTROL_C_EXIT);
}
