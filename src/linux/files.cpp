// Opening the snapshot file on Linux.
#include "linux.h"

#include <cerrno>
#include <fcntl.h>

using namespace lnx;

File open_target(const Target &t, bool write)
{
    Fd fd(openat(t.folder.get(), t.name.c_str(),
                 (write ? O_WRONLY : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (!fd.ok() || fstat(fd.get(), &st) != 0 || !same_file(st, t.st))
        return NO_FILE;
    return fd.release();
}

File open_to_read(const char *path)
{
    // Looked at before it is opened, so that a FIFO or a device is never
    // opened at all; a terminal among them never becomes ours.
    struct stat before, st;
    if (stat(path, &before) != 0 || !S_ISREG(before.st_mode))
        return NO_FILE;
    Fd fd(open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.ok() || fstat(fd.get(), &st) != 0 || !same_file(st, before))
        return NO_FILE;
    return fd.release();
}

bool claim_room(File f, uint64_t size)
{
    return fallocate(int(f), FALLOC_FL_KEEP_SIZE, 0, off_t(size)) == 0 || !no_room_left();
}

void on_saved(const unsigned char *, size_t) {}
