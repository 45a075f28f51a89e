// What Linux and the browser share: open files are POSIX descriptors.
#pragma once

#include "platform.h"

#include <sys/stat.h>

Look look_of(const struct stat &st);
