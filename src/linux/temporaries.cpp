// The save's temporary files on Linux, and what killed games left of them.
//
// The game that makes a temporary file holds a lock on it until it is
// renamed or removed. Whether that game is gone is told by the lock alone:
// the kernel drops it with the game, however it ended, and sees it from
// every pid namespace (two sandboxed games sharing a folder often have the
// same pid, and neither can see the other's).
#include "linux.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>

using namespace lnx;

namespace {

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

} // namespace

unsigned long process_id() { return (unsigned long)getpid(); }

std::vector<std::string> list_folder(const Target &t)
{
    std::vector<std::string> names;
    Fd listing(openat(t.folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR *dir = listing.ok() ? fdopendir(listing.get()) : nullptr;
    if (!dir)
        return names;
    listing.release();
    while (dirent *e = readdir(dir))
        names.emplace_back(e->d_name);
    closedir(dir);
    return names;
}

// The lock tells whether its game still holds it. A file that can't be
// opened or locked (one another game holds, or a file system without
// locks) is left alone, and so is another user's.
void remove_if_stale(const Target &t, const std::string &name)
{
    const int folder = t.folder.get();
    struct stat listed, opened;
    if (fstatat(folder, name.c_str(), &listed, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(listed.st_mode) ||
        listed.st_uid != geteuid())
        return;
    Fd fd(openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.ok() || fstat(fd.get(), &opened) != 0 || !same_file(opened, listed) || !lock(fd.get(), F_RDLCK, false))
        return;
    // Held by us now: a game that made it an instant ago and has not yet
    // locked it finds it gone and makes another.
    struct stat now;
    if (fstatat(folder, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && same_file(now, opened))
        unlinkat(folder, name.c_str(), 0);
}

// A temporary file for an existing one stays private until it has the old
// file's identity; one for a new file is made as the library would have
// made the file itself (the umask, or the folder's default ACL).
File make_temporary(const Target &t, const std::string &name, bool &taken)
{
    const int folder = t.folder.get();
    Fd fd(openat(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, t.exists ? 0600 : 0666));
    taken = !fd.ok() && errno == EEXIST;
    if (!fd.ok())
        return NO_FILE;
    // On a file system without locks the clean-up can't lock it either,
    // and leaves it alone.
    if (!lock(fd.get(), F_WRLCK, true) && errno != ENOLCK && errno != EINVAL && errno != EOPNOTSUPP) {
        unlinkat(folder, name.c_str(), 0);
        taken = true;
        return NO_FILE;
    }
    // Still under its name: another game's clean-up may have taken it in
    // the instant before the lock.
    struct stat mine, there;
    if (fstat(fd.get(), &mine) == 0 && fstatat(folder, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
        same_file(mine, there))
        return fd.release();
    taken = true;
    return NO_FILE;
}

// The lock stays with an open descriptor until the rename or the removal is
// done, so another game's clean-up can't take the file first. Someone who
// may write this folder could have put something else under the temporary
// name: only our own file is renamed.
bool rename_over(const Target &t, const std::string &name, File temporary)
{
    const int folder = t.folder.get();
    Fd fd{int(temporary)};
    struct stat mine, there;
    Fd lock_holder(fcntl(fd.get(), F_DUPFD_CLOEXEC, 0));
    const bool ok = fstat(fd.get(), &mine) == 0 && close(fd.release()) == 0 &&
                    fstatat(folder, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 && same_file(there, mine) &&
                    renameat(folder, name.c_str(), folder, t.name.c_str()) == 0;
    if (!ok)
        unlinkat(folder, name.c_str(), 0);
    return ok;
}

void remove_temporary(const Target &t, const std::string &name, File temporary)
{
    Fd fd{int(temporary)};
    unlinkat(t.folder.get(), name.c_str(), 0);
}
