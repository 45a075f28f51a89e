// What the game asks of the operating system. Each platform gives these
// primitives, in a folder of its own that the build picks (src/linux/ for
// Linux with X11, src/windows/, src/web/), in files of the same names for
// the same concerns: message.cpp, keyboard.cpp, window.cpp, signals.cpp,
// rest.cpp, path.cpp, temporaries.cpp, identity.cpp, files.cpp, with its
// target.h.
// Where Linux and the browser share code, it is in src/posix/. The policy
// built on them (how a save replaces the snapshot file, how its temporary
// files are named, when the last save still holds) is the same everywhere
// and is written once, in savefile.cpp; no platform knows it.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// --- the game's start and end (message.cpp, keyboard.cpp, window.cpp, signals.cpp) --

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

// What the desktop knows the game's window by, beyond its caption (the
// library's): its class, named before the window is made, and its icon,
// set once it is.
void name_window();
void set_window_icon();

// The stop signal that came (Ctrl+C, kill, a logout), or 0: the loop ends
// at the end of its pass (stopping.h).
extern volatile std::sig_atomic_t stop_signal;

// Makes the stop signals set `stop_signal` and wake the game rather than
// end it outright; a second one ends it at once. Call once before the
// library starts (which puts in handlers of its own) and once after it.
// Signals that were ignored when the game started stay ignored. Where the
// display can go away under the game (X11), that ends it here too, at
// once, by the signal if one came, else with one line and status 1.
void catch_stop_signals();

// --- rest (rest.cpp) --------------------------------------------------------------

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

// What the system tells of a file.
struct FileInfo {
    bool regular;         // a plain file (not a folder, device, pipe, ...)
    uint64_t volume;      // with `index`, which file it is
    uint64_t index;
    uint64_t size;
    unsigned links;       // how many names it has
    int64_t modified_ns;  // when its contents last changed, since 1970
    int64_t changed_ns;   // when anything about it last changed, where kept
    int64_t born_ns;      // when it was made, where kept; else 0
};

// Whether two FileInfos are of the same file.
inline bool same_file(const FileInfo &a, const FileInfo &b) { return a.volume == b.volume && a.index == b.index; }

// Where a save to a path goes: the folder the file at the end of the path
// is in, and its name there. Each platform's target.h defines `Target`,
// built on this, with what it needs to find them again.
struct TargetBase {
    bool exists = false;  // whether a file is there now
    FileInfo info{};      // of that file
};
#include "target.h"

// --- the target and its folder (path.cpp) -------------------------------------------

// Follows `path` to where a save goes, as an open would, but only through
// links the user can trust. False for a path that can't be looked at,
// loops, or passes a link someone else planted in a shared folder.
bool find_target(const char *path, Target &t);
// Whether the existing file may be written by the user, as an open for
// writing would allow: false for a read-only file, or one someone else
// planted in a shared folder.
bool may_write(const Target &t);
// What is under the target's name now, not following it.
bool name_info(const Target &t, FileInfo &i);
// The folder's own information.
bool folder_info(const Target &t, FileInfo &i);

// --- temporary files (temporaries.cpp) ------------------------------------------------

// The names in the target's folder that a temporary file could have (plain
// ASCII), every one of them.
std::vector<std::string> list_folder(const Target &t);
// Removes the file `name` beside the target if it is a temporary file of
// the user's own that no running game holds; leaves it otherwise.
void remove_if_stale(const Target &t, const std::string &name);
// This process's id, as a temporary file's name carries it for people.
unsigned long process_id();
// Makes the new file `name` beside the target, for writing, to be renamed
// over it, held by this game until it is. Where the target exists, nobody
// but the user may open it before it has taken that file's identity;
// otherwise it is made as a new file would be. NO_FILE with `taken` set
// where the name is in use.
File make_temporary(const Target &t, const std::string &name, bool &taken);
// Closes the temporary file and renames it over the target in one step:
// true if the target now is that file. On any failure removes it.
bool rename_over(const Target &t, const std::string &name, File temporary);
// Closes the temporary file and removes it.
void remove_temporary(const Target &t, const std::string &name, File temporary);

// --- identity (identity.cpp) --------------------------------------------------------

// Gives the temporary file the existing file's owner, permissions and
// attributes, wherever the user may set them. False where the new file
// would give someone access the old one denied.
bool carry_identity(const Target &t, File temporary);

// --- open files (files.cpp) ---------------------------------------------------------

// Opens the existing target file itself, for reading or writing: NO_FILE
// where it is no longer the file that was found.
File open_target(const Target &t, bool write);
// Opens a file for reading: never anything but a regular file, never in a
// way that could block or make a terminal the game's own.
File open_to_read(const char *path);
bool file_info(File f, FileInfo &i);
// One write or read at `offset`: the bytes it moved, or FAILED (retried
// where a signal only interrupted it). A write that found the disk or a
// quota full gives NO_ROOM.
constexpr long long FAILED = -1, NO_ROOM = -2;
long long write_at(File f, const unsigned char *data, size_t size, uint64_t offset);
long long read_at(File f, unsigned char *data, size_t size, uint64_t offset);
// Makes sure `size` bytes of room are the file's own, where the platform
// can, before it is written in place: false only if the disk has not got it.
bool claim_room(File f, uint64_t size);
bool set_size(File f, uint64_t size);
// Closes the file; false if the close reported that a write failed.
bool close_file(File f);
// Keeps a save where it must be kept besides the file (a browser's own
// storage, which outlasts the page's memory); nothing elsewhere.
void on_saved(const unsigned char *data, size_t size);
