#include "picture/win32_error.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

int win32_error_text(unsigned long code, char* reason, int capacity) {
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, reason, static_cast<DWORD>(capacity), nullptr);
    while (length > 0 && (reason[length - 1] == '\r' || reason[length - 1] == '\n' ||
                          reason[length - 1] == ' ' || reason[length - 1] == '.')) {
        reason[--length] = '\0';
    }
    if (length == 0 && capacity > 0) {
        reason[0] = '\0';
    }
    return static_cast<int>(length);
}
