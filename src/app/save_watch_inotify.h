// The Linux backend's reading of inotify events, apart from the system calls
// so that the unit tests can hand it events of their own.
#pragma once

#include <cstddef>

struct inotify_scan {
    // A watched file was closed after writing or renamed into the folder, or
    // the kernel's event queue overflowed (changes were lost): rebuild.
    bool saved = false;
    // Bit i set: watched file i (0 vs.fx, 1 ps.fx) was created and nothing
    // in these events says it is complete. A file created by open() gets
    // its IN_CLOSE_WRITE when the writer is done, so this alone is a save
    // only for what is complete at once: a symbolic or a hard link.
    unsigned created = 0;
};

// Reads the inotify events in `buffer` (what one read() of the descriptor
// gave, `length` bytes); a record cut short at the end is left out.
inotify_scan scan_inotify_events(const char* buffer, std::size_t length);

// Whether watched file `name`, just created, is complete: a symbolic link or
// a second name of an existing file, not a file some process is still
// writing (nor a folder, nor gone again).
bool created_file_is_complete(const char* name);
