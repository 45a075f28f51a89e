// Open files where they are POSIX descriptors (Linux, and the page's memory
// in a browser): looks, reads, writes.
#include "posix.h"

#include <cerrno>
#include <unistd.h>

namespace {
int64_t ns(const struct timespec &t) { return t.tv_sec * 1000000000LL + t.tv_nsec; }
} // namespace

Look look_of(const struct stat &st)
{
    return {S_ISREG(st.st_mode), uint64_t(st.st_dev), uint64_t(st.st_ino), uint64_t(st.st_size), unsigned(st.st_nlink),
            ns(st.st_mtim),      ns(st.st_ctim),      0};
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

bool set_size(File f, uint64_t size) { return ftruncate(int(f), off_t(size)) == 0; }

bool out_of_room() { return errno == ENOSPC || errno == EDQUOT; }

bool close_file(File f) { return close(int(f)) == 0; }
