// The system's text for a Win32 error or an HRESULT, for the pictures'
// error lines.
#pragma once

// Writes the system's text for `code` (a DWORD) into `reason` (`capacity` bytes),
// without its trailing line end, spaces and full stop. Returns its length, 0
// when the system has none.
int win32_error_text(unsigned long code, char* reason, int capacity);
