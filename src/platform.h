// What the game asks of the operating system: files and stop signals. Each
// platform implements it (src/posix/ for Linux with X11,
// platform_windows.cpp), chosen by the build; nothing else in the game
// differs by platform.
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

// True only where the file that `path` leads to certainly holds the `size`
// bytes `data` that the last successful replace_file() wrote: still the
// very file it left there, untouched since. Costs a look at the file, and
// for a moment after a save (while a change could leave its times as they
// were) a read of it.
bool still_holds(const char *path, const unsigned char *data, size_t size);

// Reads a whole regular file of at most `max` bytes into `out`; false if
// it can't. Never opens anything but a regular file, and never blocks.
bool read_file(const char *path, size_t max, std::vector<unsigned char> &out);

// Tells the player that the game can't start, the way they will see it:
// one line on stderr where it was started from a terminal or a menu that
// logs it; a message box on Windows, whose windowed programs have no
// console. `what` is the step that failed, `why` the library's reason
// (empty where it gave none).
void cannot_start(const char *what, const char *why);

// Installs the library's keyboard so that the keys labelled W, S, A, D and
// P act on every layout that has such labels, and on a layout without Latin
// letters the keys at their US places do. Returns install_keyboard()'s
// result.
int install_keys();

// Ctrl+C, kill and a logout end the game at the end of a pass: their
// handler only sets `stop_signal`; a second one ends it at once. Call once
// before the library starts (which puts in handlers of its own) and once
// after it. Signals that were ignored when the game started stay ignored.
// Should the display go away, the process ends at once, by the stop signal
// if one came, else with status 1 and one line on stderr.
void catch_stop_signals();
extern volatile std::sig_atomic_t stop_signal;
// If a stop signal ended the loop: ends the process by that signal, after
// the library's own shutdown, so that the shell sees what ended it.
void end_by_stop_signal();
