#include "snapshot.h"

#include "bmpcheck.h"
#include "board.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// --- writing -------------------------------------------------------------

namespace {

// Temporary snapshots are named ".load-<pid>-XXXXXX.bmp": hidden, unique,
// and ending in ".bmp" since the library picks the format by extension.
constexpr char TMP_PREFIX[] = ".load-";
constexpr char TMP_SUFFIX[] = ".bmp";
constexpr size_t TMP_NAME_MAX = 64;

// The temporary file being written, if any, so that a signal can remove it.
volatile sig_atomic_t writing = 0;
char pending[TMP_NAME_MAX];
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

// Removes temporary snapshots left in the current directory by copies of
// the game that were killed outright (SIGKILL leaves no chance to clean up).
// Files of copies still running are left alone.
void remove_stale_temporaries()
{
    DIR *dir = opendir(".");
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
            unlink(e->d_name);
    }
    closedir(dir);
}

// The library's writer may not notice a short write (a full disk shows only
// when the buffer is flushed at close). A whole BMP is exactly as long as
// its header says.
bool complete_bmp(const char *path)
{
    FILE *f = std::fopen(path, "rb");
    if (!f)
        return false;
    unsigned char head[6];
    struct stat st;
    const bool read = std::fread(head, 1, sizeof head, f) == sizeof head && fstat(fileno(f), &st) == 0;
    std::fclose(f);
    if (!read || head[0] != 'B' || head[1] != 'M')
        return false;
    const unsigned long declared = head[2] | head[3] << 8 | head[4] << 16 | (unsigned long)head[5] << 24;
    return (unsigned long)st.st_size == declared;
}

} // namespace

bool write_snapshot(const char *path, BITMAP *bmp, const RGB *palette)
{
    static bool first = true;
    if (first) {
        first = false;
        catch_termination();
        remove_stale_temporaries();
    }

    // The name goes where the signal handler sees it before the file exists.
    std::snprintf(pending, sizeof pending, "%s%ld-XXXXXX%s", TMP_PREFIX, (long)getpid(), TMP_SUFFIX);
    writing = 1;
    const int fd = mkstemps(pending, sizeof TMP_SUFFIX - 1);
    if (fd < 0) {
        writing = 0;
        return false;
    }
    // mkstemps() makes the file private; a snapshot gets the usual
    // permissions of a new file, as if the library had created it.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    close(fd);

    const bool ok =
        save_bitmap(pending, bmp, palette) == 0 && complete_bmp(pending) && std::rename(pending, path) == 0;
    if (!ok)
        unlink(pending);
    writing = 0;
    return ok;
}

// --- reading -------------------------------------------------------------

namespace {

// A read-only PACKFILE over a block of memory, so the reader parses exactly
// the bytes that were checked (the file can't change in between).
struct Memory {
    const unsigned char *data;
    size_t size, at;
};

int mem_close(void *) { return 0; }
int mem_getc(void *u)
{
    auto *m = static_cast<Memory *>(u);
    return m->at < m->size ? m->data[m->at++] : EOF;
}
int mem_ungetc(int c, void *u)
{
    auto *m = static_cast<Memory *>(u);
    if (m->at == 0)
        return EOF;
    m->at--;
    return c;
}
long mem_read(void *p, long n, void *u)
{
    auto *m = static_cast<Memory *>(u);
    const size_t k = n < 0 ? 0 : std::min(size_t(n), m->size - m->at);
    std::memcpy(p, m->data + m->at, k);
    m->at += k;
    return long(k);
}
int mem_putc(int, void *) { return EOF; }
long mem_write(const void *, long, void *) { return 0; }
int mem_seek(void *u, int offset)
{
    auto *m = static_cast<Memory *>(u);
    if (offset < 0 || size_t(offset) > m->size - m->at)
        return -1;
    m->at += size_t(offset);
    return 0;
}
int mem_eof(void *u)
{
    auto *m = static_cast<Memory *>(u);
    return m->at >= m->size;
}
int mem_error(void *) { return 0; }

const PACKFILE_VTABLE memory_vtable = {mem_close, mem_getc, mem_ungetc, mem_read, mem_putc,
                                       mem_write, mem_seek, mem_eof,    mem_error};

// Reads a whole regular file of at most BMP_MAX_FILE bytes; false if it
// can't. Opened without blocking, so a FIFO called "load.bmp" can't hang
// the game.
bool slurp(const char *path, std::vector<unsigned char> &out)
{
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 && size_t(st.st_size) <= BMP_MAX_FILE;
    if (ok) {
        out.resize(size_t(st.st_size));
        size_t got = 0;
        while (got < out.size()) {
            const ssize_t n = read(fd, out.data() + got, out.size() - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += size_t(n);
        }
        ok = got == out.size();
    }
    close(fd);
    return ok;
}

} // namespace

BITMAP *read_snapshot(const unsigned char *data, size_t size, RGB *palette)
{
    if (!bmp_is_safe(data, size))
        return nullptr;
    Memory m{data, size, 0};
    PACKFILE *pf = pack_fopen_vtable(&memory_vtable, &m);
    if (!pf)
        return nullptr;
    BITMAP *bmp = load_bmp_pf(pf, palette);
    pack_fclose(pf);
    return bmp;
}

// --- the key pass's three steps -------------------------------------------

void save_snapshot()
{
    get_palette(pal);
    if (load)
        destroy_bitmap(load);
    load = create_sub_bitmap(buffer, 0, 0, SCREEN_W, SCREEN_H);
    if (load)
        write_snapshot(SNAPSHOT_FILE, load, pal);
}

void load_snapshot()
{
    if (load)
        destroy_bitmap(load);
    load = nullptr;
    std::vector<unsigned char> bytes;
    if (slurp(SNAPSHOT_FILE, bytes))
        load = read_snapshot(bytes.data(), bytes.size(), pal);
}

void paste_snapshot()
{
    if (load)
        draw_sprite(buffer, load, 0, 0);
}
