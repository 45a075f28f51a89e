// Where a save goes on Linux: the folder, pinned by a descriptor so that
// nothing renamed after the checks can send the save elsewhere, and the
// file's name there.
#pragma once

#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace lnx {

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

} // namespace lnx

struct Target : TargetBase {
    lnx::Fd folder;
    struct stat folder_st;
    std::string name;
    struct stat st;  // of the existing file
};
