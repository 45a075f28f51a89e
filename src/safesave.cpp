#include "safesave.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <string>
#include <utility>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Temporary files are named ".load-<pid>-XXXXXX.bmp" and made beside the
// file they replace (a rename can't cross file systems): hidden, unique,
// and ending in ".bmp" since the library picks the format by extension.
constexpr char TMP_PREFIX[] = ".load-";
constexpr char TMP_SUFFIX[] = ".bmp";
// As many links as the kernel follows before it calls the chain a loop.
constexpr int MAX_LINKS = 40;

// The temporary file being written, if any, so that a signal can remove it.
volatile sig_atomic_t writing = 0;
char pending[PATH_MAX];
struct sigaction previous[NSIG];

void drop_pending_and_reraise(int sig)
{
    if (writing)
        unlink(pending);
    // Hand over to whatever handled the signal before us (the library's
    // clean-up, or the default action).
    sigaction(sig, &previous[sig], nullptr);
    raise(sig);
}

void catch_termination()
{
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
        struct sigaction sa {};
        sa.sa_handler = drop_pending_and_reraise;
        sigemptyset(&sa.sa_mask);
        sigaction(sig, &sa, &previous[sig]);
    }
}

// `name` in the folder of `path`.
std::string beside(const std::string &path, const std::string &name)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? name : path.substr(0, slash + 1) + name;
}

// Removes temporary files left beside `path` by copies of the game that
// were killed outright (SIGKILL leaves no chance to clean up). Files of
// copies still running are left alone. Each folder is looked at once.
void remove_stale_temporaries(const std::string &path)
{
    static std::set<std::pair<dev_t, ino_t>> done;
    const std::string folder = beside(path, ".");
    struct stat st;
    if (stat(folder.c_str(), &st) != 0 || !done.insert({st.st_dev, st.st_ino}).second)
        return;
    DIR *dir = opendir(folder.c_str());
    if (!dir)
        return;
    while (dirent *e = readdir(dir)) {
        long pid = 0;
        int used = 0;
        const size_t len = std::strlen(e->d_name);
        if (std::strncmp(e->d_name, TMP_PREFIX, sizeof TMP_PREFIX - 1) != 0 || len < sizeof TMP_SUFFIX ||
            std::strcmp(e->d_name + len - (sizeof TMP_SUFFIX - 1), TMP_SUFFIX) != 0)
            continue;
        if (std::sscanf(e->d_name + sizeof TMP_PREFIX - 1, "%ld-%n", &pid, &used) != 1 || used == 0 || pid <= 0)
            continue;
        if (kill(pid_t(pid), 0) != 0 && errno == ESRCH)
            unlink(beside(path, e->d_name).c_str());
    }
    closedir(dir);
}

// Where a save to `path` really goes: the end of its chain of symbolic
// links, as writing through them would. False for a loop of links or a
// path that can't be looked at.
struct Target {
    std::string path;
    bool exists;
    struct stat st;  // of the existing file
};

bool resolve(const char *path, Target &t)
{
    t.path = path;
    for (int links = 0; links <= MAX_LINKS; links++) {
        if (lstat(t.path.c_str(), &t.st) != 0) {
            t.exists = false;  // a new file, or the target of a dangling link
            return errno == ENOENT;
        }
        if (!S_ISLNK(t.st.st_mode)) {
            t.exists = true;
            return true;
        }
        char to[PATH_MAX];
        const ssize_t n = readlink(t.path.c_str(), to, sizeof to);
        if (n <= 0 || size_t(n) >= sizeof to)
            return false;
        // A relative link is relative to the folder the link is in.
        t.path = to[0] == '/' ? std::string(to, size_t(n)) : beside(t.path, std::string(to, size_t(n)));
    }
    return false;
}

// The replacement takes the old file's owner, group and permission bits
// wherever the process may set them. Where the group can't be kept, the
// new group gets no more than others had, so no one gains access to the
// picture that the old file did not give them.
void take_identity(int fd, const struct stat &old)
{
    mode_t mode = old.st_mode & 0777;
    if (fchown(fd, old.st_uid, old.st_gid) != 0 && fchown(fd, uid_t(-1), old.st_gid) != 0)
        mode = (mode & 0707) | (mode & 07) << 3;
    fchmod(fd, mode);
}

// A new file gets the usual permissions, as if the library had created it.
void new_file_mode(int fd)
{
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
}

// The library's writer may not notice a short write (a full disk shows only
// when the buffer is flushed at close). A whole BMP is exactly as long as
// its header says.
bool complete_bmp(int fd)
{
    unsigned char head[6];
    struct stat st;
    if (pread(fd, head, sizeof head, 0) != ssize_t(sizeof head) || fstat(fd, &st) != 0 || head[0] != 'B' ||
        head[1] != 'M')
        return false;
    const unsigned long declared = head[2] | head[3] << 8 | head[4] << 16 | (unsigned long)head[5] << 24;
    return (unsigned long)st.st_size == declared;
}

} // namespace

bool safe_save(const char *path, BITMAP *bmp, const RGB *palette)
{
    static bool first = true;
    if (first) {
        first = false;
        catch_termination();
    }

    Target t;
    if (!resolve(path, t))
        return false;
    // Where an in-place write would be refused or could block, so is this.
    if (t.exists && (!S_ISREG(t.st.st_mode) || faccessat(AT_FDCWD, t.path.c_str(), W_OK, AT_EACCESS) != 0))
        return false;
    remove_stale_temporaries(t.path);

    const std::string tmp = beside(t.path, TMP_PREFIX + std::to_string(getpid()) + "-XXXXXX" + TMP_SUFFIX);
    if (tmp.size() >= sizeof pending)
        return false;
    // The name goes where the signal handler sees it before the file exists.
    std::memcpy(pending, tmp.c_str(), tmp.size() + 1);
    writing = 1;
    // mkstemps() makes the file private: so it stays while it is written.
    const int fd = mkstemps(pending, sizeof TMP_SUFFIX - 1);
    if (fd < 0) {
        writing = 0;
        return false;
    }
    bool ok = save_bitmap(pending, bmp, palette) == 0 && complete_bmp(fd);
    if (ok) {
        if (t.exists)
            take_identity(fd, t.st);
        else
            new_file_mode(fd);
    }
    ok = close(fd) == 0 && ok && std::rename(pending, t.path.c_str()) == 0;
    if (!ok)
        unlink(pending);
    writing = 0;
    return ok;
}
