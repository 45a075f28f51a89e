// Files and stop signals on Linux and other POSIX systems.
//
// The save replaces "load.bmp" the way careful editors do: a temporary file
// beside the real file, written through its own descriptor and renamed over
// it, so a killed game or a full disk never costs the last good snapshot.
// Taking that over from the kernel's in-place write means keeping every
// protection the kernel gave it: links in shared sticky folders that belong
// to someone else are not followed, files planted there are not replaced,
// nothing is written where the user may not write, and the new file keeps
// the owner, group, mode, ACL and other attributes of the old one.
#include "platform.h"

#include <allegro.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <utility>

namespace {

// A descriptor closed when it goes out of scope.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd &&o) noexcept : fd_(o.release()) {}
    Fd &operator=(Fd &&o) noexcept
    {
        reset(o.release());
        return *this;
    }
    ~Fd() { reset(); }
    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// --- following the path ------------------------------------------------------

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

// In a sticky folder that everyone may write (/tmp, say), anyone can plant
// a link or a file under a name another user will use. The kernel follows
// such a link, or lets such a file be opened for writing, only if it
// belongs to the user or to the folder's owner, when the machine asks it
// to; the save asks this always, since refusing is the safe side.
bool trusted_here(const struct stat &folder, const struct stat &entry)
{
    return !sticky_and_shared(folder) || entry.st_uid == geteuid() || entry.st_uid == folder.st_uid;
}

// Where a save to a path goes: the file at the end of its links, as the
// folder it is in (pinned by a descriptor, so that nothing renamed after
// the checks can send the save elsewhere) and its name there.
struct Target {
    Fd folder;
    struct stat folder_st;
    std::string name;
    bool exists;
    struct stat st;  // of the existing file
};

// Walks `path` one component at a time, following every link as the kernel
// would, but only links it can trust. False for a loop of links, a link
// planted in a shared folder, a path that can't be looked at, or one that
// does not end at a name.
bool resolve(const char *path, Target &t)
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
            return true;
        }
        t.folder = open_folder(t.folder.get(), c.c_str());
    }
    return false;
}

// --- temporary files -----------------------------------------------------------

// Temporary files are named ".load-<pid>-XXXXXX.bmp", six letters or digits
// in place of the Xs, and made beside the file they replace (a rename
// can't cross file systems).
constexpr char TMP_PREFIX[] = ".load-";
constexpr char TMP_SUFFIX[] = ".bmp";
constexpr int TMP_RANDOM = 6;
constexpr char TMP_CHARS[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

Fd make_temporary(int folder, mode_t mode, std::string &name)
{
    static unsigned long long seed =
        (unsigned long long)std::chrono::steady_clock::now().time_since_epoch().count() ^ (unsigned long long)getpid() << 32;
    for (int tries = 0; tries < 100; tries++) {
        name = TMP_PREFIX + std::to_string(getpid()) + "-";
        for (int i = 0; i < TMP_RANDOM; i++) {
            seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
            name += TMP_CHARS[(seed >> 33) % (sizeof TMP_CHARS - 1)];
        }
        name += TMP_SUFFIX;
        Fd fd(openat(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (fd.ok() || errno != EEXIST)
            return fd;
    }
    return Fd();
}

// The pid in `name` if it has exactly the form of a temporary file's name,
// else 0.
long temporary_pid(const char *name)
{
    const size_t len = std::strlen(name), pre = sizeof TMP_PREFIX - 1, suf = sizeof TMP_SUFFIX - 1;
    if (len < pre + 2 + TMP_RANDOM + suf || std::strncmp(name, TMP_PREFIX, pre) != 0 ||
        std::strcmp(name + len - suf, TMP_SUFFIX) != 0)
        return 0;
    const char *digits = name + pre, *dash = name + len - suf - TMP_RANDOM - 1;
    if (*dash != '-' || *digits == '0' || dash - digits > 9)
        return 0;
    long pid = 0;
    for (const char *p = digits; p < dash; p++) {
        if (*p < '0' || *p > '9')
            return 0;
        pid = pid * 10 + (*p - '0');
    }
    for (const char *p = dash + 1; p < name + len - suf; p++)
        if (!*p || !std::strchr(TMP_CHARS, *p))
            return 0;
    return pid;
}

// Removes temporary files left in a folder by copies of the game that were
// killed outright (SIGKILL leaves no chance to clean up): only files of
// exactly our form, regular, the saving user's own, whose game is gone. A
// file with our own pid is an earlier game's that had it: we never leave
// one behind while we run. Each folder is looked at once.
void remove_stale_temporaries(const Target &t)
{
    static std::set<std::pair<dev_t, ino_t>> done;
    if (!done.insert({t.folder_st.st_dev, t.folder_st.st_ino}).second)
        return;
    const int listing = openat(t.folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *dir = listing < 0 ? nullptr : fdopendir(listing);
    if (!dir) {
        if (listing >= 0)
            close(listing);
        return;
    }
    while (dirent *e = readdir(dir)) {
        const long pid = temporary_pid(e->d_name);
        struct stat st;
        if (pid > 0 && fstatat(t.folder.get(), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            st.st_uid == geteuid() && (pid == getpid() || (kill(pid_t(pid), 0) != 0 && errno == ESRCH)))
            unlinkat(t.folder.get(), e->d_name, 0);
    }
    closedir(dir);
}

// --- what the old file carried ---------------------------------------------------

using Attributes = std::vector<std::pair<std::string, std::string>>;

// The extended attributes of the existing file: its ACL among them. Read
// through a descriptor of the file itself; where it may not be read, through
// a descriptor that only names it.
bool attributes_of(const Target &t, Attributes &out)
{
    out.clear();
    Fd fd(openat(t.folder.get(), t.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    std::string via;
    if (!fd.ok()) {
        fd.reset(openat(t.folder.get(), t.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        via = "/proc/self/fd/" + std::to_string(fd.get());
    }
    struct stat st;
    if (!fd.ok() || fstat(fd.get(), &st) != 0 || st.st_ino != t.st.st_ino || st.st_dev != t.st.st_dev)
        return false;
    const auto list = [&](char *buf, size_t n) {
        return via.empty() ? flistxattr(fd.get(), buf, n) : listxattr(via.c_str(), buf, n);
    };
    const auto get = [&](const char *name, void *buf, size_t n) {
        return via.empty() ? fgetxattr(fd.get(), name, buf, n) : getxattr(via.c_str(), name, buf, n);
    };
    ssize_t n = list(nullptr, 0);
    if (n < 0)
        return errno == ENOTSUP;  // a file system without attributes
    std::string names(size_t(n), '\0');
    if ((n = list(names.data(), names.size())) < 0)
        return false;
    for (size_t at = 0; at < size_t(n); at += std::strlen(&names[at]) + 1) {
        const char *name = &names[at];
        const ssize_t len = get(name, nullptr, 0);
        std::string value(len > 0 ? size_t(len) : 0, '\0');
        if (len < 0 || get(name, value.data(), value.size()) != len)
            return false;
        out.emplace_back(name, std::move(value));
    }
    return true;
}

// A POSIX access ACL as the kernel stores it: a version, then entries of a
// tag, permission bits and an id, sorted by tag and then id.
constexpr char ACL_NAME[] = "system.posix_acl_access";
enum AclTag : uint16_t { USER_OBJ = 1, USER = 2, GROUP_OBJ = 4, GROUP = 8, MASK = 16, OTHER = 32 };
struct AclEntry {
    uint16_t tag, perm;
    uint32_t id;
};

std::vector<AclEntry> acl_entries(const std::string &v)
{
    std::vector<AclEntry> e((v.size() - 4) / 8);
    std::memcpy(e.data(), v.data() + 4, e.size() * 8);
    return e;
}

uint16_t acl_perm(const std::vector<AclEntry> &acl, uint16_t tag)
{
    for (const AclEntry &e : acl)
        if (e.tag == tag)
            return e.perm;
    return 0;
}

// Where the owner or the group could not be kept, the ACL moves on with
// the new file so that no one gains: the old owner and the old group keep
// their access as named entries (no more than the mask lets through), and
// the new group gets no more than others had.
std::string moved_acl(const std::string &v, bool owner_kept, bool group_kept, const struct stat &old)
{
    std::vector<AclEntry> acl = acl_entries(v);
    const uint16_t mask = acl_perm(acl, MASK), other = acl_perm(acl, OTHER), group = acl_perm(acl, GROUP_OBJ);
    const auto name = [&](uint16_t tag, uint32_t id, uint16_t perm) {
        for (const AclEntry &e : acl)
            if (e.tag == tag && e.id == id)
                return;
        acl.push_back({tag, perm, id});
    };
    if (!owner_kept)
        name(USER, old.st_uid, acl_perm(acl, USER_OBJ) & mask);
    if (!group_kept) {
        name(GROUP, old.st_gid, group);
        for (AclEntry &e : acl)
            if (e.tag == GROUP_OBJ)
                e.perm &= other;
    }
    std::sort(acl.begin(), acl.end(), [](const AclEntry &a, const AclEntry &b) {
        return a.tag != b.tag ? a.tag < b.tag : a.id < b.id;
    });
    std::string out = v.substr(0, 4);
    out.append(reinterpret_cast<const char *>(acl.data()), acl.size() * 8);
    return out;
}

// The new file takes the old one's owner, group, permission bits, ACL and
// other extended attributes wherever the process may set them. Where the
// group can't be kept, the new group gets no more than others had; where
// the ACL can't be kept, the mode gives the owning group no more than the
// ACL gave it, and named users and groups lose their access.
void take_identity(int fd, const struct stat &old, const Attributes &attributes)
{
    const bool owner_kept = fchown(fd, old.st_uid, old.st_gid) == 0;
    const bool group_kept = owner_kept || fchown(fd, uid_t(-1), old.st_gid) == 0;
    mode_t mode = old.st_mode & 0777;
    if (!group_kept)
        mode = (mode & 0707) | (mode & 07) << 3;
    // A new file in a folder with a default ACL inherits one: the old file's
    // own (or none) takes its place.
    fremovexattr(fd, ACL_NAME);
    fchmod(fd, mode);
    for (const auto &[name, value] : attributes) {
        if (name != ACL_NAME) {
            fsetxattr(fd, name.c_str(), value.data(), value.size(), 0);
            continue;
        }
        if (value.size() < 4 || (value.size() - 4) % 8)
            continue;
        const std::string acl = moved_acl(value, owner_kept, group_kept, old);
        if (fsetxattr(fd, ACL_NAME, acl.data(), acl.size(), 0) != 0) {
            const std::vector<AclEntry> e = acl_entries(acl);
            fchmod(fd, (mode & 0707) | (acl_perm(e, GROUP_OBJ) & acl_perm(e, MASK)) << 3);
        }
    }
}

// --- writing --------------------------------------------------------------------------

bool write_all(int fd, const unsigned char *data, size_t size)
{
    for (size_t done = 0; done < size;) {
        const ssize_t n = pwrite(fd, data + done, size - done, off_t(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

// The file the last save left, to tell whether anything has touched it since.
struct Saved {
    bool valid = false;
    dev_t dev;
    ino_t ino;
    off_t size;
    struct timespec mtime, ctime;
} saved;

bool same_file(const struct stat &a, const struct stat &b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

void remember(const Target &t, const struct stat &written)
{
    struct stat now;
    if (fstatat(t.folder.get(), t.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && same_file(now, written))
        saved = {true, now.st_dev, now.st_ino, now.st_size, now.st_mtim, now.st_ctim};
}

// A file with other hard links is written in place, as careful editors
// do, so that every name gets the new picture. Room for it is claimed
// first where the file system can, so a full disk leaves the old picture.
bool write_in_place(const Target &t, const unsigned char *data, size_t size)
{
    Fd fd(openat(t.folder.get(), t.name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (!fd.ok() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || !same_file(st, t.st))
        return false;
    if (fallocate(fd.get(), FALLOC_FL_KEEP_SIZE, 0, off_t(size)) != 0 && (errno == ENOSPC || errno == EDQUOT))
        return false;
    if (!write_all(fd.get(), data, size) || ftruncate(fd.get(), off_t(size)) != 0 || close(fd.release()) != 0)
        return false;
    remember(t, st);
    return true;
}

bool write_and_rename(const Target &t, const unsigned char *data, size_t size)
{
    Attributes attributes;
    if (t.exists && !attributes_of(t, attributes))
        return false;
    remove_stale_temporaries(t);
    // A temporary file for an existing one stays private until it has the
    // old file's identity; one for a new file is made as the library would
    // have made the file itself (the umask, or the folder's default ACL).
    std::string tmp;
    Fd fd = make_temporary(t.folder.get(), t.exists ? 0600 : 0666, tmp);
    if (!fd.ok())
        return false;
    struct stat mine, there;
    bool ok = write_all(fd.get(), data, size) && fstat(fd.get(), &mine) == 0 && mine.st_size == off_t(size);
    if (ok && t.exists)
        take_identity(fd.get(), t.st, attributes);
    // Someone who may write this folder could have put something else under
    // the temporary name: only our own file is renamed.
    ok = close(fd.release()) == 0 && ok && fstatat(t.folder.get(), tmp.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
         same_file(there, mine) && renameat(t.folder.get(), tmp.c_str(), t.folder.get(), t.name.c_str()) == 0;
    if (!ok) {
        unlinkat(t.folder.get(), tmp.c_str(), 0);
        return false;
    }
    remember(t, mine);
    return true;
}

} // namespace

bool replace_file(const char *path, const unsigned char *data, size_t size)
{
    saved.valid = false;
    Target t;
    if (!resolve(path, t))
        return false;
    if (t.exists) {
        // Where an in-place write would be refused or could block, so is
        // this: not a regular file, a file the user may not write, or one
        // that someone else planted in a shared sticky folder.
        if (!S_ISREG(t.st.st_mode) || !trusted_here(t.folder_st, t.st) ||
            faccessat(t.folder.get(), t.name.c_str(), W_OK, AT_EACCESS) != 0)
            return false;
        if (t.st.st_nlink > 1)
            return write_in_place(t, data, size);
    }
    return write_and_rename(t, data, size);
}

bool still_as_replaced(const char *path)
{
    Target t;
    return saved.valid && resolve(path, t) && t.exists && t.st.st_dev == saved.dev && t.st.st_ino == saved.ino &&
           t.st.st_size == saved.size && t.st.st_mtim.tv_sec == saved.mtime.tv_sec &&
           t.st.st_mtim.tv_nsec == saved.mtime.tv_nsec && t.st.st_ctim.tv_sec == saved.ctime.tv_sec &&
           t.st.st_ctim.tv_nsec == saved.ctime.tv_nsec;
}

bool read_file(const char *path, size_t max, std::vector<unsigned char> &out)
{
    // Looked at before it is opened, so that a FIFO or a device is never
    // opened at all; a terminal among them never becomes ours.
    struct stat before, st;
    if (stat(path, &before) != 0 || !S_ISREG(before.st_mode))
        return false;
    Fd fd(open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.ok() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || !same_file(st, before) || st.st_size <= 0 ||
        size_t(st.st_size) > max)
        return false;
    out.resize(size_t(st.st_size));
    size_t got = 0;
    while (got < out.size()) {
        const ssize_t n = read(fd.get(), out.data() + got, out.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += size_t(n);
    }
    return got == out.size();
}

// --- stop signals ---------------------------------------------------------------

volatile std::sig_atomic_t stop_signal = 0;

namespace {
// Ctrl+C, kill (a logout's or a service manager's too) and a hang-up.
constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
// How the game found them, and SIGQUIT, when it started.
struct sigaction at_start[NSIG];

void note_stop(int sig) { stop_signal = sig; }
} // namespace

void catch_stop_signals()
{
    static bool noted = false;
    if (!noted) {
        noted = true;
        for (int sig : STOP_SIGNALS)
            sigaction(sig, nullptr, &at_start[sig]);
        sigaction(SIGQUIT, nullptr, &at_start[SIGQUIT]);
    }
    for (int sig : STOP_SIGNALS) {
        if (at_start[sig].sa_handler == SIG_IGN) {
            sigaction(sig, &at_start[sig], nullptr);  // nohup, or a background job
            continue;
        }
        struct sigaction sa {};
        sa.sa_handler = note_stop;
        sa.sa_flags = SA_RESTART;
        sigemptyset(&sa.sa_mask);
        sigaction(sig, &sa, nullptr);
    }
    // SIGQUIT asks for a core dump: it keeps what it had.
    sigaction(SIGQUIT, &at_start[SIGQUIT], nullptr);
}

void end_by_stop_signal()
{
    const int sig = stop_signal;
    if (!sig)
        return;
    allegro_exit();
    signal(sig, SIG_DFL);
    raise(sig);
}
