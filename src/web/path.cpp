// Following a path to where a save goes, in the game's memory.
#include "web.h"

#include <cerrno>
#include <sys/stat.h>

bool web::info_at(const std::string &path, FileInfo &i)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return false;
    i = info_of(st);
    return true;
}

bool find_target(const char *path, Target &t)
{
    t.path = path;
    const size_t slash = t.path.rfind('/');
    t.folder = slash == std::string::npos ? "" : t.path.substr(0, slash + 1);
    t.exists = web::info_at(t.path, t.info);
    return t.exists || errno == ENOENT;
}

// Nobody else writes the game's memory.
bool may_write(const Target &) { return true; }

bool name_info(const Target &t, FileInfo &i) { return web::info_at(t.path, i); }

// The game's memory is this game's alone and starts empty: no other game
// ever left a temporary file in it, and this one never leaves one behind,
// so its folder is never looked at for them.
bool folder_info(const Target &, FileInfo &) { return false; }
