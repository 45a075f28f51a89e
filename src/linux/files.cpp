// Open files on Linux: looks, reads, writes.
#include "linux.h"

#include <cerrno>
#include <fcntl.h>

using namespace lnx;

namespace {
int64_t ns(const struct timespec &t) { return t.tv_sec * 1000000000LL + t.tv_nsec; }
} // namespace

Look lnx::look_of(const struct stat &st)
{
    return {S_ISREG(st.st_mode), uint64_t(st.st_dev), uint64_t(st.st_ino), uint64_t(st.st_size), unsigned(st.st_nlink),
            ns(st.st_mtim),      ns(st.st_ctim),      0};
}

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

bool look_at(File f, Look &l)
{
    struct stat st;
    if (fstat(int(f), &st) != 0)
        return false;
    l = look_of(st);
    return true;
}

long long write_at(File f, const unsigned char *data, size_t size, uint64_t offset)
{
    ssize_t n;
    while ((n = pwrite(int(f), data, size, off_t(offset))) < 0 && errno == EINTR) {
    }
    return n;
}

long long read_at(File f, unsigned char *data, size_t size, uint64_t offset)
{
    ssize_t n;
    while ((n = pread(int(f), data, size, off_t(offset))) < 0 && errno == EINTR) {
    }
    return n;
}

bool claim_room(File f, uint64_t size)
{
    return fallocate(int(f), FALLOC_FL_KEEP_SIZE, 0, off_t(size)) == 0 || !out_of_room();
}

bool set_size(File f, uint64_t size) { return ftruncate(int(f), off_t(size)) == 0; }

bool out_of_room() { return errno == ENOSPC || errno == EDQUOT; }

bool close_file(File f) { return close(int(f)) == 0; }

void saved_to(const char *, const unsigned char *, size_t) {}
