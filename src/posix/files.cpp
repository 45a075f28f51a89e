// The snapshot file on Linux (with X11): its safe replace, the
// check that it still holds the last save, and its read.
//
// The save replaces "load.bmp" the way careful editors do: a temporary file
// beside the real file, written through its own descriptor and renamed over
// it, so a killed game or a full disk never costs the last good snapshot.
// Taking that over from the kernel's in-place write means keeping every
// protection the kernel gave it: links in shared sticky folders that belong
// to someone else are not followed, files planted there are not replaced,
// nothing is written where the user may not write, and the new file keeps
// the owner, group, mode, ACL and other attributes of the old one. Where
// the rename can't be done but an in-place write would work (a folder the
// user may not write, a file that is a mount point of its own, a file of
// the folder's owner in a sticky folder), the file is written in place.
#include "platform.h"
#include "posix.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>

using namespace posix;

namespace {

bool write_all(int fd, const unsigned char *data, size_t size)
{
    for (size_t done = 0; done < size;) {
        const ssize_t n = pwrite(fd, data + done, size - done, off_t(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

// --- the file the last save left ---------------------------------------------

struct Saved {
    bool valid = false;
    dev_t dev;
    ino_t ino;
    off_t size;
    struct timespec mtime, ctime;
    // Whether the file's times are certainly older than a moment at which
    // it was seen to hold the save's bytes: any change since then shows.
    bool settled;
} saved;

long long ns(const struct timespec &t) { return t.tv_sec * 1000000000LL + t.tv_nsec; }

long long now_ns()
{
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return ns(t);
}

// A write after `seen` is stamped no earlier than `seen`, less the kernel's
// clock tick (a few ms), cut down to the file system's granularity: up to
// 2 s (FAT), 1 s (ext4 with small inodes, many network file systems),
// 10 ms (exFAT). The granularity is guessed from the times themselves: a
// time on a whole second may be on a coarse one.
bool settled_by(const Saved &s, long long seen)
{
    const auto grain = [](long long t) {
        return t % 1000000000LL == 0 ? 2000000000LL : t % 10000000LL == 0 ? 10000000LL : 1;
    };
    const long long newest = std::max(ns(s.mtime), ns(s.ctime));
    const long long coarsest = std::max(grain(ns(s.mtime)), grain(ns(s.ctime)));
    return newest < seen - coarsest - 100000000LL;  // 100 ms for the tick, and more
}

bool as_saved(const struct stat &st)
{
    return saved.valid && st.st_dev == saved.dev && st.st_ino == saved.ino && st.st_size == saved.size &&
           ns(st.st_mtim) == ns(saved.mtime) && ns(st.st_ctim) == ns(saved.ctime);
}

void remember(const Target &t, const struct stat &written)
{
    struct stat now;
    if (fstatat(t.folder.get(), t.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && same_file(now, written)) {
        saved = {true, now.st_dev, now.st_ino, now.st_size, now.st_mtim, now.st_ctim, false};
        saved.settled = settled_by(saved, now_ns());
    }
}

// Whether the open file holds exactly `data`, read in pieces.
bool holds(int fd, const unsigned char *data, size_t size)
{
    static unsigned char piece[1 << 16];
    for (size_t at = 0; at < size;) {
        const ssize_t n = pread(fd, piece, std::min(sizeof piece, size - at), off_t(at));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || std::memcmp(piece, data + at, size_t(n)) != 0)
            return false;
        at += size_t(n);
    }
    return true;
}

// --- writing --------------------------------------------------------------------

// Writes over the file itself: for a file with other hard links, so that
// every name gets the new picture, and where the rename can't be done. Not
// atomic, so room is claimed first where the file system can, and a full
// disk leaves the old picture.
bool write_in_place(const Target &t, const unsigned char *data, size_t size)
{
    Fd fd(openat(t.folder.get(), t.name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (!fd.ok() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || !same_file(st, t.st))
        return false;
    if (fallocate(fd.get(), FALLOC_FL_KEEP_SIZE, 0, off_t(size)) != 0 && (errno == ENOSPC || errno == EDQUOT))
        return false;
    if (!write_all(fd.get(), data, size) || ftruncate(fd.get(), off_t(size)) != 0 || close(fd.release()) != 0)
        return false;
    remember(t, st);
    return true;
}

enum class Renamed { yes, no, refused };

// The temporary file, renamed over the target. `refused` where the folder
// would take no temporary file or the rename was refused, which an
// in-place write may still get past; `no` on any other failure.
Renamed write_and_rename(const Target &t, const unsigned char *data, size_t size)
{
    Attributes attributes;
    if (t.exists && !attributes_of(t, attributes))
        return Renamed::refused;
    remove_stale_temporaries(t);
    // A temporary file for an existing one stays private until it has the
    // old file's identity; one for a new file is made as the library would
    // have made the file itself (the umask, or the folder's default ACL).
    std::string tmp;
    Fd fd = make_temporary(t.folder.get(), t.exists ? 0600 : 0666, tmp);
    if (!fd.ok())
        return Renamed::refused;
    struct stat mine, there;
    bool written = write_all(fd.get(), data, size) && fstat(fd.get(), &mine) == 0 && mine.st_size == off_t(size);
    const bool full = !written && (errno == ENOSPC || errno == EDQUOT);
    if (written && t.exists)
        take_identity(fd.get(), t.st, attributes);
    // The lock stays with the open descriptor until the rename is done, so
    // another game's clean-up can't take the file first. Someone who may
    // write this folder could have put something else under the temporary
    // name: only our own file is renamed.
    const int lock_holder = fcntl(fd.get(), F_DUPFD_CLOEXEC, 0);
    written = close(fd.release()) == 0 && written;
    bool ok = written && fstatat(t.folder.get(), tmp.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
              same_file(there, mine);
    const bool renamed = ok && renameat(t.folder.get(), tmp.c_str(), t.folder.get(), t.name.c_str()) == 0;
    if (!renamed)
        unlinkat(t.folder.get(), tmp.c_str(), 0);
    if (lock_holder >= 0)
        close(lock_holder);
    if (renamed) {
        remember(t, mine);
        return Renamed::yes;
    }
    return (ok || full) && t.exists ? Renamed::refused : Renamed::no;
}

} // namespace

bool replace_file(const char *path, const unsigned char *data, size_t size)
{
    saved.valid = false;
    Target t;
    if (!resolve(path, t))
        return false;
    if (t.exists) {
        // Where an in-place write would be refused or could block, so is
        // this: not a regular file, a file the user may not write, or one
        // that someone else planted in a shared sticky folder.
        if (!S_ISREG(t.st.st_mode) || !trusted_here(t.folder_st, t.st) ||
            faccessat(t.folder.get(), t.name.c_str(), W_OK, AT_EACCESS) != 0)
            return false;
        if (t.st.st_nlink > 1)
            return write_in_place(t, data, size);
    }
    switch (write_and_rename(t, data, size)) {
    case Renamed::yes:
        return true;
    case Renamed::refused:
        return t.exists && write_in_place(t, data, size);
    default:
        return false;
    }
}

bool still_holds(const char *path, const unsigned char *data, size_t size)
{
    Target t;
    if (!saved.valid || saved.size != off_t(size) || !resolve(path, t) || !t.exists || !as_saved(t.st))
        return false;
    if (saved.settled)
        return true;
    // Times as fresh as these could hide another program's same-size
    // rewrite in the same tick: the bytes themselves are compared, until
    // a look finds the times settled.
    const long long seen = now_ns();
    Fd fd(openat(t.folder.get(), t.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (!fd.ok() || fstat(fd.get(), &st) != 0 || !as_saved(st) || !holds(fd.get(), data, size))
        return false;
    saved.settled = settled_by(saved, seen);
    return true;
}

bool read_file(const char *path, size_t max, std::vector<unsigned char> &out)
{
    // Looked at before it is opened, so that a FIFO or a device is never
    // opened at all; a terminal among them never becomes ours.
    struct stat before, st;
    if (stat(path, &before) != 0 || !S_ISREG(before.st_mode))
        return false;
    Fd fd(open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.ok() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || !same_file(st, before) || st.st_size <= 0 ||
        size_t(st.st_size) > max)
        return false;
    out.resize(size_t(st.st_size));
    size_t got = 0;
    while (got < out.size()) {
        const ssize_t n = read(fd.get(), out.data() + got, out.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += size_t(n);
    }
    return got == out.size();
}
