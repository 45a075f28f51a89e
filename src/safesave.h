// Saving a bitmap over a file the user owns, the way careful editors do.
#pragma once

#include <allegro.h>

// Writes `bmp` as a BMP to `path` through a temporary file renamed over it:
// `path` holds the old picture or the whole new one, never a torn one. Links
// are followed, and the file keeps its mode, owner and group where it can.
// Does nothing and returns false where an in-place write would be refused
// (a read-only file, something that is not a regular file, a loop of links)
// or on any failure, leaving nothing behind.
bool safe_save(const char *path, BITMAP *bmp, const RGB *palette);
