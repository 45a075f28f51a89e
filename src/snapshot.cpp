#include "snapshot.h"

#include "bmpcheck.h"
#include "board.h"
#include "savefile.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

// --- BMP files in memory ----------------------------------------------------

namespace {

// A PACKFILE over a block of memory. Read, so that the reader parses
// exactly the bytes that were checked (the file can't change in between);
// written, so that the picture reaches the file only through a descriptor
// of the save's own, never by a name that someone could swap for a link.
struct Memory {
    const unsigned char *data;
    size_t size, at;
    std::vector<unsigned char> *out;  // where writes go, if anywhere
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
int mem_putc(int c, void *u)
{
    auto *m = static_cast<Memory *>(u);
    if (!m->out)
        return EOF;
    m->out->push_back(static_cast<unsigned char>(c));
    return c;
}
long mem_write(const void *p, long n, void *u)
{
    auto *m = static_cast<Memory *>(u);
    if (!m->out || n < 0)
        return 0;
    const auto *b = static_cast<const unsigned char *>(p);
    m->out->insert(m->out->end(), b, b + n);
    return n;
}
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
constexpr size_t KEPT_BUFFER = 4u << 20;

// F1 and F2 held work on every pass: their buffers are kept from one pass
// to the next, so that their pages are not mapped and cleared anew each
// time, unless a large picture made them large.
void trim(std::vector<unsigned char> &v)
{
    if (v.capacity() > KEPT_BUFFER)
        std::vector<unsigned char>().swap(v);
}

} // namespace

BITMAP *read_snapshot(const unsigned char *data, size_t size, RGB *palette)
{
    std::vector<unsigned char> rewritten;
    const BmpBytes bytes = bmp_for_reader(data, size, rewritten);
    if (!bytes.data)
        return nullptr;
    Memory m{bytes.data, bytes.size, 0, nullptr};
    PACKFILE *pf = pack_fopen_vtable(&memory_vtable, &m);
    if (!pf)
        return nullptr;
    BITMAP *bmp = load_bmp_pf(pf, palette);
    pack_fclose(pf);
    return bmp;
}

bool safe_save(const char *path, BITMAP *bmp, const RGB *palette, std::vector<unsigned char> &bytes)
{
    bytes.clear();
    Memory m{nullptr, 0, 0, &bytes};
    PACKFILE *pf = pack_fopen_vtable(&memory_vtable, &m);
    bool ok = pf && save_bmp_pf(pf, bmp, palette) == 0;
    if (pf)
        pack_fclose(pf);
    ok = ok && replace_file(path, bytes.data(), bytes.size());
    trim(bytes);
    return ok;
}

// --- the key pass's three steps -------------------------------------------

namespace {

// The pixels of a memory bitmap, row by row.
size_t row_bytes(BITMAP *b) { return size_t(b->w) * size_t((bitmap_color_depth(b) + 7) / 8); }

bool same_pixels(BITMAP *b, const std::vector<unsigned char> &pixels)
{
    const size_t row = row_bytes(b);
    if (pixels.size() != row * size_t(b->h))
        return false;
    for (int i = 0; i < b->h; i++)
        if (std::memcmp(b->line[i], &pixels[size_t(i) * row], row) != 0)
            return false;
    return true;
}

void keep_pixels(BITMAP *b, std::vector<unsigned char> &pixels)
{
    const size_t row = row_bytes(b);
    pixels.resize(row * size_t(b->h));
    for (int i = 0; i < b->h; i++)
        std::memcpy(&pixels[size_t(i) * row], b->line[i], row);
}

} // namespace

void save_snapshot()
{
    get_palette(pal);
    drop_held_picture();
    load = create_sub_bitmap(buffer, 0, 0, BOARD_W, BOARD_H);
    if (!load)
        return;
    // F1 held saves on every pass. While the board is the one the last save
    // wrote and the file is still the very file that save left, the file
    // holds these bytes already: writing them again would only wear the disk.
    static std::vector<unsigned char> saved_pixels, saved_file;
    if (!saved_pixels.empty() && same_pixels(load, saved_pixels) &&
        still_holds(SNAPSHOT_FILE, saved_file.data(), saved_file.size()))
        return;
    if (safe_save(SNAPSHOT_FILE, load, pal, saved_file))
        keep_pixels(load, saved_pixels);
    else
        saved_pixels.clear();
}

void load_snapshot()
{
    drop_held_picture();
    static std::vector<unsigned char> bytes;
    if (read_file(SNAPSHOT_FILE, BMP_MAX_FILE, bytes))
        load = read_snapshot(bytes.data(), bytes.size(), pal);
    trim(bytes);
}

void paste_snapshot()
{
    if (load)
        draw_sprite(buffer, load, 0, 0);
}
