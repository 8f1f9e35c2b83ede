// The save watch on Windows: ReadDirectoryChangesW on the folder with an
// overlapped request, checked without waiting once per frame.
//
// Windows has no event for "the writer closed the file": the change of the
// last write comes while the file is being written. So a change only marks
// the file; the save counts once a poll brings no further change to it, its
// size and last-write time are the same as at the look of the poll before
// (the writer is done writing), and the file can be opened for reading. The
// look never keeps another program out: it opens the file sharing read, write
// and delete access, and closes it at once. A writer that keeps the file open
// and lets nobody read it makes it busy: it stays marked and is looked at
// each frame until it can be read, since a build now could only read nothing.
#include "app/save_watch.h"
#include "app/save_watch_win32.h"

#include <windows.h>

#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {

struct {
    HANDLE folder = INVALID_HANDLE_VALUE;
    HANDLE event = nullptr;
    OVERLAPPED overlapped;
    bool reading = false;
    // Whether each watched file has a change not yet built; whether it has
    // been looked at since its last change, and its stamp then.
    bool marked[2] = {false, false};
    bool looked[2] = {false, false};
    written_file_stamp stamp[2];
    char paths[2][MAX_PATH + 8];
    // The records of one request: DWORD-aligned, as the call needs.
    DWORD records[16 * 1024 / sizeof(DWORD)];
} watch;

void report_watch_failure(const char* what, DWORD error) {
    char reason[256];
    reason[0] = '\0';
    DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       0, reason, static_cast<DWORD>(sizeof reason), nullptr);
    while (length > 0 && (reason[length - 1] == '\r' || reason[length - 1] == '\n' ||
                          reason[length - 1] == ' ' || reason[length - 1] == '.')) {
        reason[--length] = '\0';
    }
    if (length == 0) {
        std::fprintf(stderr,
                     "qo: cannot watch the folder for saves: %s failed (error %lu); F5 "
                     "still rebuilds\n",
                     what, static_cast<unsigned long>(error));
    } else {
        std::fprintf(stderr,
                     "qo: cannot watch the folder for saves: %s (error %lu); F5 still "
                     "rebuilds\n",
                     reason, static_cast<unsigned long>(error));
    }
}

bool request_changes(void) {
    ResetEvent(watch.event);
    std::memset(&watch.overlapped, 0, sizeof watch.overlapped);
    watch.overlapped.hEvent = watch.event;
    watch.reading =
        ReadDirectoryChangesW(watch.folder, watch.records, static_cast<DWORD>(sizeof watch.records),
                              FALSE, FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE,
                              nullptr, &watch.overlapped, nullptr) != 0;
    return watch.reading;
}

} // namespace

unsigned scan_directory_changes(const void* buffer, std::size_t length) {
    unsigned changed = 0;
    std::size_t offset = 0;
    const std::size_t header = offsetof(FILE_NOTIFY_INFORMATION, FileName);
    while (offset + header <= length) {
        FILE_NOTIFY_INFORMATION record;
        std::memcpy(&record, static_cast<const char*>(buffer) + offset, header);
        std::size_t units = record.FileNameLength / sizeof(WCHAR);
        if (offset + header + units * sizeof(WCHAR) > length) {
            break;
        }
        std::uint16_t name[MAX_PATH];
        if (units <= MAX_PATH) {
            std::memcpy(name, static_cast<const char*>(buffer) + offset + header,
                        units * sizeof(WCHAR));
            int index = watched_file_index_utf16(name, units);
            if (index >= 0 &&
                (record.Action == FILE_ACTION_ADDED || record.Action == FILE_ACTION_MODIFIED ||
                 record.Action == FILE_ACTION_RENAMED_NEW_NAME)) {
                changed |= 1u << index;
            }
        }
        if (record.NextEntryOffset == 0) {
            break;
        }
        offset += record.NextEntryOffset;
    }
    return changed;
}

written_file_state look_at_written_file(const char* path, written_file_stamp* stamp) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return written_file_gone;
    }
    stamp->size = (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    stamp->written = (static_cast<unsigned long long>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                     data.ftLastWriteTime.dwLowDateTime;
    HANDLE file =
        CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return written_file_complete;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION ? written_file_busy : written_file_gone;
}

int start_save_watch(const char* folder) {
    stop_save_watch();
    watch.folder = CreateFileA(
        folder, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    if (watch.folder == INVALID_HANDLE_VALUE) {
        report_watch_failure("CreateFileA", GetLastError());
        return 1;
    }
    watch.event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (watch.event == nullptr || !request_changes()) {
        DWORD error = GetLastError();
        stop_save_watch();
        report_watch_failure("ReadDirectoryChangesW", error);
        return 1;
    }
    static const char* const names[2] = {"vs.fx", "ps.fx"};
    for (int index = 0; index < 2; ++index) {
        std::snprintf(watch.paths[index], sizeof watch.paths[index], "%s\\%s", folder,
                      names[index]);
        watch.marked[index] = false;
        watch.looked[index] = false;
    }
    return 0;
}

int poll_save_watch(void) {
    if (!watch.reading) {
        return 0;
    }
    DWORD bytes = 0;
    unsigned changed = 0;
    if (GetOverlappedResult(watch.folder, &watch.overlapped, &bytes, FALSE)) {
        // No bytes: more changes than the buffer held were lost; look at both.
        changed = bytes == 0 ? 3u : scan_directory_changes(watch.records, bytes);
        for (int index = 0; index < 2; ++index) {
            if ((changed & (1u << index)) != 0) {
                watch.marked[index] = true;
                watch.looked[index] = false;
            }
        }
        if (!request_changes()) {
            DWORD error = GetLastError();
            stop_save_watch();
            report_watch_failure("ReadDirectoryChangesW", error);
            return 0;
        }
    } else if (GetLastError() != ERROR_IO_INCOMPLETE) {
        DWORD error = GetLastError();
        stop_save_watch();
        report_watch_failure("ReadDirectoryChangesW", error);
        return 0;
    }
    int saved = 0;
    for (int index = 0; index < 2; ++index) {
        // A file changed in this poll waits for one without a change.
        if (!watch.marked[index] || (changed & (1u << index)) != 0) {
            continue;
        }
        written_file_stamp stamp;
        written_file_state state = look_at_written_file(watch.paths[index], &stamp);
        if (state == written_file_gone) {
            watch.marked[index] = false;
            continue;
        }
        if (!watch.looked[index] || stamp.size != watch.stamp[index].size ||
            stamp.written != watch.stamp[index].written) {
            // Still being written, or not looked at yet: look again.
            watch.looked[index] = true;
            watch.stamp[index] = stamp;
            continue;
        }
        if (state == written_file_complete) {
            watch.marked[index] = false;
            saved = 1;
        }
    }
    return saved;
}

void stop_save_watch(void) {
    if (watch.folder != INVALID_HANDLE_VALUE) {
        if (watch.reading) {
            CancelIo(watch.folder);
            DWORD bytes = 0;
            GetOverlappedResult(watch.folder, &watch.overlapped, &bytes, TRUE);
        }
        CloseHandle(watch.folder);
        watch.folder = INVALID_HANDLE_VALUE;
    }
    if (watch.event != nullptr) {
        CloseHandle(watch.event);
        watch.event = nullptr;
    }
    watch.reading = false;
}
