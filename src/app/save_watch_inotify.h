// The Linux backend's reading of inotify events, apart from the system calls
// so that the unit tests can hand it events of their own.
#pragma once

#include <cstddef>

// Which names the events are about: each watched file (0 vs.fx, 1 ps.fx) in
// the viewer's folder, and, when it is a symbolic link, the file it resolves
// to in the folder that holds it (which may be another one).
struct inotify_names {
    int folder = -1;                 // the viewer's folder's watch descriptor
    int target_folder[2] = {-1, -1}; // the watch of each link's target's folder
    const char* target_name[2] = {}; // and the target's name in it; null: none
};

struct inotify_scan {
    // A watched file was closed after writing or renamed into its folder, or
    // the kernel's event queue overflowed (changes were lost): rebuild.
    bool saved = false;
    // The queue overflowed: which files changed is not known.
    bool lost = false;
    // Bit i set: watched file i was created, and nothing after that in these
    // events says it is complete. A file created by open() gets its
    // IN_CLOSE_WRITE when the writer is done; a name linked to a complete file
    // (link, linkat of an O_TMPFILE, a symbolic link) gets no more events.
    unsigned created = 0;
    // Bit i set: closed after writing or renamed in (its creation, if any,
    // came before: it is complete).
    unsigned written = 0;
    // Bit i set: any event about watched file i.
    unsigned touched = 0;
    // Bit i set: the viewer's folder's name of watched file i was created or
    // renamed in: where a link points may have changed.
    unsigned replaced = 0;
    // Bit i set: where watched file i's link leads must be found again: the
    // folder watched for its target was removed or moved away, or a folder
    // of the name waited for (the next one missing on the way to a target
    // that is not there) appeared in it.
    unsigned relink = 0;
    // Opens less closes of watched file i, since its creation when it was
    // created in these events: more than 0, a process still has it open.
    int opens[2] = {0, 0};
};

// Reads the inotify events in `buffer` (what one read() of the descriptor
// gave, `length` bytes); a record cut short at the end is left out.
inotify_scan scan_inotify_events(const char* buffer, std::size_t length,
                                 const inotify_names& names);

// Whether watched file `name`, just created, is complete at once: a symbolic
// link or a second name of an existing file (not a folder, nor gone again).
// Only where a lease cannot tell (see look_at_saved_file).
bool created_file_is_complete(const char* name);

// What a look at a watched file with a change not yet built finds.
enum saved_file_look {
    saved_file_complete, // nobody has it open for writing: build it
    saved_file_busy,     // a process still has it open for writing: look again
    saved_file_gone,     // not there (deleted, a link leading nowhere): nothing to build
    saved_file_unknown,  // no lease here (not its owner, a filesystem without
                         // leases): the events alone must tell
};

// Looks at `path` (through a symbolic link) with a read lease, which the
// kernel grants only while no process has the file open for writing; the
// lease is let go at once. Never waits.
saved_file_look look_at_saved_file(const char* path);
