// What the game asks of the operating system: files and stop signals. One
// file per platform implements it (platform_posix.cpp, platform_windows.cpp),
// chosen by the build; nothing else in the game differs by platform.
#pragma once

#include <csignal>
#include <cstddef>
#include <vector>

// Replaces the file that `path` leads to with `size` bytes, so that it holds
// the old contents or all of the new ones, and keeps what the user set on
// it. Does nothing and returns false where an in-place write would be
// refused, where the path is not safe to follow, or on any failure, leaving
// nothing behind.
bool replace_file(const char *path, const unsigned char *data, size_t size);

// True while the file that `path` leads to is still the very file that the
// last successful replace_file() left there, untouched since.
bool still_as_replaced(const char *path);

// Reads a whole regular file of at most `max` bytes into `out`; false if
// it can't. Never opens anything but a regular file, and never blocks.
bool read_file(const char *path, size_t max, std::vector<unsigned char> &out);

// Ctrl+C, kill and a logout end the game at the end of a pass: their
// handler only sets `stop_signal`. Call once before the library starts
// (which puts in handlers of its own) and once after it. Signals that
// were ignored when the game started stay ignored.
void catch_stop_signals();
extern volatile std::sig_atomic_t stop_signal;
// If a stop signal ended the loop: ends the process by that signal, after
// the library's own shutdown, so that the shell sees what ended it.
void end_by_stop_signal();
