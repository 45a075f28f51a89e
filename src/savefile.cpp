// The save replaces "load.bmp" the way careful editors do: a temporary file
// beside it, written through its own descriptor and renamed over it, so a
// killed game or a full disk never costs the last good snapshot. Doing that
// instead of the system's in-place write means keeping every protection
// that write had, and what the user set on the file; where the rename
// can't be done but an in-place write would work, the file is written in
// place. docs/snapshot.md tells the whole of it to players.
//
// The platforms give the primitives (platform.h); what follows is the same
// on all of them.
#include "savefile.h"

#include "platform.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

namespace {

// --- a file that is closed when it goes out of scope -------------------------

class OpenFile {
public:
    explicit OpenFile(File f) : f_(f) {}
    OpenFile(const OpenFile &) = delete;
    OpenFile &operator=(const OpenFile &) = delete;
    ~OpenFile()
    {
        if (f_ != NO_FILE)
            close_file(f_);
    }
    File get() const { return f_; }
    bool ok() const { return f_ != NO_FILE; }
    File release() { return std::exchange(f_, NO_FILE); }

private:
    File f_;
};

constexpr size_t PIECE = 1u << 30;  // the most one call moves

// Moves all `size` bytes by as many calls of `step(at, most)` as it takes:
// `size`, or what the first call that moved nothing gave (FAILED, NO_ROOM).
template <class Step> long long transfer_all(size_t size, Step step)
{
    for (size_t done = 0; done < size;) {
        const long long n = step(done, std::min(size - done, PIECE));
        if (n <= 0)
            return n < 0 ? n : FAILED;
        done += size_t(n);
    }
    return (long long)size;
}

// All `size` bytes written: `size`, FAILED or NO_ROOM.
long long write_all(File f, const unsigned char *data, size_t size)
{
    return transfer_all(size, [&](size_t at, size_t n) { return write_at(f, data + at, n, at); });
}

bool read_all(File f, unsigned char *data, size_t size)
{
    return transfer_all(size, [&](size_t at, size_t n) { return read_at(f, data + at, n, at); }) >= 0;
}

// Whether the open file holds exactly `data`, read in pieces.
bool holds(File f, const unsigned char *data, size_t size)
{
    static unsigned char piece[1 << 16];
    return transfer_all(size, [&](size_t at, size_t n) {
        const long long got = read_at(f, piece, std::min(sizeof piece, n), at);
        return got > 0 && std::memcmp(piece, data + at, size_t(got)) == 0 ? got : FAILED;
    }) >= 0;
}

// --- temporary files ---------------------------------------------------------------
//
// A temporary file is named ".load-<pid>-XXXXXX.bmp" (six letters or digits
// in place of the Xs) and made beside the file it replaces, as a rename
// can't cross file systems. The pid tells people which game made it; the
// platform tells whether that game still holds it.

constexpr char TMP_PREFIX[] = ".load-";
constexpr char TMP_SUFFIX[] = ".bmp";
constexpr int TMP_RANDOM = 6;
constexpr char TMP_CHARS[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr int TMP_TRIES = 100;

std::string temporary_name()
{
    const unsigned long pid = process_id();
    static unsigned long long seed =
        (unsigned long long)std::chrono::steady_clock::now().time_since_epoch().count() ^ (unsigned long long)pid << 32;
    std::string name = TMP_PREFIX + std::to_string(pid) + "-";
    for (int i = 0; i < TMP_RANDOM; i++) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        name += TMP_CHARS[(seed >> 33) % (sizeof TMP_CHARS - 1)];
    }
    return name + TMP_SUFFIX;
}

// Whether `name` has exactly the form of a temporary file's name: a file
// of the user's that only looks like one is left alone.
bool is_temporary(const std::string &name)
{
    const size_t pre = sizeof TMP_PREFIX - 1, suf = sizeof TMP_SUFFIX - 1;
    if (name.size() < pre + 2 + TMP_RANDOM + suf || name.compare(0, pre, TMP_PREFIX) != 0 ||
        name.compare(name.size() - suf, suf, TMP_SUFFIX) != 0)
        return false;
    const size_t digits = pre, dash = name.size() - suf - TMP_RANDOM - 1;
    if (name[dash] != '-' || name[digits] == '0' || dash - digits > 9)
        return false;
    for (size_t i = digits; i < dash; i++)
        if (name[i] < '0' || name[i] > '9')
            return false;
    for (size_t i = dash + 1; i < name.size() - suf; i++)
        if (!name[i] || !std::strchr(TMP_CHARS, name[i]))
            return false;
    return true;
}

// Removes what games that were killed outright left beside the target. Each
// folder is looked at once. A folder removed and made anew can get the old
// one's identity, so it is told by its birth time as well; where the system
// keeps none, it is looked at on every save.
void remove_stale_temporaries(const Target &t)
{
    static std::vector<FileInfo> done;
    FileInfo folder;
    if (folder_info(t, folder) && folder.born_ns) {
        const auto same = [&](const FileInfo &i) { return same_file(i, folder) && i.born_ns == folder.born_ns; };
        if (std::any_of(done.begin(), done.end(), same))
            return;
        done.push_back(folder);
    }
    for (const std::string &name : list_folder(t))
        if (is_temporary(name))
            remove_if_stale(t, name);
}

// A new temporary file beside the target, its name in `name`.
File new_temporary(const Target &t, std::string &name)
{
    for (int tries = 0; tries < TMP_TRIES; tries++) {
        name = temporary_name();
        bool taken = false;
        const File f = make_temporary(t, name, taken);
        if (f != NO_FILE || !taken)
            return f;
    }
    return NO_FILE;
}

// --- the file the last save left -----------------------------------------------

struct Saved {
    bool valid = false;
    FileInfo info;
    // Whether the file's times are certainly older than a moment at which
    // it was seen to hold the save's bytes: any change since then shows.
    bool settled;
} last;

int64_t now_ns()
{
    using namespace std::chrono;
    return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
}

// A write after `seen` is stamped no earlier than `seen`, less the system
// clock's tick (a few ms), cut down to the file system's granularity: up to
// 2 s (FAT), 1 s (ext4 with small inodes, many network file systems),
// 10 ms (exFAT). The granularity is guessed from the times themselves: a
// time on a whole second may be on a coarse one.
bool settled_by(const FileInfo &i, int64_t seen)
{
    const auto grain = [](int64_t t) {
        return t % 1000000000LL == 0 ? 2000000000LL : t % 10000000LL == 0 ? 10000000LL : 1;
    };
    const int64_t newest = std::max(i.modified_ns, i.changed_ns);
    const int64_t coarsest = std::max(grain(i.modified_ns), grain(i.changed_ns));
    return newest < seen - coarsest - 100000000LL;  // 100 ms for the tick, and more
}

bool as_saved(const FileInfo &i)
{
    return last.valid && same_file(i, last.info) && i.size == last.info.size &&
           i.modified_ns == last.info.modified_ns && i.changed_ns == last.info.changed_ns;
}

// Notes the file now under the target's name, if it is `mine`.
void remember(const Target &t, const FileInfo &mine)
{
    FileInfo now;
    if (name_info(t, now) && same_file(now, mine)) {
        last = {true, now, false};
        last.settled = settled_by(now, now_ns());
    }
}

// --- writing -----------------------------------------------------------------------

// Writes over the file itself: for a file with other names, so that every
// name gets the new picture, and where the rename can't be done. Not
// atomic, so room is claimed first where the system can, and a full disk
// leaves the old picture.
bool write_in_place(const Target &t, const unsigned char *data, size_t size)
{
    // open_target() opens only the very file that was found.
    OpenFile f(open_target(t, true));
    if (!f.ok() || !claim_room(f.get(), size) || write_all(f.get(), data, size) < 0 || !set_size(f.get(), size) ||
        !close_file(f.release()))
        return false;
    remember(t, t.info);
    return true;
}

// How far the temporary file got.
enum class Replaced {
    done,          // renamed over the target
    try_in_place,  // the folder would take no temporary file, the old file's
                   // identity could not be carried over, the rename was
                   // refused, or the disk had no room for a second copy: an
                   // in-place write may still get past
    failed,        // anything else
};

Replaced write_and_rename(const Target &t, const unsigned char *data, size_t size)
{
    remove_stale_temporaries(t);
    std::string name;
    const File f = new_temporary(t, name);
    if (f == NO_FILE)
        return Replaced::try_in_place;
    FileInfo mine;
    const long long wrote = write_all(f, data, size);
    const bool complete = wrote >= 0 && file_info(f, mine);
    if (!complete || (t.exists && !carry_identity(t, f))) {
        remove_temporary(t, name, f);
        return complete || wrote == NO_ROOM ? Replaced::try_in_place : Replaced::failed;
    }
    if (!rename_over(t, name, f))
        return Replaced::try_in_place;
    remember(t, mine);
    return Replaced::done;
}

} // namespace

bool replace_file(const char *path, const unsigned char *data, size_t size)
{
    last.valid = false;
    Target t;
    if (!find_target(path, t))
        return false;
    // Where an in-place write would be refused, so is this: not a regular
    // file, or a file the user may not write.
    if (t.exists && (!t.info.regular || !may_write(t)))
        return false;
    // A file with other names is written in place, so that every name gets
    // the new picture.
    const Replaced r = t.exists && t.info.links > 1 ? Replaced::try_in_place : write_and_rename(t, data, size);
    const bool ok = r == Replaced::done || (r == Replaced::try_in_place && t.exists && write_in_place(t, data, size));
    if (ok)
        on_saved(data, size);
    return ok;
}

bool still_holds(const char *path, const unsigned char *data, size_t size)
{
    Target t;
    if (!last.valid || last.info.size != size || !find_target(path, t) || !t.exists || !as_saved(t.info))
        return false;
    if (last.settled)
        return true;
    // Times as fresh as these could hide another program's same-size
    // rewrite in the same tick: the bytes themselves are compared, until
    // a look finds the times settled.
    const int64_t seen = now_ns();
    OpenFile f(open_target(t, false));
    FileInfo i;
    if (!f.ok() || !file_info(f.get(), i) || !as_saved(i) || !holds(f.get(), data, size))
        return false;
    last.settled = settled_by(last.info, seen);
    return true;
}

bool read_file(const char *path, size_t max, std::vector<unsigned char> &out)
{
    OpenFile f(open_to_read(path));
    FileInfo i;
    if (!f.ok() || !file_info(f.get(), i) || !i.regular || i.size == 0 || i.size > max)
        return false;
    out.resize(size_t(i.size));
    return read_all(f.get(), out.data(), out.size());
}
