// The video encoder on Windows: ffmpeg.exe found on PATH, started with
// CreateProcess in a process group of its own (a console's Ctrl+C reaches
// qo alone), its standard input the read end of a pipe, its standard output
// and error a temporary file that is deleted when its last handle closes,
// whose end is shown when it fails.
#include "picture/video_pipe.h"

#include "output/stop_files.h"
#include "picture/ffmpeg_args.h"
#include "picture/win32_error.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

// The running encoder: its process, the write end of its input, its output.
struct {
    HANDLE process;
    HANDLE input;
    HANDLE log;
} encoder = {nullptr, nullptr, INVALID_HANDLE_VALUE};

// ffmpeg.exe as found on PATH by find_ffmpeg.
char ffmpeg_path[MAX_PATH + 16];

// How many bytes of the end of the encoder's output are shown.
constexpr DWORD log_tail_bytes = 2048;

// "qo: <what>: <the system's text> (error N)".
void report(const char* what, DWORD code) {
    char reason[256];
    int length = win32_error_text(code, reason, sizeof reason);
    std::fprintf(stderr, "qo: %s: %s (error %lu)\n", what, length > 0 ? reason : "unknown error",
                 static_cast<unsigned long>(code));
}

void close_handle(HANDLE* handle) {
    if (*handle != nullptr && *handle != INVALID_HANDLE_VALUE) {
        CloseHandle(*handle);
    }
    *handle = nullptr;
}

void show_log_tail(void) {
    if (encoder.log == nullptr || encoder.log == INVALID_HANDLE_VALUE) {
        return;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(encoder.log, &size) || size.QuadPart <= 0) {
        return;
    }
    LONGLONG start = size.QuadPart > log_tail_bytes ? size.QuadPart - log_tail_bytes : 0;
    LARGE_INTEGER at;
    at.QuadPart = start;
    char tail[log_tail_bytes + 1];
    DWORD count = 0;
    if (!SetFilePointerEx(encoder.log, at, nullptr, FILE_BEGIN) ||
        !ReadFile(encoder.log, tail, log_tail_bytes, &count, nullptr)) {
        return;
    }
    tail[count] = '\0';
    const char* shown = tail;
    if (start > 0) {
        const char* line_end = std::strchr(tail, '\n');
        shown = line_end != nullptr ? line_end + 1 : tail;
    }
    // Its lines end in CR LF: written as they are, stderr in text mode
    // would double the CR.
    for (const char* c = shown; *c != '\0'; ++c) {
        if (*c != '\r') {
            std::fputc(*c, stderr);
        }
    }
    if (count > 0 && tail[count - 1] != '\n') {
        std::fputc('\n', stderr);
    }
}

// A file of its own for the encoder's output, inheritable, gone when the
// last handle to it closes.
HANDLE create_log_file(void) {
    char folder[MAX_PATH + 1];
    char name[MAX_PATH + 16];
    DWORD length = GetTempPathA(sizeof folder, folder);
    if (length == 0 || length > MAX_PATH || GetTempFileNameA(folder, "qo", 0, name) == 0) {
        return INVALID_HANDLE_VALUE;
    }
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    return CreateFileA(
        name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        &inherited, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
}

} // namespace

int find_ffmpeg(void) {
    char path[32768];
    DWORD length = GetEnvironmentVariableA("PATH", path, sizeof path);
    if (length == 0 || length >= sizeof path) {
        return 1;
    }
    for (char* folder = path; folder != nullptr;) {
        char* end = std::strchr(folder, ';');
        if (end != nullptr) {
            *end = '\0';
        }
        // A folder may be written in quotes.
        size_t folder_length = std::strlen(folder);
        if (folder_length >= 2 && folder[0] == '"' && folder[folder_length - 1] == '"') {
            folder[folder_length - 1] = '\0';
            ++folder;
        }
        if (folder[0] != '\0') {
            int written = std::snprintf(ffmpeg_path, sizeof ffmpeg_path, "%s\\ffmpeg.exe", folder);
            DWORD attributes = GetFileAttributesA(ffmpeg_path);
            if (written > 0 && written < static_cast<int>(sizeof ffmpeg_path) &&
                attributes != INVALID_FILE_ATTRIBUTES &&
                (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                return 0;
            }
        }
        folder = end != nullptr ? end + 1 : nullptr;
    }
    ffmpeg_path[0] = '\0';
    return 1;
}

int create_video_file(const char* path, const char* file, char* temporary, int capacity) {
    const char* separator = std::strrchr(path, '\\');
    const char* slash = std::strrchr(path, '/');
    if (slash != nullptr && (separator == nullptr || slash > separator)) {
        separator = slash;
    }
    const char* name = separator != nullptr ? separator + 1 : path;
    const char* dot = std::strrchr(name, '.');
    int folder_length = static_cast<int>(name - path);
    int stem_length = static_cast<int>(dot - name);
    static LONG counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        int length = std::snprintf(temporary, static_cast<size_t>(capacity),
                                   "%.*s.%.*s.qo-%lu-%ld%s", folder_length, path, stem_length, name,
                                   static_cast<unsigned long>(GetCurrentProcessId()),
                                   static_cast<long>(InterlockedIncrement(&counter)), dot);
        if (length < 0 || length >= capacity) {
            std::fprintf(stderr, "qo: cannot write %s: the name is too long\n", file);
            return 1;
        }
        if (!name_stop_file(temporary)) {
            SetLastError(ERROR_OPERATION_ABORTED); // a stop is ending the process
            break;
        }
        HANDLE created = CreateFileA(temporary, GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                                     CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD error = GetLastError();
        stop_file_made();
        if (created != INVALID_HANDLE_VALUE) {
            CloseHandle(created);
            return 0;
        }
        clear_stop_file();
        SetLastError(error);
        if (error != ERROR_FILE_EXISTS) {
            break;
        }
    }
    char what[record_name_capacity + 32];
    std::snprintf(what, sizeof what, "cannot write %s", file);
    report(what, GetLastError());
    return 1;
}

int start_video_encoder(const char* const* argv) {
    char line[32768];
    if (ffmpeg_path[0] == '\0' && find_ffmpeg() != 0) {
        std::fprintf(stderr, "qo: cannot start %s: it is not on PATH\n", argv[0]);
        return 1;
    }
    if (join_windows_command_line(argv, line, sizeof line) != 0) {
        std::fprintf(stderr, "qo: cannot start %s: its command line is too long\n", argv[0]);
        return 1;
    }
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherited, 1 << 20)) {
        report("cannot start ffmpeg", GetLastError());
        return 1;
    }
    // qo's end stays with qo.
    SetHandleInformation(write_end, HANDLE_FLAG_INHERIT, 0);
    encoder.log = create_log_file();
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = read_end;
    startup.hStdOutput = encoder.log;
    startup.hStdError = encoder.log;
    PROCESS_INFORMATION started;
    std::memset(&started, 0, sizeof started);
    BOOL ok = CreateProcessA(ffmpeg_path, line, nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP,
                             nullptr, nullptr, &startup, &started);
    DWORD error = GetLastError();
    CloseHandle(read_end);
    if (!ok) {
        CloseHandle(write_end);
        close_handle(&encoder.log);
        char what[MAX_PATH + 32];
        std::snprintf(what, sizeof what, "cannot start %s", ffmpeg_path);
        report(what, error);
        return 1;
    }
    CloseHandle(started.hThread);
    encoder.process = started.hProcess;
    encoder.input = write_end;
    return 0;
}

int write_video_bytes(const unsigned char* bytes, size_t count) {
    while (count > 0) {
        if (encoder.input == nullptr) {
            return 1;
        }
        DWORD piece = count > (1u << 30) ? (1u << 30) : static_cast<DWORD>(count);
        DWORD written = 0;
        if (!WriteFile(encoder.input, bytes, piece, &written, nullptr) || written == 0) {
            return 1; // the encoder ended
        }
        bytes += written;
        count -= written;
    }
    return 0;
}

int finish_video_encoder(int wait_ms, const char* file) {
    close_handle(&encoder.input);
    if (encoder.process == nullptr) {
        return 1;
    }
    int status = 0;
    DWORD waited =
        WaitForSingleObject(encoder.process, wait_ms < 0 ? INFINITE : static_cast<DWORD>(wait_ms));
    DWORD code = 0;
    if (waited != WAIT_OBJECT_0) {
        TerminateProcess(encoder.process, 1);
        WaitForSingleObject(encoder.process, INFINITE);
        std::fprintf(stderr, "qo: cannot write %s: ffmpeg did not finish within %d s\n", file,
                     wait_ms / 1000);
        status = 1;
    } else if (!GetExitCodeProcess(encoder.process, &code) || code != 0) {
        std::fprintf(stderr, "qo: cannot write %s: ffmpeg failed with exit status %lu\n", file,
                     static_cast<unsigned long>(code));
        show_log_tail();
        status = 1;
    }
    close_handle(&encoder.process);
    close_handle(&encoder.log);
    return status;
}

void kill_video_encoder(void) {
    if (encoder.process != nullptr) {
        TerminateProcess(encoder.process, 1);
    }
}

int commit_video_file(const char* temporary, const char* path, const char* file) {
    if (!MoveFileExA(temporary, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        char what[record_name_capacity + 32];
        std::snprintf(what, sizeof what, "cannot write %s", file);
        report(what, GetLastError());
        return 1;
    }
    return 0;
}
