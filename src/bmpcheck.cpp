#include "bmpcheck.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t FILE_HEADER = 14;
constexpr uint32_t WIN_INFO = 40;  // BITMAPINFOHEADER, the Windows header the reader knows
constexpr uint32_t OS2_INFO = 12;  // BITMAPCOREHEADER, OS/2 1.x
constexpr size_t MASKS = 12;       // three channel masks
// The masks follow a 40-byte header; the later Windows headers (52 and 56
// bytes, v4 of 108 and v5 of 124) grow the 40-byte one by the masks, then
// by an alpha mask and colour-space fields, so the masks sit at the same
// place in all of them.
constexpr size_t MASKS_AT = FILE_HEADER + WIN_INFO;
constexpr uint32_t WIN_V2_INFO = 52, WIN_V3_INFO = 56, WIN_V4_INFO = 108, WIN_V5_INFO = 124;
// OS/2 2.x grows the 40-byte header to 64 bytes with fields of its own, and
// may cut it short anywhere from 16 bytes on: the fields past its end count
// as zero.
constexpr uint32_t OS2_V2_MIN = 16, OS2_V2_INFO = 64;
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

// One colour channel of a bit-field pixel, scaled to the full 8-bit range.
struct Channel {
    uint32_t mask = 0;
    int shift = 0;
    uint32_t max = 0;  // the largest value the channel holds
    std::vector<uint8_t> scaled;  // by value, where there are few enough values

    // False for a mask that is empty or has holes.
    bool set(uint32_t m)
    {
        mask = m;
        if (!m)
            return false;
        for (shift = 0; !(m >> shift & 1); shift++) {
        }
        max = m >> shift;
        return (max & (max + 1)) == 0;  // contiguous bits: max is 2^n - 1
    }
    uint8_t value_of(uint32_t v) const { return uint8_t((uint64_t(v) * 255 + max / 2) / max); }
    void make_table()
    {
        if (max < 65536)
            for (uint32_t v = 0; v <= max; v++)
                scaled.push_back(value_of(v));
    }
    uint8_t operator()(uint32_t pixel) const
    {
        const uint32_t v = (pixel & mask) >> shift;
        return scaled.empty() ? value_of(v) : scaled[v];
    }
};

struct Header {
    int64_t w, h;     // both positive once checked
    bool top_down;    // rows stored from the top (a negative height)
    uint32_t info, bpp, compression;
    uint32_t colours; // palette entries the file declares
    size_t info_end;  // where the header (and masks) end and the palette starts
    size_t offset;    // where the pixel data starts
    uint32_t masks[3] = {0, 0, 0};  // red, green, blue, for bit fields
    bool os2() const { return info == OS2_INFO; }
    bool os2_v2() const { return !windows_info(info) && info >= OS2_V2_MIN && info <= OS2_V2_INFO; }
    size_t entry() const { return os2() ? OS2_ENTRY : WIN_ENTRY; }  // bytes per palette entry
    bool rle() const { return compression == BI_RLE8 || compression == BI_RLE4; }
    bool bitfields() const { return compression == BI_BITFIELDS; }
    int64_t row_bytes() const { return (w * bpp + 7) / 8; }
    int64_t stride() const { return (row_bytes() + 3) / 4 * 4; }  // rows are padded to four bytes
};

bool parse(const unsigned char *d, size_t size, Header &h)
{
    if (size < FILE_HEADER + OS2_INFO || d[0] != 'B' || d[1] != 'M')
        return false;
    h.offset = u32(d + 10);
    h.info = u32(d + 14);
    if (h.os2()) {
        h.w = u16(d + 18);
        h.h = u16(d + 20);
        h.top_down = false;
        h.bpp = u16(d + 24);
        h.compression = BI_RGB;
        h.info_end = FILE_HEADER + OS2_INFO;
        // The palette is as long as the room before the pixels allows.
        const size_t room = h.offset > h.info_end ? (h.offset - h.info_end) / OS2_ENTRY : 0;
        h.colours = h.bpp > 8 ? 0 : uint32_t(std::min<size_t>(room, size_t(1) << std::min(h.bpp, 8u)));
        return true;
    }
    if ((!windows_info(h.info) && !h.os2_v2()) || size < FILE_HEADER + h.info)
        return false;
    unsigned char info[OS2_V2_INFO] = {};
    std::memcpy(info, d + FILE_HEADER, std::min<size_t>(h.info, sizeof info));
    h.w = int32_t(u32(info + 4));
    const int64_t height = int32_t(u32(info + 8));
    h.top_down = height < 0;
    h.h = h.top_down ? -height : height;
    h.bpp = u16(info + 14);
    h.compression = u32(info + 16);
    const uint32_t colours_used = u32(info + 32);
    h.colours = h.bpp > 8 ? 0 : colours_used ? colours_used : 1u << std::min(h.bpp, 8u);
    h.info_end = FILE_HEADER + h.info + (h.info == WIN_INFO && h.bitfields() ? MASKS : 0);
    if (h.bitfields() && size >= MASKS_AT + MASKS)
        for (int i = 0; i < 3; i++)
            h.masks[i] = u32(d + MASKS_AT + 4 * i);
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
    case BI_BITFIELDS:  // OS/2 2.x calls this Huffman 1D
        return !h.os2_v2() && (h.bpp == 16 || h.bpp == 32);
    default:
        return false;
    }
}

// Bit fields are read whatever their layout, as long as each channel's
// bits are contiguous, lie inside the pixel, and no two channels share one.
bool masks_valid(const Header &h)
{
    const uint32_t inside = h.bpp == 16 ? 0xffff : 0xffffffff;
    uint32_t seen = 0;
    for (uint32_t m : h.masks) {
        Channel c;
        if (!c.set(m) || (m & ~inside) || (m & seen))
            return false;
        seen |= m;
    }
    return true;
}

// The layouts the library's reader knows itself: 5-5-5 and 5-6-5 for 16
// bits, 8-8-8 for 32. Any other is converted to plain 24-bit rows.
bool masks_known(const Header &h)
{
    const uint32_t r = h.masks[0], g = h.masks[1], b = h.masks[2];
    if (h.bpp == 16)
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

// Everything the check looks at but a run-length stream, from the first
// `have` bytes of a file of `size` bytes: the header, the masks, where the
// palette and the pixels lie.
bool check_header(const unsigned char *d, size_t have, size_t size, Header &h)
{
    if (!d || size > BMP_MAX_FILE || !parse(d, std::min(have, size), h) || !kind_known(h))
        return false;
    if (h.top_down && h.rle())  // the format has no top-down run-length pictures
        return false;
    if (h.w < 1 || h.h < 1 || h.w > BMP_MAX_SIDE || h.h > BMP_MAX_SIDE || h.w * h.h > BMP_MAX_PIXELS)
        return false;
    if (h.info_end > size || h.offset < h.info_end || h.offset > size)
        return false;
    if (h.bitfields() && !masks_valid(h))
        return false;
    // A palette picture must hold the palette it declares.
    if (h.bpp <= 8 && (h.colours < 1 || h.colours > 1u << h.bpp || h.offset - h.info_end < h.colours * h.entry()))
        return false;

    if (h.rle())
        return true;
    // The last row's padding may be missing.
    return int64_t(size - h.offset) >= h.stride() * (h.h - 1) + h.row_bytes();
}

bool check(const unsigned char *d, size_t size, Header &h)
{
    return check_header(d, size, size, h) && (!h.rle() || walk_rle(d, size, h, nullptr));
}

// Bit fields in a layout the reader does not know, as plain 24-bit rows.
void convert_bitfields(const unsigned char *d, const Header &h, unsigned char *out, int64_t stride)
{
    Channel c[3];
    for (int i = 0; i < 3; i++) {
        c[i].set(h.masks[i]);
        c[i].make_table();
    }
    const int bytes = int(h.bpp / 8);
    for (int64_t i = 0; i < h.h; i++) {
        const unsigned char *from = d + h.offset + (h.top_down ? h.h - 1 - i : i) * h.stride();
        unsigned char *to = out + i * stride;
        for (int64_t x = 0; x < h.w; x++, from += bytes, to += 3) {
            const uint32_t px = bytes == 2 ? u16(from) : u32(from);
            to[0] = c[2](px), to[1] = c[1](px), to[2] = c[0](px);
        }
    }
}

// The picture of a checked file as one the reader knows: a 40-byte header,
// the masks for bit fields, the palette, then the rows from the bottom up,
// uncompressed or in a run-length stream coded again by walk_rle(); bit
// fields in a layout the reader does not know become 24-bit rows.
void rewrite(const unsigned char *d, size_t size, const Header &h, std::vector<unsigned char> &out)
{
    const bool convert = h.bitfields() && !masks_known(h);
    const uint32_t bpp = convert ? 24 : h.bpp, compression = convert ? uint32_t(BI_RGB) : h.compression;
    const size_t masks = h.bitfields() && !convert ? MASKS : 0;
    const size_t palette = size_t(h.colours) * WIN_ENTRY;
    const size_t offset = FILE_HEADER + WIN_INFO + masks + palette;
    out.assign(offset, 0);
    if (h.rle()) {
        out.reserve(offset + (size - h.offset));
        walk_rle(d, size, h, &out);
    } else {
        const int64_t stride = (h.w * bpp + 31) / 32 * 4;
        out.resize(offset + size_t(stride * h.h));
        if (convert)
            convert_bitfields(d, h, &out[offset], stride);
        else
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
    put16(p + 28, bpp);
    put32(p + 30, compression);
    put32(p + 34, uint32_t(out.size() - offset));
    put32(p + 46, h.colours);
    std::memcpy(p + MASKS_AT, d + MASKS_AT, masks);
    std::memcpy(p + MASKS_AT + masks, d + h.info_end, palette);
}

} // namespace

bool bmp_header_is_safe(const unsigned char *head, size_t have, size_t size)
{
    Header h;
    return check_header(head, have, size, h);
}

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
    // The reader skips what lies between the palette and the pixels, but
    // not between bit-field masks and the pixels.
    const bool plain_bitfields = masks_known(h) && h.offset == h.info_end;
    if ((h.info == WIN_INFO || h.os2()) && !h.top_down && !h.rle() && (!h.bitfields() || plain_bitfields))
        return {d, size};
    rewrite(d, size, h, rewritten);
    return {rewritten.data(), rewritten.size()};
}
