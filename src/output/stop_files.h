// The file a stop must not leave behind: a file being written under a
// temporary name (the picture's, before it replaces its target) is named
// here for as long as it exists, and a stop request removes it before the
// process ends. The writer registers and clears it; the platform's stop
// mechanism (POSIX: the stop thread; Windows: the console handler) calls
// remove_stop_file. One file at a time. One file per platform
// (stop_files_posix.cpp, stop_files_win32.cpp).
#pragma once

// From here on a stop removes `path`. The name must stay valid until
// clear_stop_file.
void register_stop_file(const char* path);

// No file for a stop to remove any more (renamed into place, or removed).
void clear_stop_file(void);

// At a stop, on the stop mechanism's thread: removes the file registered, if
// any. One renamed into place already is not there any more: nothing to do.
void remove_stop_file(void);
