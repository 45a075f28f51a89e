// The save's temporary files in the game's memory. Nobody else writes it:
// no other game ever left a temporary file there, and none is held.
#include "web.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

std::vector<std::string> list_folder(const Target &) { return {}; }
void remove_if_stale(const Target &, const std::string &) {}

unsigned long process_id() { return (unsigned long)getpid(); }

File make_temporary(const Target &t, const std::string &name, bool &taken)
{
    const int fd = open((t.folder + name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    taken = fd < 0 && errno == EEXIST;
    return fd < 0 ? NO_FILE : fd;
}

// The file system's rename unhooks only the file it moves: the one it
// replaces would stay in memory, a whole snapshot for every save. That one
// goes first; nobody else writes the game's memory, and what lasts is in
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
