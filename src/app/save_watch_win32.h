// The Windows backend's reading of directory changes, apart from the system
// calls so that the unit tests can hand it changes of their own.
#pragma once

#include <cstddef>

// Reads the FILE_NOTIFY_INFORMATION records in `buffer` (what one completed
// ReadDirectoryChangesW gave, `length` bytes). Bit i of the result is set when
// watched file i (0 vs.fx, 1 ps.fx) was written, created or renamed into the
// folder: its save may still be under way.
unsigned scan_directory_changes(const void* buffer, std::size_t length);

// What a look at a watched file whose change was noted says.
enum written_file_state {
    written_file_complete, // no writer keeps others from reading it
    written_file_busy,     // a writer holds it and lets nobody read it
    written_file_gone,     // not there (deleted, or renamed away): nothing to build
};

// Its size and last-write time: a file whose stamp stays the same between
// two looks is no longer being written.
struct written_file_stamp {
    unsigned long long size = 0;
    unsigned long long written = 0;
};

// Looks without keeping anyone out: the open shares read, write and delete
// access, and is closed at once. `stamp` gets the file's size and time.
written_file_state look_at_written_file(const char* path, written_file_stamp* stamp);
