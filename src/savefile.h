// The snapshot file on every platform: how a save replaces it, how the game
// tells that the file still holds the last save, and how it is read.
#pragma once

#include <cstddef>
#include <vector>

// Replaces the file that `path` leads to with `size` bytes, so that it holds
// the old contents or all of the new ones, and keeps what the user set on
// it. Does nothing and returns false where an in-place write would be
// refused, where the path is not safe to follow, or on any failure, leaving
// nothing behind.
bool replace_file(const char *path, const unsigned char *data, size_t size);

// True only where the file that `path` leads to certainly holds the `size`
// bytes `data` that the last successful replace_file() wrote: still the
// very file it left there, untouched since. Costs a look at the file, and
// for a moment after a save (while a change could leave its times as they
// were) a read of it.
bool still_holds(const char *path, const unsigned char *data, size_t size);

// Reads a whole regular file of at most `max` bytes into `out`; false if
// it can't. Never opens anything but a regular file, and never blocks.
bool read_file(const char *path, size_t max, std::vector<unsigned char> &out);
