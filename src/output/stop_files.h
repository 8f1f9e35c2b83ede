// The file a stop must not leave behind: a file written under a temporary
// name (the picture's, before it replaces its target). It is named here
// before it is made and stays named until it is gone or renamed into place;
// a stop request removes it before the process ends, whatever the moment.
// The writer names and clears it; the platform's stop mechanism (POSIX: the
// stop thread; Windows: the console handler) calls remove_stop_file. One
// file at a time. The name is kept in a buffer of this interface's own: the
// stop never reads the writer's memory.
#pragma once

// Room for the name, its terminating NUL included.
constexpr int stop_file_capacity = 4096 + 32;

// Names the file about to be made at `path` (it must not exist yet: made
// with O_EXCL or CREATE_NEW), and holds a stop back until stop_file_made:
// a stop that came meanwhile waits for the file to be made and then removes
// it, so that it cannot remove the name first and the file appear after.
// Returns false when a stop has begun (the file must not be made) or the
// name does not fit; nothing is named then.
bool name_stop_file(const char* path);

// The file named is made, or could not be: a stop may go on, and removes it
// when it is there.
void stop_file_made(void);

// No file for a stop to remove any more (renamed into place, or removed).
void clear_stop_file(void);

// What a stop must finish before the file named is removed (a video being
// recorded: its encoder's input closed, the encoder waited for, the file put
// in place and its name cleared), or nullptr for nothing. It runs on the stop
// mechanism's thread and bounds its own waits.
void register_stop_action(void (*action)(void));

// At a stop, on the stop mechanism's thread: runs the action registered, if
// any; then waits (half a second at most) for a file being made, removes the
// file named, if any, and lets no other be named. One renamed into place
// already is not there any more: nothing to do.
void remove_stop_file(void);

// The platform's removal of the named file, called by remove_stop_file:
// stop_files_posix.cpp (unlink), stop_files_win32.cpp (DeleteFile).
void delete_stop_file(const char* path);
