// What the game asks of the operating system. Each platform gives these
// (src/linux/ for Linux with X11, src/windows/, src/web/), chosen by the
// build. They are primitives: the policy built on them (how a save replaces
// the snapshot file, how its temporary files are named, when the last save
// still holds) is the same everywhere and is written once, in savefile.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// --- the game's start and end ---------------------------------------------------

// Tells the player that the game can't start, the way they will see it:
// one line on stderr where it was started from a terminal or a menu that
// logs it; a message box on Windows, whose windowed programs have no
// console; the page in a browser. `what` is the step that failed, `why` the
// library's reason (empty where it gave none).
void cannot_start(const char *what, const char *why);

// Installs the library's keyboard so that the keys labelled W, S, A, D and
// P act on every layout that has such labels, and on a layout without Latin
// letters the keys at their US places do. Returns install_keyboard()'s
// result.
int install_keys();

// Makes Ctrl+C, kill and a logout set `stop_signal` (stopping.h) rather
// than end the game outright; a second one ends it at once. Call once
// before the library starts (which puts in handlers of its own) and once
// after it. Signals that were ignored when the game started stay ignored.
void catch_stop_signals();

// --- rest ---------------------------------------------------------------------------

// Sleeps until wake_game() is called, by the keyboard's handler or a stop
// signal, since the last wait_for_wake() returned; returns at once if it
// was. It may also return for no reason at all. Meanwhile the window keeps
// showing the board, redrawn wherever it is uncovered.
void wait_for_wake();
// Ends the wait under way, or the next one. Safe from a signal handler and
// from any thread.
void wake_game();

// --- files ----------------------------------------------------------------------

// An open file: a descriptor, or a Windows handle.
using File = intptr_t;
constexpr File NO_FILE = -1;

// What a look at a file tells.
struct Look {
    bool regular;        // a plain file (not a folder, device, pipe, ...)
    uint64_t volume;     // with `index`, which file it is
    uint64_t index;
    uint64_t size;
    unsigned links;      // how many names it has
    int64_t written;     // when its contents last changed, ns since 1970
    int64_t changed;     // when anything about it last changed, where kept
    int64_t born;        // when it was made, where kept; else 0
};

// Where a save to a path goes: the folder the file at the end of the path
// is in, and its name there. Each platform's target.h defines it, with at
// least `bool exists` and `Look look` (of the existing file).
#include "target.h"

// Follows `path` to where a save goes, as an open would, but only through
// links the user can trust. False for a path that can't be looked at,
// loops, or passes a link someone else planted in a shared folder.
bool find_target(const char *path, Target &t);
// Whether the existing file may be written by the user, as an open for
// writing would allow: false for a read-only file, or one someone else
// planted in a shared folder.
bool may_write(const Target &t);
// Looks again at the target's name, without following it.
bool look_at_name(const Target &t, Look &l);

// The folder's own look, and the names in it.
bool look_at_folder(const Target &t, Look &l);
std::vector<std::string> list_folder(const Target &t);
// Removes the temporary file `name` beside the target if the game `pid`
// that made it is gone and it is the user's own; leaves it otherwise.
void remove_if_stale(const Target &t, const std::string &name, unsigned long pid);
// This process's id, as a temporary file's name carries it.
unsigned long process_id();

// Makes the new file `name` beside the target, for writing, to be renamed
// over it: `private_` where it is to take an existing file's identity
// (nobody but the user may open it meanwhile), else as a new file would be
// made. NO_FILE with `taken` set where the name is in use.
File make_temporary(const Target &t, const std::string &name, bool private_, bool &taken);
// Gives the temporary file the existing file's owner, permissions and
// attributes, wherever the user may set them. False where the new file
// would give someone access the old one denied.
bool carry_identity(const Target &t, File temporary);
// Closes the temporary file and renames it over the target in one step:
// true if the target now is that file. On any failure removes it.
bool rename_over(const Target &t, const std::string &name, File temporary);
// Closes the temporary file and removes it.
void remove_temporary(const Target &t, const std::string &name, File temporary);

// Opens the existing target file itself, for reading or writing: NO_FILE
// where it is no longer the file that was found.
File open_target(const Target &t, bool write);
// Opens a file for reading: never anything but a regular file, never in a
// way that could block or make a terminal the game's own.
File open_to_read(const char *path);
bool look_at(File f, Look &l);
// One write or read at `offset`: the bytes it moved, or -1 on failure
// (retried where a signal only interrupted it).
long long write_at(File f, const unsigned char *data, size_t size, uint64_t offset);
long long read_at(File f, unsigned char *data, size_t size, uint64_t offset);
// Makes sure `size` bytes of room are the file's own, where the platform
// can, before it is written in place: false only if the disk has not got it.
bool claim_room(File f, uint64_t size);
bool set_size(File f, uint64_t size);
// Whether the failure just met was the disk or a quota running out of room.
bool out_of_room();
// Closes the file; false if the close reported that a write failed.
bool close_file(File f);

// Tells the page that a save was made (where saves live in a browser's own
// storage, as well as in its memory); nothing elsewhere.
void saved_to(const char *path, const unsigned char *data, size_t size);
