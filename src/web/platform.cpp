// Files, the rest and the game's end in the browser, where the game runs in
// a worker of the page. The current folder lives in the worker's memory;
// the page's code stores each save in the browser's own storage (IndexedDB)
// the moment the game has made it. The browser gives no signals to catch
// and shows no stderr: a failed start is told on the page.
#include "posix.h"

#include <allegro.h>
#include <emscripten.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool look_at_path(const std::string &path, Look &l)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return false;
    l = look_of(st);
    return true;
}

} // namespace

// The page stores the bytes before the pass goes on: a reload, close or
// crash of the tab after this pass keeps the save.
EM_JS(void, web_saved, (const unsigned char *data, size_t size), {
    Module.vellomarSaved(HEAPU8.subarray(data, data + size));
});
EM_JS(void, web_cannot_start, (const char *text), { Module.vellomarCannotStart(UTF8ToString(text)); });

void saved_to(const char *, const unsigned char *data, size_t size) { web_saved(data, size); }

// --- the target and its folder ------------------------------------------------------

bool find_target(const char *path, Target &t)
{
    t.path = path;
    const size_t slash = t.path.rfind('/');
    t.folder = slash == std::string::npos ? "" : t.path.substr(0, slash + 1);
    t.exists = look_at_path(t.path, t.look);
    return t.exists || errno == ENOENT;
}

// Nobody else writes the page's memory.
bool may_write(const Target &) { return true; }

bool look_at_name(const Target &t, Look &l) { return look_at_path(t.path, l); }

// The page's memory is this game's alone and starts empty: no other game
// ever left a temporary file in it, and this one never leaves one behind.
bool look_at_folder(const Target &, Look &) { return false; }
std::vector<std::string> list_folder(const Target &) { return {}; }
void remove_if_stale(const Target &, const std::string &, unsigned long) {}

unsigned long process_id() { return (unsigned long)getpid(); }

// --- the temporary file ----------------------------------------------------------------

File make_temporary(const Target &t, const std::string &name, bool, bool &taken)
{
    const int fd = open((t.folder + name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    taken = fd < 0 && errno == EEXIST;
    return fd < 0 ? NO_FILE : fd;
}

bool carry_identity(const Target &, File) { return true; }

// The file system's rename unhooks only the file it moves: the one it
// replaces would stay in memory, a whole snapshot for every save. That one
// goes first; nobody else writes the page's memory, and what lasts is in
// the browser's storage.
bool rename_over(const Target &t, const std::string &name, File temporary)
{
    const std::string tmp = t.folder + name;
    if (close(int(temporary)) == 0 && (unlink(t.path.c_str()) == 0 || errno == ENOENT) &&
        rename(tmp.c_str(), t.path.c_str()) == 0)
        return true;
    unlink(tmp.c_str());
    return false;
}

void remove_temporary(const Target &t, const std::string &name, File temporary)
{
    close(int(temporary));
    unlink((t.folder + name).c_str());
}

// --- open files --------------------------------------------------------------------------

File open_target(const Target &t, bool write)
{
    const int fd = open(t.path.c_str(), (write ? O_WRONLY : O_RDONLY) | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && uint64_t(st.st_dev) == t.look.volume && uint64_t(st.st_ino) == t.look.index)
        return fd;
    if (fd >= 0)
        close(fd);
    return NO_FILE;
}

File open_to_read(const char *path)
{
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return NO_FILE;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    return fd < 0 ? NO_FILE : fd;
}

bool claim_room(File, uint64_t) { return true; }

void cannot_start(const char *what, const char *why)
{
    const std::string text = std::string("Vellomar cannot start: ") + what + (why[0] ? std::string(": ") + why : "");
    std::fprintf(stderr, "%s\n", text.c_str());
    web_cannot_start(text.c_str());
}

void catch_stop_signals() {}

// The game learns of keys only at the page's turns: the rest ends with one,
// which takes the keys that came, and needs no other wake-up.
extern "C" void web_wait_for_input();
void wait_for_wake() { web_wait_for_input(); }
void wake_game() {}

// The page maps keys by their labels, and by their places on a layout
// without Latin letters, before they reach the library's keyboard driver.
int install_keys() { return install_keyboard(); }
