// What the Linux files of the platform share among themselves. The game
// sees none of it: platform.h is its one interface.
#pragma once

#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace posix {

// A descriptor closed when it goes out of scope.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd &&o) noexcept : fd_(o.release()) {}
    Fd &operator=(Fd &&o) noexcept
    {
        reset(o.release());
        return *this;
    }
    ~Fd() { reset(); }
    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

inline bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// --- path.cpp: following the path

// Where a save to a path goes: the file at the end of its links, as the
// folder it is in (pinned by a descriptor, so that nothing renamed after
// the checks can send the save elsewhere) and its name there.
struct Target {
    Fd folder;
    struct stat folder_st;
    std::string name;
    bool exists;
    struct stat st;  // of the existing file
};

// Walks `path` one component at a time, following every link as the kernel
// would, but only links it can trust. False for a loop of links, a link
// planted in a shared folder, a path that can't be looked at, or one that
// does not end at a name.
bool resolve(const char *path, Target &t);

// Whether `entry` in `folder` is one the user may trust: anything outside
// a shared sticky folder; there, only what the user or the folder's owner
// owns.
bool trusted_here(const struct stat &folder, const struct stat &entry);

// --- temporaries.cpp: the save's temporary files

// A new private temporary file beside the target, its name in `name`.
Fd make_temporary(int folder, mode_t mode, std::string &name);
// Removes what games that were killed outright left in the target's folder.
void remove_stale_temporaries(const Target &t);

// --- identity.cpp: what the old file carried

using Attributes = std::vector<std::pair<std::string, std::string>>;
// The existing file's extended attributes, its ACL among them.
bool attributes_of(const Target &t, Attributes &out);
// Gives the new file the old one's owner, group, mode, ACL and attributes,
// wherever the process may set them, so that no one gains access.
void take_identity(int fd, const struct stat &old, const Attributes &attributes);

} // namespace posix
