// What the Linux files of the platform share among themselves. The game
// sees none of it: platform.h is its one interface.
#pragma once

#include "posix.h"

#include <sys/stat.h>

namespace lnx {

inline bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether `entry` in `folder` is one the user may trust: anything outside
// a shared sticky folder; there, only what the user or the folder's owner
// owns.
bool trusted_here(const struct stat &folder, const struct stat &entry);

} // namespace lnx
