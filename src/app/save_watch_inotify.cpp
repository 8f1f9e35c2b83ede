// The save watch on Linux: inotify on the folder, its descriptor read without
// blocking once per frame. The events only say that a watched file may have
// been saved: closed after writing (IN_CLOSE_WRITE), a new file renamed over
// it (IN_MOVED_TO), or its name created anew (IN_CREATE). Whether the save is
// complete is then asked of the file itself: a read lease is granted only
// while no process has it open for writing, so a file still being written,
// however long its writer pauses, waits, and is looked at again each frame
// until it is let go. Folder events carry a name, not a file: the close of a
// file deleted and replaced under the same name would look like the new
// one's close, which the lease does not mistake.
//
// Where no lease can be taken (the file has another owner, a filesystem
// without leases) the events alone decide: complete at IN_CLOSE_WRITE or
// IN_MOVED_TO, and a created name once a poll brings nothing more about it
// while its opens (IN_OPEN less IN_CLOSE_*) are all closed, or at once when
// it is a link or a second name of a complete file.
//
// A watched file that is a symbolic link into another folder is saved there:
// that folder is watched too, for the name the link resolves to. The link is
// resolved again whenever its name in the viewer's folder changes and
// whenever that folder is removed or moved away. A link that leads nowhere
// (at start, or after its target's folder was removed) is waited on: the
// nearest folder on the way to its target that exists is watched for the
// next name, until the target is there again.
#include "app/save_watch.h"
#include "app/save_watch_inotify.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::uint32_t watched_events = IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_OPEN |
                                         IN_CLOSE_NOWRITE | IN_DELETE_SELF | IN_MOVE_SELF |
                                         IN_ONLYDIR;

int watch_descriptor = -1;
inotify_names names;
// The two watched files' paths in the folder (PATH_MAX each, with room for
// the name); where each leads when it is a symbolic link: the path of its
// target, or of the name waited for on the way to a target not there; and
// that name in its folder.
char watched_paths[2][PATH_MAX + 8];
char target_paths[2][PATH_MAX + NAME_MAX + 2];
char target_names[2][NAME_MAX + 1];
// A change of each watched file not yet built: since noted, whether it was
// closed after writing or renamed in (not only created), and its opens less
// closes since its creation (for where no lease can tell).
bool pending[2] = {false, false};
bool pending_written[2] = {false, false};
int open_count[2] = {0, 0};
// Set when a look found that no lease can be taken on the file: it is not
// looked at again until it is replaced, since each look's own open and close
// would be news of it and keep the events' rule waiting.
bool no_lease[2] = {false, false};
// Set when a link led to its target anew in this poll: the target is looked
// at from the next poll on. Its folder's watch was added just now, so a
// write that ended between that and a look would still send its events, and
// be taken for a second save of the same file.
bool look_next_poll[2] = {false, false};
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

// Whether the event's name (`length` bytes, NUL-padded) is watched file
// `index`'s name in the folder its link leads to.
bool names_target(const inotify_names& names, int index, const char* name, std::size_t length) {
    const char* target = names.target_name[index];
    if (target == nullptr) {
        return false;
    }
    std::size_t end = std::strlen(target);
    return end <= length && std::strncmp(name, target, end) == 0 &&
           (end == length || name[end] == '\0');
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
        if (watch == names.target_folder[index] && names_target(names, index, name, length)) {
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

// Where the link at `link` would lead, though its target is not there: the
// link (and any link it leads to) read by hand, then the nearest folder on
// the way that exists, resolved into `folder`, and the next name in it. False
// when none is found.
bool find_missing_target(const char* link, char (&folder)[PATH_MAX], char (&name)[NAME_MAX + 1]) {
    char path[PATH_MAX];
    std::snprintf(path, sizeof path, "%s", link);
    for (int depth = 0; depth < 40; ++depth) {
        char text[PATH_MAX];
        ssize_t length = readlink(path, text, sizeof text - 1);
        if (length < 0) {
            break; // not a link: what the chain leads to
        }
        text[length] = '\0';
        if (text[0] == '/') {
            std::memcpy(path, text, static_cast<std::size_t>(length) + 1);
            continue;
        }
        char* slash = std::strrchr(path, '/');
        std::size_t base = slash == nullptr ? 0 : static_cast<std::size_t>(slash - path) + 1;
        if (base + static_cast<std::size_t>(length) >= sizeof path) {
            return false;
        }
        std::memcpy(path + base, text, static_cast<std::size_t>(length) + 1);
    }
    for (;;) {
        char* slash = std::strrchr(path, '/');
        if (slash == nullptr) {
            return false;
        }
        *slash = '\0';
        const char* next = slash + 1;
        if (next[0] == '\0' || std::strcmp(next, ".") == 0 || std::strcmp(next, "..") == 0 ||
            std::strlen(next) > NAME_MAX) {
            continue;
        }
        if (realpath(slash == path ? "/" : path, folder) != nullptr) {
            std::snprintf(name, NAME_MAX + 1, "%s", next);
            return true;
        }
    }
}

// Watches the folder watched file `index` leads to, when it is a symbolic
// link, for its target's name, or, when the target is not there, the nearest
// folder on the way for the next name. No target watch when it is not a link.
// True when it is a link to a file that is there now.
bool follow_link(int index) {
    struct stat status;
    if (lstat(watched_paths[index], &status) != 0 || !S_ISLNK(status.st_mode)) {
        drop_target_watch(index);
        target_paths[index][0] = '\0';
        return false;
    }
    char folder[PATH_MAX];
    char name[NAME_MAX + 1];
    char resolved[PATH_MAX];
    bool there = realpath(watched_paths[index], resolved) != nullptr;
    if (there) {
        char* slash = std::strrchr(resolved, '/');
        std::snprintf(name, sizeof name, "%s", slash + 1);
        *slash = '\0';
        std::snprintf(folder, sizeof folder, "%s", slash == resolved ? "/" : resolved);
    } else if (!find_missing_target(watched_paths[index], folder, name)) {
        drop_target_watch(index);
        target_paths[index][0] = '\0';
        return false;
    }
    char path[sizeof target_paths[index]];
    std::snprintf(path, sizeof path, "%s/%s", std::strcmp(folder, "/") == 0 ? "" : folder, name);
    if (names.target_folder[index] >= 0 && std::strcmp(path, target_paths[index]) == 0) {
        return there; // the same: its watch stands
    }
    int old_watch = names.target_folder[index];
    int watch = inotify_add_watch(watch_descriptor, folder, watched_events);
    if (watch < 0) {
        std::fprintf(stderr, "qo: cannot watch %s for saves of %s: %s\n", folder,
                     watched_paths[index], std::strerror(errno));
        drop_target_watch(index);
        target_paths[index][0] = '\0';
        return false;
    }
    if (old_watch != watch) {
        drop_target_watch(index);
    }
    std::memcpy(target_paths[index], path, sizeof path);
    std::memcpy(target_names[index], name, sizeof name);
    names.target_folder[index] = watch;
    names.target_name[index] = target_names[index];
    return there;
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
            scan.lost = true;
            continue;
        }
        for (int index = 0; index < 2; ++index) {
            if (event.wd != names.target_folder[index]) {
                continue;
            }
            bool folder_gone = (event.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) != 0;
            bool folder_made = (event.mask & IN_ISDIR) != 0 &&
                               (event.mask & (IN_CREATE | IN_MOVED_TO)) != 0 &&
                               names_target(names, index, name, event.len);
            if (folder_gone || folder_made) {
                scan.relink |= 1u << index;
            }
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

saved_file_look look_at_saved_file(const char* path) {
    // Non-blocking: an open that would wait for another process's lease to
    // be given up fails instead.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (errno == EWOULDBLOCK) {
            return saved_file_busy;
        }
        return errno == ENOENT || errno == ENOTDIR || errno == ELOOP ? saved_file_gone
                                                                     : saved_file_unknown;
    }
    saved_file_look look = saved_file_complete;
    if (fcntl(fd, F_SETLEASE, F_RDLCK) != 0) {
        look = errno == EAGAIN ? saved_file_busy : saved_file_unknown;
    } else {
        fcntl(fd, F_SETLEASE, F_UNLCK);
    }
    close(fd);
    return look;
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
    // A writer that opens the file in the moment a look holds its lease makes
    // the kernel send SIGIO, whose default action would end the viewer.
    struct sigaction current;
    if (sigaction(SIGIO, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
        std::signal(SIGIO, SIG_IGN);
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
        pending_written[index] = false;
        open_count[index] = 0;
        no_lease[index] = false;
        look_next_poll[index] = false;
        follow_link(index);
    }
    return 0;
}

namespace {

// Notes the changes of one read's events.
void note_changes(const inotify_scan& scan) {
    for (int index = 0; index < 2; ++index) {
        unsigned bit = 1u << index;
        bool led_somewhere = false;
        if ((scan.relink & bit) != 0) {
            // The watch is gone or moved: watched anew, wherever it leads now.
            drop_target_watch(index);
            target_paths[index][0] = '\0';
            led_somewhere = follow_link(index);
        } else if ((scan.replaced & bit) != 0) {
            follow_link(index);
        }
        if ((scan.relink & bit) != 0 || (scan.replaced & bit) != 0 || (scan.created & bit) != 0) {
            no_lease[index] = false;
        }
        if ((scan.created & bit) != 0) {
            pending[index] = true;
            pending_written[index] = false;
            open_count[index] = scan.opens[index];
        } else if ((scan.written & bit) != 0 || scan.lost || led_somewhere) {
            // Lost events, or a target found again (it may have been saved
            // before its folder was watched): look at it as at a save.
            pending[index] = true;
            pending_written[index] = true;
            look_next_poll[index] = look_next_poll[index] || led_somewhere;
        } else if (pending[index]) {
            open_count[index] += scan.opens[index];
        }
    }
}

// Whether pending watched file `index` is saved whole, by its events alone:
// written, or created and then either complete at once or, a whole poll
// without news of it (`quiet`), open nowhere.
bool complete_by_events(int index, bool quiet) {
    const char* path = target_paths[index][0] != '\0' ? target_paths[index] : watched_paths[index];
    return pending_written[index] || created_file_is_complete(path) ||
           (quiet && open_count[index] <= 0);
}

// Kept out of poll_save_watch, so that a poll without a watch does not pay
// for this function's registers and frame.
[[gnu::noinline]] int read_saves(void) {
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
        touched |= scan.touched;
        note_changes(scan);
    }
    int saved = 0;
    for (int index = 0; index < 2; ++index) {
        if (!pending[index]) {
            continue;
        }
        if (look_next_poll[index]) {
            look_next_poll[index] = false;
            continue;
        }
        // Through the link, if it is one: the file it leads to now.
        saved_file_look look =
            no_lease[index] ? saved_file_unknown : look_at_saved_file(watched_paths[index]);
        no_lease[index] = look == saved_file_unknown;
        bool complete = look == saved_file_complete ||
                        (look == saved_file_unknown &&
                         complete_by_events(index, (touched & (1u << index)) == 0));
        if (complete || look == saved_file_gone) {
            pending[index] = false;
            saved |= complete ? 1 : 0;
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
