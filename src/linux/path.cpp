// Following a path to the file it leads to, as the kernel would, but only
// through links the user can trust.
#include "linux.h"

#include <climits>
#include <deque>
#include <cerrno>
#include <fcntl.h>

namespace lnx {

namespace {
// As many links as the kernel follows before it calls the chain a loop.
constexpr int MAX_LINKS = 40;

std::deque<std::string> components(const std::string &path)
{
    std::deque<std::string> parts;
    size_t at = 0;
    while (at < path.size()) {
        const size_t end = std::min(path.find('/', at), path.size());
        if (end > at)
            parts.push_back(path.substr(at, end - at));
        at = end + 1;
    }
    return parts;
}

Fd open_folder(int at, const char *name)
{
    return Fd(openat(at, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

bool sticky_and_shared(const struct stat &folder)
{
    return (folder.st_mode & S_ISVTX) && (folder.st_mode & S_IWOTH);
}
} // namespace

// In a sticky folder that everyone may write (/tmp, say), anyone can plant
// a link or a file under a name another user will use. The kernel follows
// such a link, or lets such a file be opened for writing, only if it
// belongs to the user or to the folder's owner, when the machine asks it
// to; the save asks this always, since refusing is the safe side.
bool trusted_here(const struct stat &folder, const struct stat &entry)
{
    return !sticky_and_shared(folder) || entry.st_uid == geteuid() || entry.st_uid == folder.st_uid;
}

} // namespace lnx

using namespace lnx;

bool find_target(const char *path, Target &t)
{
    std::deque<std::string> todo = components(path);
    t.folder = open_folder(AT_FDCWD, path[0] == '/' ? "/" : ".");
    int links = 0;
    while (t.folder.ok() && !todo.empty()) {
        const std::string c = todo.front();
        todo.pop_front();
        const bool last = todo.empty();
        if (fstat(t.folder.get(), &t.folder_st) != 0 || (last && (c == "." || c == "..")))
            return false;
        if (c == ".")
            continue;
        struct stat st;
        if (fstatat(t.folder.get(), c.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            // A new file, or the target of a dangling link.
            const bool missing = errno == ENOENT;
            t.name = c;
            t.exists = false;
            return last && missing;
        }
        if (S_ISLNK(st.st_mode)) {
            char to[PATH_MAX];
            const ssize_t n = readlinkat(t.folder.get(), c.c_str(), to, sizeof to);
            if (++links > MAX_LINKS || !trusted_here(t.folder_st, st) || n <= 0 || size_t(n) >= sizeof to)
                return false;
            const std::string target(to, size_t(n));
            const std::deque<std::string> more = components(target);
            todo.insert(todo.begin(), more.begin(), more.end());
            if (target[0] == '/')
                t.folder = open_folder(AT_FDCWD, "/");
            continue;
        }
        if (last) {
            t.name = c;
            t.exists = true;
            t.st = st;
            t.info = info_of(st);
            return true;
        }
        t.folder = open_folder(t.folder.get(), c.c_str());
    }
    return false;
}

// Where an open for writing would be refused or could block, so is this:
// a file the user may not write, or one that someone else planted in a
// shared sticky folder.
bool may_write(const Target &t)
{
    return trusted_here(t.folder_st, t.st) && faccessat(t.folder.get(), t.name.c_str(), W_OK, AT_EACCESS) == 0;
}

bool name_info(const Target &t, FileInfo &i)
{
    struct stat st;
    if (fstatat(t.folder.get(), t.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    i = info_of(st);
    return true;
}

bool folder_info(const Target &t, FileInfo &i)
{
    struct statx sx;
    i = info_of(t.folder_st);
    i.born_ns = statx(t.folder.get(), "", AT_EMPTY_PATH, STATX_BTIME, &sx) == 0 && (sx.stx_mask & STATX_BTIME)
                    ? sx.stx_btime.tv_sec * 1000000000LL + sx.stx_btime.tv_nsec
                    : 0;
    return true;
}
