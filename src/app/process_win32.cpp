#include "app/process.h"

#include "shader/build_output.h"

#include <cstdlib>
#include <windows.h>

namespace {

// How long the console handler waits for the build lines to be written
// before it ends the process without the rest (a pipe nobody reads): the
// wait for a write under way, and some time for the writes of the stop.
constexpr DWORD grace_ms = stop_write_wait_ms + 500;

// 1 once a stop request came.
volatile LONG stop_taken = 0;

// The file a stop removes (remove_at_stop), or nullptr.
const char* volatile file_removed_at_stop = nullptr;

// How long a stop waits for the file to be let go: the picture's encoder
// may hold it open without sharing its deletion for a few milliseconds.
constexpr DWORD removal_wait_ms = 500;

// Removes the file named for removal at a stop, if any; renamed into place
// already, it is not there any more.
void remove_file_for_stop(void) {
    const char* file = file_removed_at_stop;
    for (DWORD waited = 0; file != nullptr && waited < removal_wait_ms; waited += 10) {
        if (DeleteFileA(file) || GetLastError() == ERROR_FILE_NOT_FOUND) {
            return;
        }
        Sleep(10);
        file = file_removed_at_stop;
    }
}

// One piece of whole lines, written whole (a blocking write: the console
// handler bounds how long it may take).
bool write_piece(const char* bytes, int count) {
    return write_build_output(bytes, count) == count;
}

// Writes the whole builds not yet written, once a write of the main thread
// under way has ended (it starts none after the claim).
DWORD WINAPI write_pending_lines(LPVOID) {
    write_out_for_stop(stop_write_wait_ms, write_piece);
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
    remove_file_for_stop();
    // Not ExitProcess: its clean-up (atexit, DLL detach) would wait for the
    // main thread, which is in the middle of its frame. The lines are out.
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return TRUE;
}

void flush_at_exit(void) {
    flush_build_output();
}

} // namespace

void prepare_process(void) {
    // Writing to a closed standard output fails quietly without a signal.
    // The build lines end in CR LF like every console program's (text mode),
    // and go out line by line on a console, as the C library's do.
    set_build_output_by_line(GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_CHAR);
    std::atexit(flush_at_exit);
    SetConsoleCtrlHandler(on_console_stop, TRUE);
}

void remove_at_stop(const char* path) {
    file_removed_at_stop = path;
}

int write_build_output(const char* bytes, int count) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) {
        return -1;
    }
    // Text mode: each LF goes out as CR LF.
    char text[2 * build_output_capacity];
    int length = 0;
    for (int i = 0; i < count && length + 2 <= static_cast<int>(sizeof text); ++i) {
        if (bytes[i] == '\n') {
            text[length++] = '\r';
        }
        text[length++] = bytes[i];
    }
    int sent = 0;
    while (sent < length) {
        DWORD written = 0;
        if (!WriteFile(out, text + sent, static_cast<DWORD>(length - sent), &written, nullptr) ||
            written == 0) {
            return -1;
        }
        sent += static_cast<int>(written);
    }
    return count;
}

void end_stopped_build_output(void) {
    // The console handler's thread writes the rest and ends the process.
    Sleep(INFINITE);
}
