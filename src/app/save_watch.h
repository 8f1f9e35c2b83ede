// Rebuild on save (qo --watch): notes when vs.fx or ps.fx in the viewer's
// folder has been saved, so that the frame rebuilds as on F5.
//
// Each platform has one backend file beside this header (Linux inotify,
// Windows ReadDirectoryChangesW); CMake picks the one to build. Nothing here
// blocks: the watch is read without waiting, once per frame.
#pragma once

#include <cstddef>
#include <cstdint>

// Starts watching `folder` (not the files: a save that renames a new file
// over the old one replaces the file itself). Returns 0; on failure it has
// written one stderr line naming the reason and returns 1, and the viewer
// runs on with F5 alone.
int start_save_watch(const char* folder);

// Takes every change noted since the last call, without waiting. Returns 1
// when vs.fx or ps.fx has been saved since then, and its save is complete:
// any number of saves of either file count once. 0 when no watch runs.
int poll_save_watch(void);

// Ends the watch; safe when none runs.
void stop_save_watch(void);

// Which watched file `name` is: 0 for vs.fx, 1 for ps.fx, -1 for any other.
// The name ends after `length` bytes or at its first NUL, whichever comes
// first (inotify pads names with NULs).
int watched_file_index(const char* name, std::size_t length);

// The same for a UTF-16 name of `units` code units (Windows), whose ASCII
// letters are compared without case, as Windows file names are.
int watched_file_index_utf16(const std::uint16_t* name, std::size_t units);
