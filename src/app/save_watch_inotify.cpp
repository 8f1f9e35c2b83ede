// The save watch on Linux: inotify on the folder, its descriptor read without
// blocking once per frame. A save is complete at IN_CLOSE_WRITE (written in
// place and closed) or IN_MOVED_TO (a new file renamed over the old one);
// IN_MODIFY, which comes with every write, is not asked for.
#include "app/save_watch.h"
#include "app/save_watch_inotify.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int watch_descriptor = -1;
// The two watched files' paths in the folder (PATH_MAX each, with room for
// the name), for a look at a created one.
char watched_paths[2][PATH_MAX + 8];
// What one read of the descriptor takes: room for many events of the
// longest name. Not on the stack, so that a poll without a watch costs no
// stack probing.
alignas(inotify_event) char event_buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];

void report_watch_failure(const char* what, int error) {
    const char* reason = std::strerror(error);
    // The kernel's limits come back as misleading generic errors.
    if (error == ENOSPC) {
        reason = "too many inotify watches (see /proc/sys/fs/inotify/max_user_watches)";
    } else if (error == EMFILE && std::strcmp(what, "inotify_init1") == 0) {
        reason = "too many inotify instances (see /proc/sys/fs/inotify/max_user_instances)";
    }
    std::fprintf(stderr, "qo: cannot watch the folder for saves: %s; F5 still rebuilds\n", reason);
}

} // namespace

inotify_scan scan_inotify_events(const char* buffer, std::size_t length) {
    inotify_scan scan;
    std::size_t offset = 0;
    while (offset + sizeof(inotify_event) <= length) {
        inotify_event event;
        std::memcpy(&event, buffer + offset, sizeof event);
        const char* name = buffer + offset + sizeof event;
        std::size_t next = offset + sizeof event + event.len;
        if (next > length) {
            break;
        }
        offset = next;
        if ((event.mask & IN_Q_OVERFLOW) != 0) {
            scan.saved = true;
            continue;
        }
        if ((event.mask & IN_ISDIR) != 0 || event.len == 0) {
            continue;
        }
        int index = watched_file_index(name, event.len);
        if (index < 0) {
            continue;
        }
        if ((event.mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) != 0) {
            scan.saved = true;
        } else if ((event.mask & IN_CREATE) != 0) {
            scan.created |= 1u << index;
        }
    }
    return scan;
}

bool created_file_is_complete(const char* name) {
    struct stat status;
    if (lstat(name, &status) != 0) {
        return false;
    }
    return S_ISLNK(status.st_mode) || (S_ISREG(status.st_mode) && status.st_nlink > 1);
}

int start_save_watch(const char* folder) {
    stop_save_watch();
    int descriptor = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (descriptor < 0) {
        report_watch_failure("inotify_init1", errno);
        return 1;
    }
    if (inotify_add_watch(descriptor, folder,
                          IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_ONLYDIR) < 0) {
        int error = errno;
        close(descriptor);
        report_watch_failure("inotify_add_watch", error);
        return 1;
    }
    static const char* const names[2] = {"vs.fx", "ps.fx"};
    for (int index = 0; index < 2; ++index) {
        std::snprintf(watched_paths[index], sizeof watched_paths[index], "%s/%s", folder,
                      names[index]);
    }
    watch_descriptor = descriptor;
    return 0;
}

namespace {

// Kept out of poll_save_watch, so that a poll without a watch does not pay
// for this function's registers and frame.
[[gnu::noinline]] int read_saves(void) {
    int saved = 0;
    for (;;) {
        ssize_t got = read(watch_descriptor, event_buffer, sizeof event_buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break; // EAGAIN: nothing more is queued
        }
        inotify_scan scan = scan_inotify_events(event_buffer, static_cast<std::size_t>(got));
        if (scan.saved) {
            saved = 1;
        }
        for (int index = 0; index < 2; ++index) {
            if ((scan.created & (1u << index)) != 0 &&
                created_file_is_complete(watched_paths[index])) {
                saved = 1;
            }
        }
    }
    return saved;
}

} // namespace

int poll_save_watch(void) {
    return watch_descriptor < 0 ? 0 : read_saves();
}

void stop_save_watch(void) {
    if (watch_descriptor >= 0) {
        close(watch_descriptor);
        watch_descriptor = -1;
    }
}
