// What the browser's files of the platform share among themselves. The
// game sees none of it: platform.h is its one interface.
#pragma once

#include "posix.h"

#include <string>

namespace web {
// What is at `path` in the worker's memory.
bool info_at(const std::string &path, FileInfo &i);
} // namespace web
