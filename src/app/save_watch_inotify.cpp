// The save watch on Linux: inotify on the folder, its descriptor read without
// blocking once per frame. A save is complete at IN_CLOSE_WRITE (written in
// place and closed) or IN_MOVED_TO (a new file renamed over the old one); a
// name created (IN_CREATE) is complete at its IN_CLOSE_WRITE, or once a poll
// brings no further event for it while nobody has it open (a complete file
// linked in under the name: link, linkat of an O_TMPFILE). IN_MODIFY, which
// comes with every write, is not asked for; IN_OPEN and IN_CLOSE_NOWRITE are,
// to know whether a created name is still open.
//
// A watched file that is a symbolic link into another folder is saved there:
// that folder is watched too, for the name the link resolves to, and the
// link is resolved again whenever its name in the viewer's folder changes.
#include "app/save_watch.h"
#include "app/save_watch_inotify.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::uint32_t watched_events =
    IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_OPEN | IN_CLOSE_NOWRITE | IN_ONLYDIR;

int watch_descriptor = -1;
inotify_names names;
// The two watched files' paths in the folder (PATH_MAX each, with room for
// the name), for a look at a created one; and where each resolves to when it
// is a symbolic link: the target's path, and its name in its folder.
char watched_paths[2][PATH_MAX + 8];
char target_paths[2][PATH_MAX];
char target_names[2][NAME_MAX + 1];
// A created name waiting to be complete, and its opens less closes since.
bool pending[2] = {false, false};
int open_count[2] = {0, 0};
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

// Bits of the watched files the event's (watch, name) is about.
unsigned files_named(const inotify_names& names, int watch, const char* name, std::size_t length) {
    unsigned files = 0;
    if (watch == names.folder) {
        int index = watched_file_index(name, length);
        if (index >= 0) {
            files |= 1u << index;
        }
    }
    for (int index = 0; index < 2; ++index) {
        const char* target = names.target_name[index];
        if (watch != names.target_folder[index] || target == nullptr) {
            continue;
        }
        std::size_t end = std::strlen(target);
        if (end <= length && std::strncmp(name, target, end) == 0 &&
            (end == length || name[end] == '\0')) {
            files |= 1u << index;
        }
    }
    return files;
}

// Drops watch `watch` unless the folder or another target still needs it.
void drop_target_watch(int index) {
    int watch = names.target_folder[index];
    if (watch >= 0 && watch != names.folder && watch != names.target_folder[1 - index]) {
        inotify_rm_watch(watch_descriptor, watch);
    }
    names.target_folder[index] = -1;
    names.target_name[index] = nullptr;
}

// Watches the folder watched file `index` resolves to, when it is a symbolic
// link; no target watch when it is not, or when the link leads nowhere now.
void follow_link(int index) {
    struct stat status;
    char resolved[PATH_MAX];
    if (lstat(watched_paths[index], &status) != 0 || !S_ISLNK(status.st_mode) ||
        realpath(watched_paths[index], resolved) == nullptr) {
        drop_target_watch(index);
        target_paths[index][0] = '\0';
        return;
    }
    if (names.target_name[index] != nullptr && std::strcmp(resolved, target_paths[index]) == 0) {
        return; // the same target: its watch stands
    }
    char* slash = std::strrchr(resolved, '/');
    std::snprintf(target_names[index], sizeof target_names[index], "%s", slash + 1);
    std::memcpy(target_paths[index], resolved, sizeof resolved);
    *slash = '\0';
    const char* folder = slash == resolved ? "/" : resolved;
    int old_watch = names.target_folder[index];
    int watch = inotify_add_watch(watch_descriptor, folder, watched_events);
    if (watch < 0) {
        std::fprintf(stderr, "qo: cannot watch %s for saves of %s: %s\n", folder,
                     watched_paths[index], std::strerror(errno));
        drop_target_watch(index);
        target_paths[index][0] = '\0';
        return;
    }
    if (old_watch != watch) {
        drop_target_watch(index);
    }
    names.target_folder[index] = watch;
    names.target_name[index] = target_names[index];
}

} // namespace

inotify_scan scan_inotify_events(const char* buffer, std::size_t length,
                                 const inotify_names& names) {
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
        unsigned files = files_named(names, event.wd, name, event.len);
        scan.touched |= files;
        if (event.wd == names.folder && (event.mask & (IN_CREATE | IN_MOVED_TO)) != 0) {
            int index = watched_file_index(name, event.len);
            if (index >= 0) {
                scan.replaced |= 1u << index;
            }
        }
        for (int index = 0; index < 2; ++index) {
            unsigned bit = 1u << index;
            if ((files & bit) == 0) {
                continue;
            }
            if ((event.mask & IN_CREATE) != 0) {
                scan.created |= bit;
                scan.written &= ~bit;
                scan.opens[index] = 0;
            }
            if ((event.mask & IN_OPEN) != 0) {
                ++scan.opens[index];
            }
            if ((event.mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) != 0) {
                --scan.opens[index];
            }
            if ((event.mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) != 0) {
                scan.saved = true;
                scan.written |= bit;
                scan.created &= ~bit;
            }
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
    int watch = inotify_add_watch(descriptor, folder, watched_events);
    if (watch < 0) {
        int error = errno;
        close(descriptor);
        report_watch_failure("inotify_add_watch", error);
        return 1;
    }
    watch_descriptor = descriptor;
    names = inotify_names();
    names.folder = watch;
    static const char* const file_names[2] = {"vs.fx", "ps.fx"};
    for (int index = 0; index < 2; ++index) {
        std::snprintf(watched_paths[index], sizeof watched_paths[index], "%s/%s", folder,
                      file_names[index]);
        target_paths[index][0] = '\0';
        pending[index] = false;
        open_count[index] = 0;
        follow_link(index);
    }
    return 0;
}

namespace {

// Kept out of poll_save_watch, so that a poll without a watch does not pay
// for this function's registers and frame.
[[gnu::noinline]] int read_saves(void) {
    int saved = 0;
    unsigned touched = 0;
    for (;;) {
        ssize_t got = read(watch_descriptor, event_buffer, sizeof event_buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break; // EAGAIN: nothing more is queued
        }
        inotify_scan scan = scan_inotify_events(event_buffer, static_cast<std::size_t>(got), names);
        if (scan.saved) {
            saved = 1;
        }
        touched |= scan.touched;
        for (int index = 0; index < 2; ++index) {
            unsigned bit = 1u << index;
            if ((scan.replaced & bit) != 0) {
                follow_link(index);
            }
            if ((scan.created & bit) != 0) {
                pending[index] = true;
                open_count[index] = scan.opens[index];
            } else if ((scan.written & bit) != 0) {
                pending[index] = false;
            } else if (pending[index]) {
                open_count[index] += scan.opens[index];
            }
            // The name created: the viewer's folder's, or the link's target.
            const char* path = (scan.replaced & bit) != 0 || target_paths[index][0] == '\0'
                                   ? watched_paths[index]
                                   : target_paths[index];
            if (pending[index] && created_file_is_complete(path)) {
                pending[index] = false;
                saved = 1;
            }
        }
    }
    // A created name that a whole poll brought nothing more about, and that
    // nobody has open, is complete.
    for (int index = 0; index < 2; ++index) {
        if (pending[index] && (touched & (1u << index)) == 0 && open_count[index] <= 0) {
            pending[index] = false;
            saved = 1;
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
    names = inotify_names();
}
