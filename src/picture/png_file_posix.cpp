// The picture file on POSIX systems: libpng's simplified API encodes into a
// buffer of qo's own, which goes to a new file beside the target (made with
// O_EXCL under a name of its own), is synced, and replaces the target with
// rename(). A stop request meanwhile (Ctrl+C) removes the new file before
// the process ends, so none is left behind.
//
// A target that exists and is not a regular file (a device such as
// /dev/null, a FIFO) is written to directly: it cannot be replaced, and is
// not a file a reader could find half written. A symbolic link is followed,
// as a shell's redirection does: the file it names is replaced, or made
// when it is not there yet, and the link stays; a file replaced keeps its
// mode.
#include "picture/png_file.h"

#include "output/stop_files.h"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

// The encoded picture, as large as the largest PNG of the picture (the
// rows stored undeflated, with the chunks around them); one per thread, so
// that pictures may be written on several threads at once.
thread_local std::vector<unsigned char> png_bytes;

int report(const char* file, const char* reason) {
    std::fprintf(stderr, "qo: cannot write %s: %s\n", file, reason);
    return 1;
}

// Writes all `count` bytes to `fd`; false with errno set when it can't.
bool write_all(int fd, const unsigned char* bytes, size_t count) {
    while (count > 0) {
        ssize_t written = write(fd, bytes, count);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            if (written == 0) {
                errno = EIO;
            }
            return false;
        }
        bytes += written;
        count -= static_cast<size_t>(written);
    }
    return true;
}

// The mode a new file gets from open(…, 0666): what the umask leaves.
mode_t new_file_mode(void) {
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// Follows `path` while it names a symbolic link, to the name the last link
// gives (its target taken from the link's folder when relative): the file
// the picture goes to, whether or not it exists yet. Returns false with
// errno set (ELOOP after as many links as the system follows in a path).
bool follow_links(const char* path, char* destination) {
    if (std::snprintf(destination, png_path_capacity, "%s", path) >= png_path_capacity) {
        errno = ENAMETOOLONG;
        return false;
    }
    for (int links = 0;; ++links) {
        struct stat info;
        if (lstat(destination, &info) != 0) {
            return errno == ENOENT; // not there yet: made by the rename
        }
        if (!S_ISLNK(info.st_mode)) {
            return true;
        }
        if (links == 40) {
            errno = ELOOP;
            return false;
        }
        char target[png_path_capacity];
        ssize_t length = readlink(destination, target, sizeof target - 1);
        if (length < 0) {
            return false;
        }
        target[length] = '\0';
        const char* slash = std::strrchr(destination, '/');
        int folder_length =
            target[0] != '/' && slash != nullptr ? static_cast<int>(slash - destination) + 1 : 0;
        char next[png_path_capacity];
        if (std::snprintf(next, sizeof next, "%.*s%s", folder_length, destination, target) >=
            png_path_capacity) {
            errno = ENAMETOOLONG;
            return false;
        }
        std::memcpy(destination, next, sizeof next);
    }
}

// Into a device or FIFO that is there already.
int write_in_place(const char* path, const char* file, const unsigned char* bytes, size_t count) {
    int fd = open(path, O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return report(file, std::strerror(errno));
    }
    bool ok = write_all(fd, bytes, count);
    int saved = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    return ok ? 0 : report(file, std::strerror(saved));
}

// A new file beside the target: ".qo-shot-" and six letters or digits
// after the folder of `path`, named for a stop to remove before it is made
// (O_EXCL), so that a stop at any moment leaves none behind. Returns the
// descriptor, or -1 with errno set.
int make_temporary_file(const char* path, char* temporary, int capacity) {
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    const char* slash = std::strrchr(path, '/');
    int folder_length = slash != nullptr ? static_cast<int>(slash - path) : 0;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    unsigned long seed = static_cast<unsigned long>(now.tv_nsec) ^
                         (static_cast<unsigned long>(now.tv_sec) << 20) ^
                         (static_cast<unsigned long>(getpid()) << 8);
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[7];
        for (int i = 0; i < 6; ++i) {
            seed = seed * 6364136223846793005UL + 1442695040888963407UL;
            suffix[i] = letters[(seed >> 33) % (sizeof letters - 1)];
        }
        suffix[6] = '\0';
        if (std::snprintf(temporary, static_cast<size_t>(capacity), "%.*s/.qo-shot-%s",
                          folder_length, path, suffix) >= capacity) {
            errno = ENAMETOOLONG;
            return -1;
        }
        if (!name_stop_file(temporary)) {
            errno = ECANCELED; // a stop is ending the process
            return -1;
        }
        int fd = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
        int saved = errno;
        stop_file_made();
        if (fd >= 0) {
            return fd;
        }
        clear_stop_file();
        if (saved != EEXIST) {
            errno = saved;
            return -1;
        }
    }
    errno = EEXIST;
    return -1;
}

// Into a new file beside `path`, then renamed over it.
int replace_file(const char* path, const char* file, const unsigned char* bytes, size_t count,
                 mode_t mode) {
    char temporary[png_path_capacity + 32];
    int fd = make_temporary_file(path, temporary, sizeof temporary);
    if (fd < 0) {
        return report(file, std::strerror(errno));
    }
    bool ok = fchmod(fd, mode) == 0 && write_all(fd, bytes, count) && fsync(fd) == 0;
    int saved = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (ok && rename(temporary, path) != 0) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        unlink(temporary);
    }
    clear_stop_file();
    return ok ? 0 : report(file, std::strerror(saved));
}

} // namespace

int resolve_png_path(const char* file, char* path, int capacity) {
    int length = 0;
    if (file[0] == '/') {
        length = std::snprintf(path, static_cast<size_t>(capacity), "%s", file);
    } else {
        char folder[PATH_MAX];
        if (getcwd(folder, sizeof folder) == nullptr) {
            return report(file, std::strerror(errno));
        }
        length = std::snprintf(path, static_cast<size_t>(capacity), "%s/%s", folder, file);
    }
    if (length < 0 || length >= capacity) {
        return report(file, std::strerror(ENAMETOOLONG));
    }
    return 0;
}

int write_png_file(const char* path, const char* file, const unsigned char* rgb, int width,
                   int height) {
    if (width <= 0 || height <= 0) {
        return report(file, "the picture is empty");
    }
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = PNG_FORMAT_RGB;
    png_alloc_size_t size = PNG_IMAGE_PNG_SIZE_MAX(image);
    if (png_bytes.size() < size) {
        png_bytes.resize(size);
    }
    if (!png_image_write_to_memory(&image, png_bytes.data(), &size, 0, rgb, width * 3, nullptr)) {
        png_image_free(&image);
        return report(file, image.message[0] != '\0' ? image.message : "libpng failed");
    }

    // What the path names now: a link is followed to the file it names,
    // there or not; a device or FIFO is written in place; a folder is
    // refused.
    char destination[png_path_capacity];
    if (!follow_links(path, destination)) {
        return report(file, std::strerror(errno));
    }
    struct stat info;
    mode_t mode = new_file_mode();
    if (stat(destination, &info) == 0) {
        if (S_ISDIR(info.st_mode)) {
            return report(file, std::strerror(EISDIR));
        }
        if (!S_ISREG(info.st_mode)) {
            return write_in_place(destination, file, png_bytes.data(), size);
        }
        mode = info.st_mode & 07777;
    }

    return replace_file(destination, file, png_bytes.data(), size, mode);
}
