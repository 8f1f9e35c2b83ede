// Opening a shader file on Windows. Device names (CON, NUL, COM1, ...) open
// a device from any folder and with any extension; reading CON would wait
// for console input, so they are refused by name before anything is opened.
// Whatever else is not a regular file (a directory, a pipe, a device reached
// another way) is refused after opening, by _fstat, before any read. The file
// is opened sharing read, write and delete access, so that an editor that
// saves while it is read (writes it, or renames a new file over it) is never
// refused.
#include "shader/file_reader.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <windows.h>

namespace {

int lower(char c) {
    return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : static_cast<unsigned char>(c);
}

// 1 when the last component of `path` names a DOS device: one of the
// reserved names, in any case, optionally followed by trailing spaces or an
// extension ("nul", "Con.fx", "dir\\COM1 .txt").
int names_a_device(const char* path) {
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '\\' || *p == '/' || *p == ':') {
            name = p + 1;
        }
    }
    size_t length = 0;
    while (name[length] != '\0' && name[length] != '.') {
        ++length;
    }
    while (length > 0 && name[length - 1] == ' ') {
        --length;
    }
    static const char* const devices[] = {
        "con",  "prn",  "aux",  "nul",  "conin$", "conout$", "clock$", "com1", "com2",
        "com3", "com4", "com5", "com6", "com7",   "com8",    "com9",   "lpt1", "lpt2",
        "lpt3", "lpt4", "lpt5", "lpt6", "lpt7",   "lpt8",    "lpt9",
    };
    for (const char* device : devices) {
        size_t i = 0;
        while (i < length && device[i] != '\0' && lower(name[i]) == device[i]) {
            ++i;
        }
        if (i == length && device[i] == '\0') {
            return 1;
        }
    }
    return 0;
}

// Why `path` could not be opened: a directory gives "Is a directory" as on
// POSIX systems (Windows itself only says "Permission denied").
const char* open_failure_reason(const char* path, int error) {
    struct _stat info;
    if (error == EACCES && _stat(path, &info) == 0 && (info.st_mode & _S_IFMT) == _S_IFDIR) {
        return std::strerror(EISDIR);
    }
    return std::strerror(error);
}

// errno for a failed CreateFileA, as the C library's open gives it.
int open_error(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EACCES;
    case ERROR_TOO_MANY_OPEN_FILES:
        return EMFILE;
    default:
        return EINVAL;
    }
}

// fopen(path, "rb"), but sharing every access with other programs.
std::FILE* open_shared(const char* path) {
    HANDLE handle =
        CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        errno = open_error(GetLastError());
        return nullptr;
    }
    int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
    if (descriptor < 0) {
        CloseHandle(handle);
        errno = EMFILE;
        return nullptr;
    }
    std::FILE* file = _fdopen(descriptor, "rb");
    if (file == nullptr) {
        _close(descriptor);
        errno = EMFILE;
    }
    return file;
}

} // namespace

std::FILE* open_regular_file(const char* path, const char** reason) {
    if (names_a_device(path)) {
        *reason = "not a regular file";
        return nullptr;
    }
    std::FILE* file = open_shared(path);
    if (file == nullptr) {
        *reason = open_failure_reason(path, errno);
        return nullptr;
    }
    struct _stat info;
    if (_fstat(_fileno(file), &info) != 0) {
        *reason = std::strerror(errno);
        std::fclose(file);
        return nullptr;
    }
    if ((info.st_mode & _S_IFMT) != _S_IFREG) {
        *reason =
            (info.st_mode & _S_IFMT) == _S_IFDIR ? std::strerror(EISDIR) : "not a regular file";
        std::fclose(file);
        return nullptr;
    }
    return file;
}
