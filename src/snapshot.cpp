#include "snapshot.h"

#include "bmpcheck.h"
#include "board.h"
#include "safesave.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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

// Large enough for a snapshot of the board (921,654 bytes) with room to spare.
constexpr size_t KEPT_READ_BUFFER = 4u << 20;

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
    std::vector<unsigned char> rewritten;
    const BmpBytes bytes = bmp_for_reader(data, size, rewritten);
    if (!bytes.data)
        return nullptr;
    Memory m{bytes.data, bytes.size, 0};
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
        safe_save(SNAPSHOT_FILE, load, pal);
}

void load_snapshot()
{
    if (load)
        destroy_bitmap(load);
    load = nullptr;
    // F2 held reads the file on every pass. The buffer is kept from one
    // pass to the next, so that its pages are not mapped and cleared anew
    // each time, unless a large picture made it large.
    static std::vector<unsigned char> bytes;
    if (slurp(SNAPSHOT_FILE, bytes))
        load = read_snapshot(bytes.data(), bytes.size(), pal);
    if (bytes.capacity() > KEPT_READ_BUFFER)
        std::vector<unsigned char>().swap(bytes);
}

void paste_snapshot()
{
    if (load)
        draw_sprite(buffer, load, 0, 0);
}
