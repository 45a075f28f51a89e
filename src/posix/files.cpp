// Open files where they are POSIX descriptors (Linux, and the game's memory
// in a browser): what they are, reads, writes.
#include "posix.h"

#include <cerrno>
#include <unistd.h>

namespace {
int64_t ns(const struct timespec &t) { return t.tv_sec * 1000000000LL + t.tv_nsec; }
} // namespace

FileInfo info_of(const struct stat &st)
{
    return {S_ISREG(st.st_mode), uint64_t(st.st_dev), uint64_t(st.st_ino), uint64_t(st.st_size), unsigned(st.st_nlink),
            ns(st.st_mtim),      ns(st.st_ctim),      0};
}

bool file_info(File f, FileInfo &i)
{
    struct stat st;
    if (fstat(int(f), &st) != 0)
        return false;
    i = info_of(st);
    return true;
}

bool no_room_left() { return errno == ENOSPC || errno == EDQUOT; }

long long write_at(File f, const unsigned char *data, size_t size, uint64_t offset)
{
    ssize_t n;
    while ((n = pwrite(int(f), data, size, off_t(offset))) < 0 && errno == EINTR) {
    }
    return n >= 0 ? n : no_room_left() ? NO_ROOM : FAILED;
}

long long read_at(File f, unsigned char *data, size_t size, uint64_t offset)
{
    ssize_t n;
    while ((n = pread(int(f), data, size, off_t(offset))) < 0 && errno == EINTR) {
    }
    return n >= 0 ? n : FAILED;
}

bool set_size(File f, uint64_t size) { return ftruncate(int(f), off_t(size)) == 0; }

bool close_file(File f) { return close(int(f)) == 0; }
