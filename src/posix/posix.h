// What Linux and the browser share: open files are POSIX descriptors.
#pragma once

#include "platform.h"

#include <sys/stat.h>

FileInfo info_of(const struct stat &st);

// Whether the failure the last call met was the disk or a quota running
// out of room: asked right after that call.
bool no_room_left();
