#include "app/process.h"

#include "output/build_output.h"
#include "output/stop_files.h"

#include <windows.h>

namespace {

// How long the console handler waits for the build lines to be written
// before it ends the process without the rest (a pipe nobody reads): the
// wait for a write under way, and some time for the writes of the stop.
constexpr DWORD grace_ms = stop_write_wait_ms + 500;

// 1 once a stop request came.
volatile LONG stop_taken = 0;

// Writes the whole builds not yet written, once a write of the main thread
// under way has ended (it starts none after the claim).
DWORD WINAPI write_pending_lines(LPVOID) {
    write_build_output_at_stop();
    return 0;
}

// Runs on a thread of its own that the system starts for the event, beside
// the main thread, which may be in the middle of a frame of any length: the
// lines are written from here, by a thread of the handler's own so that a
// pipe nobody reads holds it up at most grace_ms, and the process ends here.
BOOL WINAPI on_console_stop(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
        break;
    default:
        // Log-off and shut-down are not sent to a process with windows
        // (it gets WM_QUERYENDSESSION instead).
        return FALSE;
    }
    if (InterlockedExchange(&stop_taken, 1) != 0) {
        Sleep(INFINITE); // a second one: the first is ending the process
    }
    HANDLE writer = CreateThread(nullptr, 0, write_pending_lines, nullptr, 0, nullptr);
    if (writer != nullptr) {
        WaitForSingleObject(writer, grace_ms);
    }
    remove_stop_file();
    // Not ExitProcess: its clean-up (atexit, DLL detach) would wait for the
    // main thread, which is in the middle of its frame. The lines are out.
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return TRUE;
}

} // namespace

void prepare_process(void) {
    start_build_output();
    SetConsoleCtrlHandler(on_console_stop, TRUE);
}
