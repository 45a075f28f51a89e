#include "bmpcheck.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t FILE_HEADER = 14;
constexpr uint32_t WIN_INFO = 40;  // BITMAPINFOHEADER, the Windows header the reader knows
constexpr uint32_t OS2_INFO = 12;  // BITMAPCOREHEADER
constexpr size_t MASKS = 12;       // three channel masks
// The masks follow a 40-byte header; the later Windows headers (52 and 56
// bytes, v4 of 108 and v5 of 124) grow the 40-byte one by the masks, then
// by an alpha mask and colour-space fields, so the masks sit at the same
// place in all of them.
constexpr size_t MASKS_AT = FILE_HEADER + WIN_INFO;
constexpr uint32_t WIN_V2_INFO = 52, WIN_V3_INFO = 56, WIN_V4_INFO = 108, WIN_V5_INFO = 124;
constexpr size_t WIN_ENTRY = 4, OS2_ENTRY = 3;  // bytes per palette entry

enum Compression : uint32_t { BI_RGB = 0, BI_RLE8 = 1, BI_RLE4 = 2, BI_BITFIELDS = 3 };

uint32_t u16(const unsigned char *p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
uint32_t u32(const unsigned char *p) { return u16(p) | u16(p + 2) << 16; }
void put16(unsigned char *p, uint32_t v) { p[0] = uint8_t(v), p[1] = uint8_t(v >> 8); }
void put32(unsigned char *p, uint32_t v) { put16(p, v), put16(p + 2, v >> 16); }

bool windows_info(uint32_t info)
{
    return info == WIN_INFO || info == WIN_V2_INFO || info == WIN_V3_INFO || info == WIN_V4_INFO || info == WIN_V5_INFO;
}

struct Header {
    int64_t w, h;     // both positive once checked
    bool top_down;    // rows stored from the top (a negative height)
    uint32_t info, bpp, compression;
    uint32_t colours; // palette entries the file declares
    size_t info_end;  // where the header (and masks) end and the palette starts
    size_t offset;    // where the pixel data starts
    bool os2() const { return info == OS2_INFO; }
    size_t entry() const { return os2() ? OS2_ENTRY : WIN_ENTRY; }  // bytes per palette entry
    bool rle() const { return compression == BI_RLE8 || compression == BI_RLE4; }
    int64_t row_bytes() const { return (w * bpp + 7) / 8; }
    int64_t stride() const { return (row_bytes() + 3) / 4 * 4; }  // rows are padded to four bytes
};

bool parse(const unsigned char *d, size_t size, Header &h)
{
    if (size < FILE_HEADER + OS2_INFO || d[0] != 'B' || d[1] != 'M')
        return false;
    h.offset = u32(d + 10);
    h.info = u32(d + 14);
    uint32_t colours_used;
    if (windows_info(h.info)) {
        if (size < FILE_HEADER + h.info)
            return false;
        h.w = int32_t(u32(d + 18));
        const int64_t height = int32_t(u32(d + 22));
        h.top_down = height < 0;
        h.h = h.top_down ? -height : height;
        h.bpp = u16(d + 28);
        h.compression = u32(d + 30);
        colours_used = u32(d + 46);
    } else if (h.info == OS2_INFO) {
        h.w = u16(d + 18);
        h.h = u16(d + 20);
        h.top_down = false;
        h.bpp = u16(d + 24);
        h.compression = BI_RGB;
        colours_used = 0;
    } else {
        return false;
    }
    h.colours = h.bpp > 8 ? 0 : colours_used ? colours_used : 1u << h.bpp;
    h.info_end = FILE_HEADER + h.info + (h.info == WIN_INFO && h.compression == BI_BITFIELDS ? MASKS : 0);
    return true;
}

bool kind_known(const Header &h)
{
    switch (h.compression) {
    case BI_RGB:
        return h.bpp == 1 || h.bpp == 4 || h.bpp == 8 || h.bpp == 24 || (!h.os2() && (h.bpp == 16 || h.bpp == 32));
    case BI_RLE8:
        return h.bpp == 8;
    case BI_RLE4:
        return h.bpp == 4;
    case BI_BITFIELDS:
        return h.bpp == 16 || h.bpp == 32;
    default:
        return false;
    }
}

// The reader knows only the usual channel layouts: 5-5-5 and 5-6-5 for
// 16 bits, 8-8-8 for 32 (an alpha mask beside them is ignored).
bool masks_known(const unsigned char *d, uint32_t bpp)
{
    const uint32_t r = u32(d + MASKS_AT), g = u32(d + MASKS_AT + 4), b = u32(d + MASKS_AT + 8);
    if (bpp == 16)
        return (r == 0x7c00 && g == 0x03e0 && b == 0x001f) || (r == 0xf800 && g == 0x07e0 && b == 0x001f);
    return r == 0xff0000 && g == 0x00ff00 && b == 0x0000ff;
}

// `n` literal pixels from `from`, coded so that the reader takes them as
// such: an absolute run of three or more, or else runs of one pixel each
// (an absolute run of one or two pixels would read as an escape code).
void literal(std::vector<unsigned char> &out, const unsigned char *from, unsigned n, bool four)
{
    if (n >= 3) {
        const size_t bytes = four ? (n + 1) / 2 : n;
        out.insert(out.end(), {0, uint8_t(n)});
        out.insert(out.end(), from, from + bytes);
        if (bytes % 2)
            out.push_back(0);
        return;
    }
    for (unsigned i = 0; i < n; i++) {
        const unsigned v = !four ? from[i] : i % 2 ? from[i / 2] & 15 : from[i / 2] >> 4;
        out.insert(out.end(), {1, uint8_t(four ? v << 4 : v)});
    }
}

// Walks a run-length stream, code by code. Every byte it reads must lie
// inside the file, every run start inside the picture, and it must end
// with an end-of-picture code. A run that goes on past the end of its row
// is cut there: some writers code a row of odd width one pixel too long.
// With `out`, the stream is coded again into it as it is walked, with the
// runs cut, so that it never asks the reader to write outside the picture.
// It is never longer than the stream it comes from.
bool walk_rle(const unsigned char *d, size_t size, const Header &h, std::vector<unsigned char> *out)
{
    const bool four = h.compression == BI_RLE4;
    size_t at = h.offset;
    int64_t pos = 0, line = h.h - 1;  // bottom line first
    auto emit = [out](std::initializer_list<unsigned char> code) {
        if (out)
            out->insert(out->end(), code);
    };

    while (size - at >= 2) {
        const unsigned count = d[at], code = d[at + 1];
        at += 2;
        if (count > 0) {  // a run of one value (two alternating at 4 bits)
            if (line < 0)
                return false;
            const int64_t n = std::min<int64_t>(count, h.w - pos);
            if (n > 0)
                emit({uint8_t(n), uint8_t(code)});
            pos += n;
        } else if (code == 0) {  // end of line
            emit({0, 0});
            pos = 0;
            line--;
        } else if (code == 1) {  // end of picture
            emit({0, 1});
            return true;
        } else if (code == 2) {  // move right and up
            if (size - at < 2)
                return false;
            pos += d[at];
            line -= d[at + 1];
            if (pos > h.w || line < 0)
                return false;
            emit({0, 2, d[at], d[at + 1]});
            at += 2;
        } else {  // `code` literal pixels, padded to an even number of bytes
            size_t bytes = four ? (code + 1) / 2 : code;
            bytes += bytes % 2;
            if (line < 0 || size - at < bytes)
                return false;
            const int64_t n = std::min<int64_t>(code, h.w - pos);
            if (out)
                literal(*out, d + at, unsigned(n), four);
            pos += n;
            at += bytes;
        }
    }
    return false;  // ran off the end of the file
}

bool check(const unsigned char *d, size_t size, Header &h)
{
    if (!d || size > BMP_MAX_FILE || !parse(d, size, h) || !kind_known(h))
        return false;
    if (h.top_down && h.rle())  // the format has no top-down run-length pictures
        return false;
    if (h.w < 1 || h.h < 1 || h.w > BMP_MAX_SIDE || h.h > BMP_MAX_SIDE || h.w * h.h > BMP_MAX_PIXELS)
        return false;
    if (h.info_end > size || h.offset < h.info_end || h.offset > size)
        return false;
    if (h.compression == BI_BITFIELDS && !masks_known(d, h.bpp))
        return false;
    // A palette picture must hold the palette it declares.
    if (h.bpp <= 8 && (h.colours > 1u << h.bpp || h.offset - h.info_end < h.colours * h.entry()))
        return false;

    if (h.rle())
        return walk_rle(d, size, h, nullptr);
    // The last row's padding may be missing.
    return int64_t(size - h.offset) >= h.stride() * (h.h - 1) + h.row_bytes();
}

// The picture of a checked file as one the reader knows: a 40-byte header,
// the masks for bit fields, the palette, then the rows from the bottom up,
// uncompressed or in a run-length stream coded again by walk_rle().
void rewrite(const unsigned char *d, size_t size, const Header &h, std::vector<unsigned char> &out)
{
    const size_t masks = h.compression == BI_BITFIELDS ? MASKS : 0;
    const size_t palette = size_t(h.colours) * WIN_ENTRY;
    const size_t offset = FILE_HEADER + WIN_INFO + masks + palette;
    out.assign(offset, 0);
    if (h.rle()) {
        out.reserve(offset + (size - h.offset));
        walk_rle(d, size, h, &out);
    } else {
        const int64_t stride = h.stride();
        out.resize(offset + size_t(stride * h.h));
        for (int64_t i = 0; i < h.h; i++) {
            const int64_t from = h.top_down ? h.h - 1 - i : i;
            std::memcpy(&out[offset + size_t(i * stride)], d + h.offset + from * stride, size_t(h.row_bytes()));
        }
    }

    unsigned char *p = out.data();
    p[0] = 'B', p[1] = 'M';
    put32(p + 2, uint32_t(out.size()));
    put32(p + 10, uint32_t(offset));
    put32(p + 14, WIN_INFO);
    put32(p + 18, uint32_t(h.w));
    put32(p + 22, uint32_t(h.h));
    put16(p + 26, 1);  // planes
    put16(p + 28, h.bpp);
    put32(p + 30, h.compression);
    put32(p + 34, uint32_t(out.size() - offset));
    put32(p + 46, h.colours);
    std::memcpy(p + MASKS_AT, d + MASKS_AT, masks);
    std::memcpy(p + MASKS_AT + masks, d + h.info_end, palette);
}

} // namespace

bool bmp_is_safe(const unsigned char *d, size_t size)
{
    Header h;
    return check(d, size, h);
}

BmpBytes bmp_for_reader(const unsigned char *d, size_t size, std::vector<unsigned char> &rewritten)
{
    Header h;
    if (!check(d, size, h))
        return {nullptr, 0};
    if ((h.info == WIN_INFO || h.os2()) && !h.top_down && !h.rle())
        return {d, size};
    rewrite(d, size, h, rewritten);
    return {rewritten.data(), rewritten.size()};
}
