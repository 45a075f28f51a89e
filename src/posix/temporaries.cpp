// The save's temporary files, and what killed games left of them.
//
// A temporary file is named ".load-<pid>-XXXXXX.bmp" (six letters or
// digits in place of the Xs) and made beside the file it replaces, as a
// rename can't cross file systems. The game that makes one holds a lock on
// it until it is renamed or removed. Whether that game is gone is told by
// the lock alone: the kernel drops it with the game, however it ended, and
// sees it from every pid namespace (two sandboxed games sharing a folder
// often have the same pid, and neither can see the other's). The pid stays
// in the name, for people.
#include "posix.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <vector>

namespace posix {

namespace {

constexpr char TMP_PREFIX[] = ".load-";
constexpr char TMP_SUFFIX[] = ".bmp";
constexpr int TMP_RANDOM = 6;
constexpr char TMP_CHARS[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

// An open file description lock over the whole file: a write lock held by
// the game that made it (on its own read-write descriptor), a read lock
// tried by the clean-up. Either excludes the other.
bool lock(int fd, short type, bool wait)
{
    struct flock l {};
    l.l_type = type;
    l.l_whence = SEEK_SET;
    return fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &l) == 0;
}

// Whether `name` has exactly the form of a temporary file's name.
bool temporary_name(const char *name)
{
    const size_t len = std::strlen(name), pre = sizeof TMP_PREFIX - 1, suf = sizeof TMP_SUFFIX - 1;
    if (len < pre + 2 + TMP_RANDOM + suf || std::strncmp(name, TMP_PREFIX, pre) != 0 ||
        std::strcmp(name + len - suf, TMP_SUFFIX) != 0)
        return false;
    const char *digits = name + pre, *dash = name + len - suf - TMP_RANDOM - 1;
    if (*dash != '-' || *digits == '0' || dash - digits > 9)
        return false;
    for (const char *p = digits; p < dash; p++)
        if (*p < '0' || *p > '9')
            return false;
    for (const char *p = dash + 1; p < name + len - suf; p++)
        if (!*p || !std::strchr(TMP_CHARS, *p))
            return false;
    return true;
}

// Removes `name` if it is a temporary file of the user's own whose game is
// gone: its lock can be had. A file that can't be opened or locked (one
// another game holds, or a file system without locks) is left alone.
void remove_if_stale(int folder, const char *name)
{
    struct stat listed, opened;
    if (!temporary_name(name) || fstatat(folder, name, &listed, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(listed.st_mode) ||
        listed.st_uid != geteuid())
        return;
    Fd fd(openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.ok() || fstat(fd.get(), &opened) != 0 || !same_file(opened, listed) || !lock(fd.get(), F_RDLCK, false))
        return;
    // Held by us now: a game that made it an instant ago and has not yet
    // locked it finds it gone and makes another.
    struct stat now;
    if (fstatat(folder, name, &now, AT_SYMLINK_NOFOLLOW) == 0 && same_file(now, opened))
        unlinkat(folder, name, 0);
}

} // namespace

Fd make_temporary(int folder, mode_t mode, std::string &name)
{
    static unsigned long long seed =
        (unsigned long long)std::chrono::steady_clock::now().time_since_epoch().count() ^ (unsigned long long)getpid() << 32;
    for (int tries = 0; tries < 100; tries++) {
        name = TMP_PREFIX + std::to_string(getpid()) + "-";
        for (int i = 0; i < TMP_RANDOM; i++) {
            seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
            name += TMP_CHARS[(seed >> 33) % (sizeof TMP_CHARS - 1)];
        }
        name += TMP_SUFFIX;
        Fd fd(openat(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (!fd.ok()) {
            if (errno == EEXIST)
                continue;
            return fd;
        }
        // On a file system without locks the clean-up can't lock it
        // either, and leaves it alone.
        if (!lock(fd.get(), F_WRLCK, true) && errno != ENOLCK && errno != EINVAL && errno != EOPNOTSUPP) {
            unlinkat(folder, name.c_str(), 0);
            continue;
        }
        // Still under its name: another game's clean-up may have taken it
        // in the instant before the lock.
        struct stat mine, there;
        if (fstat(fd.get(), &mine) == 0 && fstatat(folder, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
            same_file(mine, there))
            return fd;
    }
    errno = EEXIST;
    return Fd();
}

// Each folder is looked at once. A folder removed and made anew can get
// the old one's inode, so it is told by its birth time as well; where the
// file system keeps none, it is looked at on every save.
void remove_stale_temporaries(const Target &t)
{
    struct Folder {
        dev_t dev;
        ino_t ino;
        long long born;
        bool operator==(const Folder &o) const { return dev == o.dev && ino == o.ino && born == o.born; }
    };
    static std::vector<Folder> done;
    struct statx sx;
    if (statx(t.folder.get(), "", AT_EMPTY_PATH, STATX_BTIME, &sx) == 0 && (sx.stx_mask & STATX_BTIME)) {
        const Folder f{t.folder_st.st_dev, t.folder_st.st_ino, sx.stx_btime.tv_sec * 1000000000LL + sx.stx_btime.tv_nsec};
        if (std::find(done.begin(), done.end(), f) != done.end())
            return;
        done.push_back(f);
    }
    Fd listing(openat(t.folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR *dir = listing.ok() ? fdopendir(listing.get()) : nullptr;
    if (!dir)
        return;
    listing.release();
    while (dirent *e = readdir(dir))
        remove_if_stale(t.folder.get(), e->d_name);
    closedir(dir);
}

} // namespace posix
