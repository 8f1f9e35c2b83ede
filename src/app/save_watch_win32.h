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
    written_file_complete, // nobody holds it open for writing: build it
    written_file_busy,     // a writer still has it open: look again next frame
    written_file_gone,     // not there (deleted, or renamed away): nothing to build
};
written_file_state look_at_written_file(const char* path);
